#pragma once

#include "model/Result.h"
#include "server/MissLedger.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <span>
#include <vector>

// Where the Vault keeps its payloads: one record per vault, holding the text last stored and
// its entity tag. The server never looks inside the text.
namespace VaultServer {

struct StoredVault
{
    QByteArray data; // the text last stored, as UTF-8 bytes
    QByteArray etag; // the entity tag of data, quotes included
};

// What a lookup found: the vault, or nothing when nothing is stored under the identity. A
// failure means the storage could not answer; it says why, for the log.
using LoadResult = Result<std::optional<StoredVault>>;
// The entity tag of what is stored under an identity, without its text; nothing when nothing
// is stored.
using TagResult = Result<std::optional<QByteArray>>;

// One POST to apply. `ifMatch`, when set, holds the entity tags of the client's If-Match
// header ("*" matches any stored vault); the write then happens only if the vault exists and
// its current tag is one of them. `ifNoneMatch`, when set, holds those of its If-None-Match
// header; the write then happens only if no vault exists ("*") or its current tag is none of
// them. With both, both must hold.
struct VaultWrite
{
    QByteArray id; // 64 lower-case hex digits, already checked
    QByteArray data;
    QByteArray etag; // of data, computed by the caller
    std::optional<std::vector<QByteArray>> ifMatch;
    std::optional<std::vector<QByteArray>> ifNoneMatch;
};

enum class WriteOutcome {
    Created,            // nothing was stored before; durable now
    Replaced,           // an earlier text was replaced; durable now
    PreconditionFailed, // If-Match or If-None-Match did not hold; nothing changed
    Failed,             // the storage failed; nothing of the batch changed
};

// Implementations are used from several threads at once: load() and loadTag() from any request
// thread, store() from the single writer thread.
class VaultStorage
{
public:
    virtual ~VaultStorage() = default;

    // A short description for the start-up line, such as "SQLite /var/lib/pinlark-vault".
    [[nodiscard]] virtual QString description() const = 0;

    [[nodiscard]] virtual LoadResult load(const QByteArray &id) = 0;

    // The tag alone, as a load() at the same moment would give it: what a GET asks first, as
    // an answer already built for that tag can be served without reading the text. The tag is
    // a digest of the text, so equal tags mean equal texts, whichever process stored them.
    [[nodiscard]] virtual TagResult loadTag(const QByteArray &id) = 0;

    // Applies the writes in order, in one durable transaction: when store() returns, every
    // Created or Replaced write survives a crash of the process or the machine. Later writes
    // see earlier ones of the same batch (an If-Match may name a tag written just before).
    // On a failure the whole batch is rolled back, and the failure says why.
    [[nodiscard]] virtual Result<std::vector<WriteOutcome>>
    store(std::span<const VaultWrite> writes) = 0;

    // Where servers sharing this storage share their miss budgets; null when no other server
    // can share it (SQLite is one process's), and each server counts alone.
    [[nodiscard]] virtual MissLedger *missLedger() { return nullptr; }
};

// True when the If-Match tags admit a vault whose current tag is `current` (none when nothing
// is stored). Strong comparison: weak tags never match.
[[nodiscard]] bool ifMatchHolds(const std::vector<QByteArray> &tags,
                                const std::optional<QByteArray> &current);

// True when the If-None-Match tags admit a vault whose current tag is `current` (none when
// nothing is stored): "*" only when nothing is stored, a list of tags when none of them is the
// current one. Weak comparison, as RFC 9110 says: W/"x" is listed as much as "x" is. A header
// that is not a well-formed list (no items, an item that is neither "*" nor a quoted tag) never
// holds, so a write the client meant to guard is not made unguarded.
[[nodiscard]] bool ifNoneMatchHolds(const std::vector<QByteArray> &tags,
                                    const std::optional<QByteArray> &current);

// True when the write's If-Match and If-None-Match, those it has, both hold for `current`.
[[nodiscard]] bool preconditionsHold(const VaultWrite &write,
                                     const std::optional<QByteArray> &current);

} // namespace VaultServer
