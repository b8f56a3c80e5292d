#pragma once

#include <QString>

#include <optional>

using namespace Qt::StringLiterals;

// Why a Vault operation failed. Errors the vault code raises itself carry the domain
// "PinlarkSync", an integer code and, for most codes, a message; failures of the layers
// below (network, TLS, cipher, JSON) carry their own domain and text. Only the description
// ever reaches the user, as the store's sync status.
struct SyncError
{
    // Codes of the "PinlarkSync" domain. An HTTP status other than 404 outside 200-299 on a
    // pull is raised with the status itself as the code.
    enum Code : int {
        KeyDerivationFailed = 2, // "PBKDF2 derivation failed"
        SaltUnavailable = 3,     // the random generator gave no salt
        NonceUnavailable = 4,    // the random generator gave no nonce
        CorruptedPayload = 5,    // "Corrupted vault payload"
        PullNotHttp = 7,         // a GET answer that is not an HTTP response
        PushFailed = 8,          // "Vault push failed"
        // Our own, for what a configurable Vault address and a hostile server add.
        InsecureVaultUrl = 9,   // a base URL that is not https (loopback excepted)
        AnswerTooLarge = 10,    // an answer body beyond the limit
        CertificateFile = 11,   // the extra CA file cannot be read or holds no certificate
        Cancelled = 12,         // the exchange was stopped because the app is going away
        DeadlineExceeded = 13,  // the Vault kept one exchange going past its deadline
        VaultKeptChanging = 14, // every push was refused: the vault changed each time
    };

    static inline const QString pinlarkDomain = u"PinlarkSync"_s;
    // The lower layers' domains.
    static inline const QString networkDomain = u"Network"_s;
    static inline const QString cipherDomain = u"Cipher"_s;
    static inline const QString jsonDomain = u"JSON"_s;

    QString domain = pinlarkDomain;
    int code = 0;
    std::optional<QString> message;

    [[nodiscard]] static SyncError pinlark(int code, std::optional<QString> message = std::nullopt)
    {
        return SyncError{pinlarkDomain, code, std::move(message)};
    }

    // The message, or a generic text that names the domain and the code.
    [[nodiscard]] QString localizedDescription() const;

    [[nodiscard]] bool is(const QString &errorDomain, int errorCode) const
    {
        return domain == errorDomain && code == errorCode;
    }

    friend bool operator==(const SyncError &, const SyncError &) = default;
};
