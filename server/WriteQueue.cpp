#include "server/WriteQueue.h"

#include <exception>
#include <new>
#include <vector>

using namespace Qt::StringLiterals;

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
        try {
            if (!takeBatch(batch))
                return; // stopping, and everything queued has been stored
            storeBatch(batch, writes);
        } catch (...) {
            // An allocation failed (or the storage threw): nothing of this batch is known to
            // be stored, since the storage had not returned. It is answered as a failed write,
            // and the writer goes on with the next one; thrown from here, the exception would
            // end the process.
            report(describeException(std::current_exception()));
            for (Pending &pending : batch)
                pending.done(WriteOutcome::Failed);
        }
        batch.clear();
    }
}

bool WriteQueue::takeBatch(std::vector<Pending> &batch)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
    if (m_queue.empty())
        return false;
    qsizetype bytes = 0;
    while (!m_queue.empty() && (batch.empty() || bytes < batchBytes)) {
        bytes += m_queue.front().write.data.size();
        batch.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
    return true;
}

void WriteQueue::storeBatch(std::vector<Pending> &batch, std::vector<VaultWrite> &writes)
{
    writes.clear();
    for (Pending &pending : batch)
        writes.push_back(std::move(pending.write));
    Result<std::vector<WriteOutcome>> stored = m_storage.store(writes);
    writes.clear();
    // Nothing below throws, so what the storage made durable is always answered. The log line
    // comes first, so it is there once a client has its answer.
    if (!stored)
        report(stored.error());
    const bool answered = stored && stored.value().size() == batch.size();
    for (std::size_t i = 0; i < batch.size(); ++i)
        batch[i].done(answered ? stored.value()[i] : WriteOutcome::Failed);
}

void WriteQueue::report(const QString &reason) const noexcept
{
    try {
        if (m_log)
            m_log(reason);
    } catch (...) {
        // Out of memory for a log line too: the answers have been given, which is what counts.
    }
}

QString WriteQueue::describeException(std::exception_ptr thrown) noexcept
{
    try {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::bad_alloc &) {
            return u"out of memory"_s;
        } catch (const std::exception &exception) {
            return QString::fromLocal8Bit(exception.what());
        } catch (...) {
            return u"an unknown exception"_s;
        }
    } catch (...) {
        return {};
    }
}

} // namespace VaultServer
