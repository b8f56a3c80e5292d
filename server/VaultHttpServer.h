#pragma once

#include "model/Result.h"
#include "server/AnswerCache.h"
#include "server/MissLimiter.h"
#include "server/VaultStorage.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <functional>
#include <memory>
#include <microhttpd.h>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace VaultServer {

class WriteQueue;

struct HttpSettings
{
    QByteArray host = "127.0.0.1"; // an address or a name that resolves to one
    quint16 port = 8443;           // 0: any free port (port() tells which)
    // PEM texts. Both empty: plain HTTP, which is only served on a loopback address.
    QByteArray certificatePem;
    QByteArray keyPem;
    qint64 maxPayloadBytes = 16 * 1024 * 1024;
    // GET answers waiting for their clients, counted once per stored version however many
    // requests share it, plus those kept for the next request. A GET that would need more is
    // answered 503 with Retry-After.
    qint64 answerMemoryBytes = 256 * 1024 * 1024;
    MissLimiter::Rule missRule;
    std::chrono::seconds headerTimeout{10}; // from connecting (or the previous answer)
                                            // to the end of the request head
    // A body must arrive within bodyTimeout of the end of its head, plus one second for every
    // minBodyRate bytes received: a client that falls below that rate after the grace is cut off.
    std::chrono::seconds bodyTimeout{10};
    qint64 minBodyRate = 1024;            // bytes per second, at least 1
    std::chrono::seconds idleTimeout{30}; // without a byte either way
    int threads = 2;
    int maxConnections = 1024;
    int maxConnectionsPerClient = 64; // 0: no limit
    // Take the client's address from the last entry of X-Forwarded-For (all its lines as one
    // list), as a reverse proxy on this machine appends it. Only for plain HTTP on loopback.
    bool trustForwardedFor = false;
};

// The Vault over HTTP(S) on libmicrohttpd: a pool of threads, each with its own epoll loop,
// so a slow or idle client costs a socket, never a thread. POSTs are suspended while the
// write queue makes them durable; the thread serves other connections meanwhile.
class VaultHttpServer final
{
public:
    using Log = std::function<void(const QString &)>;

    // Listens at once. Fails when the address, the TLS material or the storage's writer
    // cannot be had. `log` gets one line per failure, never a payload or a
    // vault identity; it is called from the server's threads.
    [[nodiscard]] static Result<std::unique_ptr<VaultHttpServer>>
    start(const HttpSettings &settings, VaultStorage &storage, Log log);
    ~VaultHttpServer(); // stop()s
    VaultHttpServer(const VaultHttpServer &) = delete;
    VaultHttpServer &operator=(const VaultHttpServer &) = delete;

    [[nodiscard]] quint16 port() const { return m_port; }
    // "https://127.0.0.1:8443", "http://[::1]:8080"...
    [[nodiscard]] QString url() const { return m_url; }

    // Stops accepting, stores every POST already received and answers it, waits a moment for
    // answers in flight, then closes every connection. Idempotent.
    void stop();

private:
    struct Request;
    // Where a connection is in its current request, for the sweeper.
    enum class Phase {
        Head,   // connecting, or waiting for (the rest of) a request head
        Body,   // the head is in, the body is arriving
        Answer, // the request is in; the writer or the answer is under way
    };
    struct Watch
    {
        int fd = -1; // -1 once shut down
        Phase phase = Phase::Head;
        std::chrono::steady_clock::time_point phaseStart;
        std::chrono::steady_clock::time_point deadline; // of the head or the body
        qint64 received = 0;                            // body bytes of this request
    };

    VaultHttpServer(const HttpSettings &settings, VaultStorage &storage, Log log);

    static MHD_Result acceptConnection(void *self, const sockaddr *address, socklen_t length);
    static MHD_Result handleRequest(void *self, MHD_Connection *connection, const char *url,
                                    const char *method, const char *version, const char *uploadData,
                                    size_t *uploadDataSize, void **requestContext);
    static void *requestStarted(void *self, const char *target, MHD_Connection *connection);
    static void requestEnded(void *self, MHD_Connection *connection, void **requestContext,
                             MHD_RequestTerminationCode reason);
    static void connectionChanged(void *self, MHD_Connection *connection, void **socketContext,
                                  MHD_ConnectionNotificationCode change);

    MHD_Result beginRequest(MHD_Connection *connection, Request &request, const char *method);
    MHD_Result answerGet(MHD_Connection *connection, Request &request);
    MHD_Result answerPost(MHD_Connection *connection, Request &request);
    static void libraryMessage(void *self, const char *format, va_list arguments)
        __attribute__((format(printf, 2, 0)));

    [[nodiscard]] QByteArray clientOf(MHD_Connection *connection) const;
    [[nodiscard]] qint64 bodyLimit() const;
    MHD_Result respondTooLarge(MHD_Connection *connection) const;
    void sweepSlowRequests();
    void enterPhase(MHD_Connection *connection, Phase phase);
    void bodyArrived(MHD_Connection *connection, qint64 bytes);

    const HttpSettings m_settings;
    VaultStorage &m_storage;
    const Log m_log;
    MissLimiter m_limiter;
    AnswerCache m_answers;
    std::unique_ptr<WriteQueue> m_writes;
    MHD_Daemon *m_daemon = nullptr;
    quint16 m_port = 0;
    QString m_url;

    std::atomic<bool> m_started = false;
    std::mutex m_startMutex;
    QString m_startMessages;
    std::atomic<bool> m_stopping = false;
    std::atomic<int> m_requestsInFlight = 0;

    // Every open connection, for the sweeper that ends the slow ones.
    std::mutex m_watchMutex;
    std::condition_variable m_sweepWake;
    bool m_sweeperStop = false;
    std::unordered_map<MHD_Connection *, Watch> m_watches;
    std::thread m_sweeper;
};

} // namespace VaultServer
