#include "server/MissLimiter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace VaultServer {

namespace {

// Where the buckets of new clients go once the table is full of clients that still owe
// misses: they share one, so a flood of addresses cannot grow memory or escape the limit.
// One byte long, so it can be neither an IPv4 key (4) nor an IPv6 one (8).
const QByteArray overflowKey(1, '\0');

QByteArray ipv6Key(const in6_addr &address)
{
    static constexpr unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(address.s6_addr, mappedPrefix, sizeof mappedPrefix) == 0)
        return QByteArray(reinterpret_cast<const char *>(address.s6_addr) + 12, 4);
    return QByteArray(reinterpret_cast<const char *>(address.s6_addr), 8);
}

} // namespace

MissLimiter::MissLimiter(Rule rule, Clock clock, qsizetype maxClients)
    : m_rule(rule)
    , m_clock(std::move(clock))
    , m_maxClients(std::max<qsizetype>(1, maxClients))
{}

int MissLimiter::secondsToWait(const QByteArray &client)
{
    if (m_rule.burst <= 0)
        return 0;
    const auto now = m_clock();
    const std::lock_guard lock(m_mutex);
    auto found = m_buckets.find(client);
    if (found == m_buckets.end() && m_buckets.size() >= m_maxClients)
        found = m_buckets.find(overflowKey);
    if (found == m_buckets.end())
        return 0;
    refill(*found, now);
    if (found->misses >= 1)
        return 0;
    const double perSecond = double(m_rule.burst) / double(m_rule.window.count());
    return std::max(1, int(std::ceil((1 - found->misses) / perSecond)));
}

void MissLimiter::recordMiss(const QByteArray &client)
{
    if (m_rule.burst <= 0)
        return;
    const auto now = m_clock();
    const std::lock_guard lock(m_mutex);
    Bucket &bucket = bucketFor(client, now);
    bucket.misses = std::max(0.0, bucket.misses - 1);
}

void MissLimiter::refill(Bucket &bucket, std::chrono::steady_clock::time_point now) const
{
    const double seconds = std::chrono::duration<double>(now - bucket.updated).count();
    if (seconds > 0) {
        const double perSecond = double(m_rule.burst) / double(m_rule.window.count());
        bucket.misses = std::min(double(m_rule.burst), bucket.misses + seconds * perSecond);
        bucket.updated = now;
    }
}

MissLimiter::Bucket &MissLimiter::bucketFor(const QByteArray &client,
                                            std::chrono::steady_clock::time_point now)
{
    if (auto found = m_buckets.find(client); found != m_buckets.end()) {
        refill(*found, now);
        return *found;
    }
    if (m_buckets.size() >= m_maxClients) {
        // Clients whose bucket has refilled are as good as new: forget them.
        for (auto it = m_buckets.begin(); it != m_buckets.end();) {
            refill(*it, now);
            it = it->misses >= m_rule.burst ? m_buckets.erase(it) : std::next(it);
        }
    }
    const QByteArray &key = m_buckets.size() < m_maxClients ? client : overflowKey;
    auto it = m_buckets.find(key);
    if (it == m_buckets.end())
        it = m_buckets.insert(key, Bucket{double(m_rule.burst), now});
    else
        refill(*it, now);
    return *it;
}

QByteArray MissLimiter::clientKey(const sockaddr *address)
{
    if (!address)
        return {};
    if (address->sa_family == AF_INET) {
        sockaddr_in ipv4;
        std::memcpy(&ipv4, address, sizeof ipv4);
        return QByteArray(reinterpret_cast<const char *>(&ipv4.sin_addr), 4);
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 ipv6;
        std::memcpy(&ipv6, address, sizeof ipv6);
        return ipv6Key(ipv6.sin6_addr);
    }
    return {};
}

QByteArray MissLimiter::clientKey(QByteArrayView address)
{
    const QByteArray text = address.trimmed().toByteArray();
    in_addr ipv4;
    if (inet_pton(AF_INET, text.constData(), &ipv4) == 1)
        return QByteArray(reinterpret_cast<const char *>(&ipv4), 4);
    in6_addr ipv6;
    if (inet_pton(AF_INET6, text.constData(), &ipv6) == 1)
        return ipv6Key(ipv6);
    return {};
}

} // namespace VaultServer
