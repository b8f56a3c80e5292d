#include "vault/PinlarkVaultSync.h"

#include <QByteArray>

#include <array>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

using namespace Qt::StringLiterals;

namespace PinlarkVaultSync {

namespace {

constexpr int codeDraws = 6;

// A character we keep in a normal form: A-Z, 0-9 and "-", all ASCII.
bool isKept(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'-';
}

} // namespace

std::optional<QString> generatePassportCode()
{
    static_assert(256 % 32 == 0);
    std::array<unsigned char, codeDraws> draws{};
    if (RAND_bytes(draws.data(), codeDraws) != 1)
        return std::nullopt;

    // 256 is a multiple of 32, so every byte value maps onto the alphabet the same number of
    // times (eight) and `byte % 32` is uniform: no modulo bias, no draw to throw away.
    // Draws 1, 3 and 5 make the first half, draws 2, 4 and 6 the second.
    QString first;
    QString second;
    for (std::size_t i = 0; i < draws.size(); ++i) {
        const QChar c = passportAlphabet.at(draws[i] % 32);
        (i % 2 == 0 ? first : second).append(c);
    }
    OPENSSL_cleanse(draws.data(), draws.size());
    return u"PLK-"_s + first + second;
}

QString normalizeCode(const QString &code)
{
    // QString::trimmed() drops the characters of QChar::isSpace(): tab to carriage return,
    // U+0085 and the Zs, Zl and Zp categories, which is exactly Unicode's White_Space (U+FEFF
    // is not one). toUpper() applies the full Unicode mapping without a locale ("ß" becomes
    // "SS", "ﬁ" becomes "FI", a Turkish user's "i" still becomes "I").
    QString upper = code.trimmed().toUpper();
    upper.removeIf([](QChar c) { return !isKept(c); });
    return upper;
}

QString vaultHash(const QString &code)
{
    const QByteArray text = QByteArrayLiteral("pinlark-vault-id:") + normalizeCode(code).toUtf8();
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    // SHA-256 of a few bytes fails only when libcrypto itself is unusable (no memory, no
    // provider). There is no identity to give then, and an empty text is better than a wrong
    // one.
    if (EVP_Digest(text.constData(), std::size_t(text.size()), digest.data(), &length, EVP_sha256(),
                   nullptr) != 1 ||
        length != 32)
        return {};

    static constexpr char16_t hexDigits[] = u"0123456789abcdef";
    QString hex(qsizetype(length) * 2, Qt::Uninitialized);
    QChar *out = hex.data();
    for (unsigned int i = 0; i < length; ++i) {
        *out++ = QChar(hexDigits[digest[i] >> 4]);
        *out++ = QChar(hexDigits[digest[i] & 0x0f]);
    }
    return hex;
}

} // namespace PinlarkVaultSync
