#include "server/WriteQueue.h"

#include <vector>

namespace VaultServer {

namespace {

// One batch holds at most this many payload bytes, so a burst of large POSTs does not make
// one transaction (and the memory it holds) unbounded; the rest waits for the next batch.
constexpr qsizetype batchBytes = 64 * 1024 * 1024;

} // namespace

WriteQueue::WriteQueue(VaultStorage &storage, Log log)
    : m_storage(storage)
    , m_log(std::move(log))
    , m_thread([this] { run(); })
{}

WriteQueue::~WriteQueue()
{
    stop();
}

void WriteQueue::submit(VaultWrite write, Completion done)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_stopping) {
            m_queue.push_back(Pending{std::move(write), std::move(done)});
            m_wake.notify_one();
            return;
        }
    }
    done(WriteOutcome::Failed);
}

void WriteQueue::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_wake.notify_one();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void WriteQueue::run()
{
    std::vector<Pending> batch;
    std::vector<VaultWrite> writes;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return; // stopping, and everything queued has been stored
            qsizetype bytes = 0;
            while (!m_queue.empty() && (batch.empty() || bytes < batchBytes)) {
                bytes += m_queue.front().write.data.size();
                batch.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
            }
        }
        writes.clear();
        for (Pending &pending : batch)
            writes.push_back(std::move(pending.write));
        Result<std::vector<WriteOutcome>> stored = m_storage.store(writes);
        std::vector<WriteOutcome> outcomes;
        if (stored)
            outcomes = std::move(stored).value();
        else if (m_log)
            m_log(stored.error());
        if (outcomes.size() != batch.size())
            outcomes.assign(batch.size(), WriteOutcome::Failed);
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].done(outcomes[i]);
        batch.clear();
    }
}

} // namespace VaultServer
