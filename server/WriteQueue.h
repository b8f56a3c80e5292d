#pragma once

#include "server/VaultStorage.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace VaultServer {

// The one writer. Request threads submit POSTs and go on serving other connections; the
// writer thread takes everything queued at that moment and stores it in one transaction, so
// one disk sync covers a whole batch (group commit) however many clients post at once.
class WriteQueue final
{
public:
    using Completion = std::function<void(WriteOutcome)>;

    using Log = std::function<void(const QString &)>;

    // `log` is called on the writer thread with the storage's reason when a batch failed. A
    // batch during which an allocation fails, or the storage throws, fails as a whole; the
    // writer goes on with the next one.
    explicit WriteQueue(VaultStorage &storage, Log log = {});
    ~WriteQueue(); // stop()s
    WriteQueue(const WriteQueue &) = delete;
    WriteQueue &operator=(const WriteQueue &) = delete;

    // `done` is called exactly once, on the writer thread (or on the caller's, with Failed,
    // after stop()), once the write is durable or known to have failed.
    void submit(VaultWrite write, Completion done);

    // Stores what is queued, then ends the writer. Later submits fail at once.
    void stop();

private:
    struct Pending
    {
        VaultWrite write;
        Completion done;
    };

    void run();
    // Waits for writes and moves up to one batch of them into `batch`; false once stopping
    // with nothing left.
    bool takeBatch(std::vector<Pending> &batch);
    void storeBatch(std::vector<Pending> &batch, std::vector<VaultWrite> &writes);
    void report(const QString &reason) const noexcept;
    [[nodiscard]] static QString describeException(std::exception_ptr thrown) noexcept;

    VaultStorage &m_storage;
    const Log m_log;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Pending> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace VaultServer
