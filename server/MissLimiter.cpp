#include "server/MissLimiter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace VaultServer {

namespace {

// How long a failed ledger is left alone. Meanwhile each server counts alone, as without a
// ledger: a guesser gets no more than one budget per server, and nobody is refused for the
// database's sake. Asking again at every request would make a database that hangs (rather
// than refuses) hold up every request of a client that missed lately.
constexpr std::chrono::seconds ledgerPause{5};

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

void MissLimiter::share(MissLedger *ledger, Log log)
{
    const std::lock_guard lock(m_mutex);
    m_ledger = ledger;
    m_log = std::move(log);
}

// With a ledger, the database is asked only about clients that have missed on this server
// lately (their bucket here is not full) and are not already known to be out of misses:
//  - A client this server has not seen miss costs no round trip, so hits stay as cheap as
//    without a ledger. The price: its first miss here is answered before this server learns
//    that the other servers may have spent its budget already, so across N servers a guesser
//    gets at most N - 1 misses more than the budget per window, not N budgets.
//  - A client known to be out of misses is refused from here until its bucket has refilled
//    enough; the database's bucket can only be emptier, never fuller, than that.
//  - Otherwise the ledger tells how much the other servers have left it.
int MissLimiter::secondsToWait(const QByteArray &client)
{
    if (m_rule.burst <= 0)
        return 0;
    const auto now = m_clock();
    MissLedger *ledger = nullptr;
    {
        const std::lock_guard lock(m_mutex);
        auto found = m_buckets.find(client);
        if (found == m_buckets.end() && m_buckets.size() >= m_maxClients)
            found = m_buckets.find(overflowKey);
        if (found == m_buckets.end())
            return 0;
        refill(*found, now);
        if (found->misses < 1)
            return secondsFor(*found);
        if (found->misses >= m_rule.burst || !ledgerReady(now))
            return 0;
        ledger = m_ledger;
    }
    // Outside the lock: the round trip must not hold up other clients' requests.
    const Result<double> shared = ledger->missesLeft(client, m_rule.burst, m_rule.window);
    QString line;
    int wait = 0;
    {
        const std::lock_guard lock(m_mutex);
        line = ledgerAnswered(client, shared, now);
        wait = secondsFor(bucketFor(client, now));
    }
    log(line);
    return wait;
}

void MissLimiter::recordMiss(const QByteArray &client)
{
    if (m_rule.burst <= 0)
        return;
    const auto now = m_clock();
    MissLedger *ledger = nullptr;
    {
        const std::lock_guard lock(m_mutex);
        Bucket &bucket = bucketFor(client, now);
        bucket.misses = std::max(0.0, bucket.misses - 1);
        if (!ledgerReady(now))
            return;
        ledger = m_ledger;
    }
    const Result<double> shared = ledger->takeMiss(client, m_rule.burst, m_rule.window);
    QString line;
    {
        const std::lock_guard lock(m_mutex);
        line = ledgerAnswered(client, shared, now);
    }
    log(line);
}

int MissLimiter::secondsFor(const Bucket &bucket) const
{
    if (bucket.misses >= 1)
        return 0;
    const double perSecond = double(m_rule.burst) / double(m_rule.window.count());
    return std::max(1, int(std::ceil((1 - bucket.misses) / perSecond)));
}

bool MissLimiter::ledgerReady(std::chrono::steady_clock::time_point now) const
{
    return m_ledger && (!m_ledgerFailing || now >= m_ledgerRetry);
}

QString MissLimiter::ledgerAnswered(const QByteArray &client, const Result<double> &shared,
                                    std::chrono::steady_clock::time_point now)
{
    if (!shared) {
        m_ledgerRetry = now + ledgerPause;
        if (std::exchange(m_ledgerFailing, true))
            return {};
        return u"cannot share miss budgets with other servers, counting them in this one "
               u"alone: "_s +
               shared.error();
    }
    Bucket &bucket = bucketFor(client, now);
    bucket.misses = std::min(bucket.misses, std::clamp(shared.value(), 0.0, double(m_rule.burst)));
    if (std::exchange(m_ledgerFailing, false))
        return u"sharing miss budgets with other servers again"_s;
    return {};
}

void MissLimiter::log(const QString &line) const
{
    // m_log is set before the first request and never changes after.
    if (!line.isEmpty() && m_log)
        m_log(line);
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
