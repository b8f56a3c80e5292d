#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>
#include <vector>

namespace VaultServer {

struct StoredVault;

// The bodies of GET answers, built once per stored version of a vault and shared by every
// request for it, within a budget of memory.
//
// An answer counts against the budget once for as long as any request holds it (however many
// do), plus while it is kept for the next request. Answers held by requests are never dropped;
// kept ones that no request holds are dropped, least recently used first, when a new answer
// needs their room, when the vault is written, or beyond an eighth of the budget. When the
// held ones alone leave no room for an answer, hold() refuses it: a client that never reads
// its answers can then pin at most the budget, however many connections it opens.
class AnswerCache final
{
    struct Entry;

public:
    // The part of the budget that kept answers no request holds may take, at most: many
    // vaults' answers, since a server with thousands of vaults in use would otherwise build
    // nearly every answer again, but never the whole budget, which is there for the held ones.
    static constexpr qint64 keptShare = 8; // one eighth

    explicit AnswerCache(qint64 budgetBytes);
    ~AnswerCache();
    AnswerCache(const AnswerCache &) = delete;
    AnswerCache &operator=(const AnswerCache &) = delete;

    // One request's claim on an answer: its bytes stay put and counted until it is destroyed,
    // which may happen on any thread, after the cache has gone too.
    class Hold
    {
    public:
        ~Hold();
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
        [[nodiscard]] const QByteArray &body() const;

    private:
        friend class AnswerCache;
        explicit Hold(std::shared_ptr<Entry> entry);
        std::shared_ptr<Entry> m_entry;
    };

    // The answer to a GET of `vault`, stored under `id`: the one already built for this
    // version, or a new one. None when it does not fit in the budget beside the answers that
    // requests hold.
    [[nodiscard]] std::unique_ptr<Hold> hold(const QByteArray &id, const StoredVault &vault);

    // The answer kept for the version of `id` whose tag is `etag`, without the text: none when
    // none is kept for that tag (then the caller loads the vault and asks hold()). Kept
    // answers count already, so this never needs room.
    [[nodiscard]] std::unique_ptr<Hold> share(const QByteArray &id, const QByteArray &etag);

    // Drops the kept answer of a vault that has just been written.
    void forget(const QByteArray &id);

    // The bytes counted against the budget: held answers, and kept ones.
    [[nodiscard]] qint64 usedBytes() const;

private:
    struct Ledger;
    using Dropped = std::vector<std::shared_ptr<Entry>>; // freed by the caller after its lock
    // With the ledger's lock held: a claim on the answer kept for `etag`, if any.
    std::unique_ptr<Hold> shareKept(const QByteArray &id, const QByteArray &etag);
    // Each with the ledger's lock held. Drops the least recently used kept answer that no
    // request holds (never `keep`); false when there is none.
    bool dropOldest(const Entry *keep, Dropped &dropped);
    // Drops kept answers until `bytes` more fit in the budget; false when those that
    // requests hold leave too little room.
    bool makeRoom(qint64 bytes, Dropped &dropped);

    std::shared_ptr<Ledger> m_ledger; // shared with the holds, which may outlive the cache
    const qint64 m_budget;
};

} // namespace VaultServer
