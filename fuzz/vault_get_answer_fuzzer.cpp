// Feeds arbitrary bytes to the decoding of a Vault GET answer, the first thing read from the
// network. Beyond not crashing: whatever payload text it finds must survive our own POST
// body coding unchanged, since that is how a merged stack goes back.

#include "VaultExchange.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto answer = PinlarkVaultSync::detail::decodeGetAnswer(body);
    if (!answer) {
        if (answer.error().localizedDescription().isEmpty())
            std::abort();
        return 0;
    }
    if (!answer.value())
        return 0;
    const QString &payload = *answer.value();
    // A lone surrogate cannot be written as UTF-8 at all; real payloads are base64.
    if (!payload.isValidUtf16())
        return 0;
    const auto again = PinlarkVaultSync::detail::decodeGetAnswer(
        PinlarkVaultSync::detail::encodePostBody(payload));
    if (!again || !again.value() || *again.value() != payload)
        std::abort();
    return 0;
}
