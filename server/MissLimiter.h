#pragma once

#include "server/MissLedger.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

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
//
// Servers that share a database share each client's budget through a MissLedger (see
// share()); this limiter stays in front of it, so that a client that has not missed lately
// costs no round trip to the database.
class MissLimiter final
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Log = std::function<void(const QString &)>;

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

    // Keeps the budgets in `ledger` too (null: in this process alone), before the first
    // request. `log` gets one line when the ledger fails, and one when it answers again;
    // neither names a client.
    void share(MissLedger *ledger, Log log);

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
    [[nodiscard]] int secondsFor(const Bucket &bucket) const;
    // Whether the ledger may be asked now; false for a while after it failed.
    [[nodiscard]] bool ledgerReady(std::chrono::steady_clock::time_point now) const;
    // Takes the ledger's answer into the client's bucket: the lower count wins, since either
    // side may know of misses the other does not (other servers', or this one's while the
    // ledger failed). Returns the line to log, if any. Under m_mutex.
    QString ledgerAnswered(const QByteArray &client, const Result<double> &shared,
                           std::chrono::steady_clock::time_point now);
    void log(const QString &line) const;

    const Rule m_rule;
    const Clock m_clock;
    const qsizetype m_maxClients;
    MissLedger *m_ledger = nullptr;
    Log m_log;
    std::mutex m_mutex;
    QHash<QByteArray, Bucket> m_buckets;
    std::chrono::steady_clock::time_point m_ledgerRetry; // not asked before then
    bool m_ledgerFailing = false;
};

} // namespace VaultServer
