#include "server/AnswerCache.h"

#include "server/VaultProtocol.h"
#include "server/VaultStorage.h"

#include <map>
#include <mutex>
#include <vector>

namespace VaultServer {

struct AnswerCache::Ledger
{
    std::mutex mutex;
    qint64 used = 0; // bytes of the entries that are held or kept
    qint64 idle = 0; // bytes of the entries that are kept and not held
    quint64 clock = 0;
    std::map<QByteArray, std::shared_ptr<Entry>> kept; // the latest answer per vault
};

struct AnswerCache::Entry
{
    std::shared_ptr<Ledger> ledger;
    QByteArray etag;
    QByteArray body;
    int holders = 0;
    bool kept = false;
    quint64 lastUse = 0;

    [[nodiscard]] bool counted() const { return holders > 0 || kept; }
    // Each of these is called with the ledger's lock held.
    void acquire()
    {
        if (!counted())
            ledger->used += body.size();
        else if (holders == 0)
            ledger->idle -= body.size();
        ++holders;
        lastUse = ++ledger->clock;
    }
    void release()
    {
        --holders;
        if (!counted())
            ledger->used -= body.size();
        else if (holders == 0)
            ledger->idle += body.size();
    }
    void keep()
    {
        if (!counted()) {
            ledger->used += body.size();
            ledger->idle += body.size();
        }
        kept = true;
    }
    void unkeep()
    {
        kept = false;
        if (!counted()) {
            ledger->used -= body.size();
            ledger->idle -= body.size();
        }
    }
};

AnswerCache::AnswerCache(qint64 budgetBytes)
    : m_ledger(std::make_shared<Ledger>())
    , m_budget(budgetBytes)
{}

AnswerCache::~AnswerCache()
{
    // The kept answers point back at the ledger, which holds them: left in place the two would
    // keep each other alive for ever. Answers that requests still hold live on until those let
    // go, and the ledger with them.
    std::map<QByteArray, std::shared_ptr<Entry>> kept;
    {
        const std::lock_guard lock(m_ledger->mutex);
        for (auto &[id, entry] : m_ledger->kept)
            entry->unkeep();
        kept.swap(m_ledger->kept);
    }
}

AnswerCache::Hold::Hold(std::shared_ptr<Entry> entry)
    : m_entry(std::move(entry))
{}

AnswerCache::Hold::~Hold()
{
    const std::shared_ptr<Ledger> ledger = m_entry->ledger;
    {
        const std::lock_guard lock(ledger->mutex);
        m_entry->release();
    }
    // An answer neither held nor kept any more goes here, outside the lock.
    m_entry.reset();
}

const QByteArray &AnswerCache::Hold::body() const
{
    return m_entry->body;
}

bool AnswerCache::dropOldest(const Entry *keep, Dropped &dropped)
{
    Ledger &ledger = *m_ledger;
    auto oldest = ledger.kept.end();
    for (auto it = ledger.kept.begin(); it != ledger.kept.end(); ++it) {
        if (it->second->holders == 0 && it->second.get() != keep &&
            (oldest == ledger.kept.end() || it->second->lastUse < oldest->second->lastUse))
            oldest = it;
    }
    if (oldest == ledger.kept.end())
        return false;
    oldest->second->unkeep();
    dropped.push_back(std::move(oldest->second));
    ledger.kept.erase(oldest);
    return true;
}

bool AnswerCache::makeRoom(qint64 bytes, Dropped &dropped)
{
    while (m_ledger->used + bytes > m_budget) {
        if (!dropOldest(nullptr, dropped))
            return false;
    }
    return true;
}

std::unique_ptr<AnswerCache::Hold> AnswerCache::shareKept(const QByteArray &id,
                                                          const QByteArray &etag)
{
    const auto found = m_ledger->kept.find(id);
    if (found == m_ledger->kept.end() || found->second->etag != etag)
        return nullptr;
    found->second->acquire(); // kept, so counted already: no room needed
    return std::unique_ptr<Hold>(new Hold(found->second));
}

std::unique_ptr<AnswerCache::Hold> AnswerCache::share(const QByteArray &id, const QByteArray &etag)
{
    const std::lock_guard lock(m_ledger->mutex);
    return shareKept(id, etag);
}

std::unique_ptr<AnswerCache::Hold> AnswerCache::hold(const QByteArray &id, const StoredVault &vault)
{
    Ledger &ledger = *m_ledger;
    {
        Dropped dropped;
        const std::lock_guard lock(ledger.mutex);
        if (std::unique_ptr<Hold> shared = shareKept(id, vault.etag))
            return shared;
        // The answer is at least as long as the text: no building for a request that
        // would be refused anyway.
        if (!makeRoom(vault.data.size(), dropped))
            return nullptr;
    }
    // Built outside the lock; two requests that miss at once may both build, and the second
    // to finish takes the first one's answer.
    auto entry = std::make_shared<Entry>();
    entry->ledger = m_ledger;
    entry->etag = vault.etag;
    entry->body = getAnswer(vault.data);

    Dropped dropped; // freed after the lock, those that nobody holds at once
    const std::lock_guard lock(ledger.mutex);
    if (std::unique_ptr<Hold> shared = shareKept(id, vault.etag))
        return shared;
    if (const auto found = ledger.kept.find(id); found != ledger.kept.end()) {
        // An older version: out of the way first, so its room counts for the new one.
        found->second->unkeep();
        dropped.push_back(std::move(found->second));
        ledger.kept.erase(found);
    }
    if (!makeRoom(entry->body.size(), dropped))
        return nullptr;
    entry->keep();
    entry->acquire();
    ledger.kept.emplace(id, entry);
    while (ledger.idle > m_budget / keptShare && dropOldest(entry.get(), dropped)) {
    }
    return std::unique_ptr<Hold>(new Hold(std::move(entry)));
}

void AnswerCache::forget(const QByteArray &id)
{
    std::shared_ptr<Entry> dropped; // freed after the lock, when nobody holds it
    const std::lock_guard lock(m_ledger->mutex);
    if (const auto found = m_ledger->kept.find(id); found != m_ledger->kept.end()) {
        dropped = std::move(found->second);
        dropped->unkeep();
        m_ledger->kept.erase(found);
    }
}

qint64 AnswerCache::usedBytes() const
{
    const std::lock_guard lock(m_ledger->mutex);
    return m_ledger->used;
}

} // namespace VaultServer
