// Feeds arbitrary input to the Vault payload reader. The key comes from a fixed table instead
// of PBKDF2, whose 100000 rounds per input would leave no time for anything else. The first
// byte picks what the rest is:
// - 0 (and 3, 6, ...): payload text read as Latin-1; 1 (4, 7, ...): the same read as UTF-8.
//   Beyond not crashing: the key is asked for exactly when the text is base64 of at least 44
//   bytes, and then for the first 16 of them.
// - 2 (5, 8, ...): the clear text of an envelope, sealed here as a valid payload under the
//   fixed key, so every input reaches the envelope decoder. It must read exactly what Qt's
//   JSON parser reads (its fast path for the usual shape included); what it reads must
//   survive our own writer; what it refuses must be refused as an unreadable envelope.

#include "model/NoteJSON.h"
#include "vault/PinlarkVaultSync.h"
#include "vault/VaultPayload.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <openssl/evp.h>

namespace {

using namespace PinlarkVaultSync;

// The key of the known-answer payload ("PLK-7KQ2MX", salt 00 01 .. 0f), so that seed decrypts.
constexpr unsigned char fixedKey[detail::keyBytes] = {
    0x5e, 0x4b, 0x83, 0xd7, 0x42, 0x58, 0xb1, 0x84, 0x6d, 0x00, 0xaa, 0xba, 0xaa, 0xbb, 0x33, 0xee,
    0x75, 0x2b, 0xc2, 0xb5, 0x98, 0xea, 0xa0, 0xf0, 0x77, 0x6b, 0xd2, 0x0a, 0xa0, 0xa9, 0xd0, 0xf2};

struct ContextFree
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};

const unsigned char *bytesOf(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

// `plain` sealed under the fixed key, as payload text.
QString sealed(QByteArrayView plain)
{
    QByteArray payload(detail::saltBytes + detail::nonceBytes + plain.size() + detail::tagBytes,
                       '\x5a');
    auto *cipher =
        reinterpret_cast<unsigned char *>(payload.data()) + detail::saltBytes + detail::nonceBytes;
    const std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context(EVP_CIPHER_CTX_new());
    int written = 0;
    int last = 0;
    if (!context ||
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, fixedKey,
                           cipher - detail::nonceBytes) != 1 ||
        (!plain.isEmpty() && EVP_EncryptUpdate(context.get(), cipher, &written, bytesOf(plain),
                                               int(plain.size())) != 1) ||
        EVP_EncryptFinal_ex(context.get(), cipher + written, &last) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, detail::tagBytes,
                            cipher + plain.size()) != 1)
        __builtin_trap();
    return QString::fromLatin1(payload.toBase64());
}

detail::KeyForSalt keyNoting(QByteArray *askedFor, int *asked)
{
    return [askedFor, asked](QByteArrayView salt) -> Result<detail::SecretKey, SyncError> {
        ++*asked;
        *askedFor = salt.toByteArray();
        detail::SecretKey key;
        std::copy_n(fixedKey, detail::keyBytes, key.data());
        return key;
    };
}

void readText(const QString &text)
{
    QByteArray salt;
    int asked = 0;
    const auto cards = detail::decrypt(text, keyNoting(&salt, &asked));
    if (asked > 1)
        __builtin_trap();
    if (!cards &&
        cards.error().is(SyncError::pinlarkDomain, SyncError::CorruptedPayload) != (asked == 0))
        __builtin_trap();

    // Qt's lenient decoder as the reference: text that is the canonical base64 of at least 44
    // bytes must reach the key, and text that reached it must be as long as such a text.
    const QByteArray decoded = QByteArray::fromBase64(text.toLatin1());
    const bool canonical = QString::fromLatin1(decoded.toBase64()) == text;
    if (canonical && decoded.size() >= 44 && asked != 1)
        __builtin_trap();
    if (asked == 1 && (decoded.toBase64().size() != text.size() || salt != decoded.left(16)))
        __builtin_trap();
}

// The cards Qt's parser finds in an envelope, by the same rules, or none.
std::optional<QList<NoteCard>> qtReading(QByteArrayView plain)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(plain.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject envelope = document.object();
    const QJsonValue version = envelope.value(u"version");
    if (!version.isDouble() || !std::isfinite(version.toDouble()) ||
        std::trunc(version.toDouble()) != version.toDouble() ||
        !envelope.value(u"app").isString() || !envelope.value(u"updatedAt").isString() ||
        !envelope.value(u"cards").isArray())
        return std::nullopt;
    auto cards = NoteJSON::cardsFromJson(envelope.value(u"cards").toArray());
    if (!cards)
        return std::nullopt;
    return std::move(cards).value();
}

void readEnvelope(QByteArrayView plain)
{
    QByteArray salt;
    int asked = 0;
    const auto cards = detail::decrypt(sealed(plain), keyNoting(&salt, &asked));
    const std::optional<QList<NoteCard>> reference = qtReading(plain);
    if (cards.ok() != reference.has_value() || (reference && cards.value() != *reference))
        __builtin_trap();
    if (!cards) {
        if (!cards.error().is(SyncError::jsonDomain, 1) || !cards.error().message)
            __builtin_trap();
        return;
    }
    // Written back and read again, the cards reach a fixed point (timestamps given as
    // numbers are kept to the millisecond on the way).
    const Timestamp at{0.0};
    const QByteArray written = detail::encodeEnvelope(cards.value(), at);
    const auto reread = detail::decodeEnvelope(written);
    if (!reread || reread.value().size() != cards.value().size() ||
        detail::encodeEnvelope(reread.value(), at) != written)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const char *rest = reinterpret_cast<const char *>(data) + 1;
    const qsizetype restSize = qsizetype(size) - 1;
    switch (data[0] % 3) {
    case 0:
        readText(QString::fromLatin1(rest, restSize));
        break;
    case 1:
        readText(QString::fromUtf8(rest, restSize));
        break;
    default:
        readEnvelope(QByteArrayView(rest, restSize));
        break;
    }
    return 0;
}
