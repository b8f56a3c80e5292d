#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>

#include <chrono>
#include <functional>
#include <mutex>

struct sockaddr;

namespace VaultServer {

// Slows down the guessing of vault identities. Each client has a bucket of `burst` misses (a
// GET of a vault that does not exist, or a POST that creates one), refilled evenly over
// `window`. While a client's bucket is empty every vault request of it is refused with 429,
// hits included: answering hits would let a guesser go on at full speed, since any answer
// other than 200 tells it the guess missed.
class MissLimiter final
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Rule
    {
        int burst = 20; // 0: no limit
        std::chrono::seconds window{600};
    };

    explicit MissLimiter(Rule rule, Clock clock = &std::chrono::steady_clock::now,
                         qsizetype maxClients = 100'000);

    // 0 when the client may go on; otherwise the whole seconds until it may, for Retry-After.
    [[nodiscard]] int secondsToWait(const QByteArray &client);
    void recordMiss(const QByteArray &client);

    // Who a client is: its IPv4 address, or the /64 prefix of an IPv6 one (a host usually has
    // a whole /64 to pick addresses from). IPv4-mapped IPv6 addresses count as IPv4.
    [[nodiscard]] static QByteArray clientKey(const sockaddr *address);
    // The same for an address in text, such as the last entry of X-Forwarded-For. Empty when
    // the text is not an IP address.
    [[nodiscard]] static QByteArray clientKey(QByteArrayView address);

private:
    struct Bucket
    {
        double misses = 0; // misses left
        std::chrono::steady_clock::time_point updated;
    };

    void refill(Bucket &bucket, std::chrono::steady_clock::time_point now) const;
    Bucket &bucketFor(const QByteArray &client, std::chrono::steady_clock::time_point now);

    const Rule m_rule;
    const Clock m_clock;
    const qsizetype m_maxClients;
    std::mutex m_mutex;
    QHash<QByteArray, Bucket> m_buckets;
};

} // namespace VaultServer
