#pragma once

#include "model/Result.h"
#include "vault/PinlarkVaultSync.h"
#include "vault/SyncError.h"
#include "vault/VaultPayload.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <optional>

// The two JSON bodies of the Vault protocol, open to the tests and the fuzzers.
namespace PinlarkVaultSync::detail {

// The payload of a GET answer: the member "data", none when it is absent or null. Fails
// for a body that is not one JSON object or whose "data" is not a string.
[[nodiscard]] Result<std::optional<QString>, SyncError> decodeGetAnswer(const QByteArray &body);

// {"data":"<payload>"}, compact, with "/" written as "\/" like the other clients do.
[[nodiscard]] QByteArray encodePostBody(const QString &payload);

// What a push may replace: anything (a Vault without entity tags), only the version pulled,
// or only nothing at all.
struct Precondition
{
    enum class Kind { None, IfMatch, IfNoneMatch };
    Kind kind = Kind::None;
    QByteArray entityTag; // for IfMatch
};

// The two requests of one vault, as the sync sees them: over HTTP, or in memory for the
// simulations of many machines.
class VaultTransport
{
public:
    struct Answer
    {
        std::optional<int> status; // none: no HTTP response at all
        QByteArray body;           // a GET's; empty for a POST
        QByteArray entityTag;      // the answer's ETag, as sent; empty without one
    };
    virtual ~VaultTransport() = default;
    [[nodiscard]] virtual Result<Answer, SyncError> get() = 0;
    [[nodiscard]] virtual Result<Answer, SyncError> post(const QByteArray &body,
                                                         const Precondition &precondition) = 0;
    [[nodiscard]] virtual bool cancelled() const = 0;
};

// The keys of a sync: the pull's for the salt it finds, the push's fresh. Over HTTP both are
// derived from the code with PBKDF2, the push's on another thread during the pull.
struct PayloadKeys
{
    std::function<Result<SecretKey, SyncError>(QByteArrayView salt)> forSalt;
    std::function<Result<SealingKey, SyncError>()> sealing;
};

// syncStack() over any transport, with the given keys.
[[nodiscard]] Result<SyncedStack, SyncError>
syncStackVia(VaultTransport &vault, const PayloadKeys &keys, const VaultStack &local,
             const QHash<QString, ExchangedCard> &base, const QString &machine, Timestamp now);

} // namespace PinlarkVaultSync::detail
