// Feeds arbitrary bytes to the decoding of a Vault GET answer, the first thing read from the
// network. Beyond not crashing: it must find exactly what Qt's JSON parser finds (its fast
// path for the usual shape included), and whatever payload text it finds must survive our
// own POST body coding unchanged, since that is how a merged stack goes back.

#include "vault/VaultExchange.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

// Qt's reading: none for a body it refuses, else the "data" member (none when absent/null).
std::optional<std::optional<QString>> qtReading(const QByteArray &body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (body.isEmpty() || error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonValue data = document.object().value(u"data");
    if (data.isUndefined() || data.isNull())
        return std::optional<QString>();
    if (!data.isString())
        return std::nullopt;
    return std::optional<QString>(data.toString());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto answer = PinlarkVaultSync::detail::decodeGetAnswer(body);
    const auto reference = qtReading(body);
    if (answer.ok() != reference.has_value() || (answer && answer.value() != *reference))
        __builtin_trap();
    if (!answer) {
        if (answer.error().localizedDescription().isEmpty())
            __builtin_trap();
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
        __builtin_trap();
    return 0;
}
