#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace VaultServer {

// Idle reader connections of a storage, shared by the request threads. A connection taken out
// is its thread's alone until it is given back; the storage opens a new one when none is idle.
// Connections are closed outside the lock, since closing one may wait on the database.
template<typename Connection> class ReaderPool
{
public:
    // Idle connections kept at most: enough for the usual number of request threads, while a
    // burst beyond it does not leave its extra connections open.
    static constexpr std::size_t capacity = 16;

    // An idle connection, the one given back last; null when none is idle.
    [[nodiscard]] std::unique_ptr<Connection> take()
    {
        const std::lock_guard lock(m_mutex);
        if (m_idle.empty())
            return nullptr;
        std::unique_ptr<Connection> connection = std::move(m_idle.back());
        m_idle.pop_back();
        return connection;
    }

    // Keeps the connection for the next take(), or closes it when the pool is full.
    void give(std::unique_ptr<Connection> connection)
    {
        const std::lock_guard lock(m_mutex);
        if (m_idle.size() < capacity)
            m_idle.push_back(std::move(connection));
        // Otherwise the parameter closes it on the way out, after the lock.
    }

    // Closes every idle connection, as when the database has dropped them all.
    void clear()
    {
        std::vector<std::unique_ptr<Connection>> dropped; // closed after the lock
        const std::lock_guard lock(m_mutex);
        dropped.swap(m_idle);
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

} // namespace VaultServer
