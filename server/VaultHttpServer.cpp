#include "server/VaultHttpServer.h"

#include "server/VaultProtocol.h"
#include "server/WriteQueue.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace VaultServer {

namespace {

constexpr int listenBacklog = 1024;
// Request heads (the request line and every header) beyond this get 431 from the library.
constexpr size_t headMemoryBytes = 32 * 1024;
// How long a head or a body may lag before it can be shed to make room at the connection
// limit.
constexpr auto crowdedGrace = 1s;
// How long stop() lets answers already under way reach their clients.
constexpr auto drainTime = 3s;

enum class Method { Get, Post };

// Closes a socket that was never handed to the library.
struct SocketGuard
{
    int fd = -1;
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;
    explicit SocketGuard(int socket)
        : fd(socket)
    {}
    ~SocketGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

bool isLoopback(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(address);
        return (ntohl(ipv4.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&ipv6))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127;
    }
    return false;
}

QString addressText(const sockaddr_storage &address, quint16 port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, text,
                  sizeof text);
        return u'[' + QString::fromLatin1(text) + u"]:"_s + QString::number(port);
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text, sizeof text);
    return QString::fromLatin1(text) + u':' + QString::number(port);
}

// A listening socket on host:port, non-blocking as the library's thread pool needs it.
Result<int> listenOn(const QByteArray &host, quint16 port, sockaddr_storage *bound)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    const QByteArray service = QByteArray::number(port);
    if (const int failed = getaddrinfo(host.constData(), service.constData(), &hints, &addresses))
        return Result<int>::failure(u"cannot resolve "_s + QString::fromUtf8(host) + u": "_s +
                                    QString::fromUtf8(gai_strerror(failed)));
    QString lastError;
    int result = -1;
    for (const addrinfo *address = addresses; address && result < 0; address = address->ai_next) {
        SocketGuard socket(::socket(address->ai_family,
                                    address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                    address->ai_protocol));
        const int on = 1;
        socklen_t length = sizeof *bound;
        if (socket.fd < 0 || setsockopt(socket.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(socket.fd, address->ai_addr, address->ai_addrlen) != 0 ||
            ::listen(socket.fd, listenBacklog) != 0 ||
            getsockname(socket.fd, reinterpret_cast<sockaddr *>(bound), &length) != 0) {
            lastError = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        result = socket.release();
    }
    freeaddrinfo(addresses);
    if (result < 0)
        return Result<int>::failure(u"cannot listen on "_s + QString::fromUtf8(host) + u':' +
                                    QString::number(port) + u": "_s + lastError);
    return result;
}

// True when both descriptors are open on the same socket.
bool sameSocket(int first, int second)
{
    struct stat a = {};
    struct stat b = {};
    return ::fstat(first, &a) == 0 && ::fstat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

quint16 portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

std::optional<QByteArrayView> header(MHD_Connection *connection, const char *name)
{
    const char *const value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    if (!value)
        return std::nullopt;
    return QByteArrayView(value, qsizetype(std::strlen(value)));
}

// Every field line of the request head named `name` (in any case), in the order received.
std::vector<QByteArrayView> headerLines(MHD_Connection *connection, QByteArrayView name)
{
    struct Lines
    {
        QByteArrayView name;
        std::vector<QByteArrayView> values;
    } lines{name, {}};
    MHD_get_connection_values_n(
        connection, MHD_HEADER_KIND,
        [](void *context, MHD_ValueKind, const char *key, size_t keySize, const char *value,
           size_t valueSize) {
            auto *const found = static_cast<Lines *>(context);
            if (QByteArrayView(key, qsizetype(keySize)).compare(found->name, Qt::CaseInsensitive) ==
                0)
                found->values.emplace_back(value ? value : "", qsizetype(valueSize));
            return MHD_YES;
        },
        &lines);
    return std::move(lines.values);
}

using Headers = std::initializer_list<std::pair<const char *, QByteArray>>;

MHD_Result respond(MHD_Connection *connection, unsigned int status, const QByteArray &body,
                   Headers headers = {})
{
    MHD_Response *const response = MHD_create_response_from_buffer(
        size_t(body.size()), const_cast<char *>(body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    if (!body.isEmpty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto &[name, value] : headers)
        MHD_add_response_header(response, name, value.constData());
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// A 200 whose body is shared with every other request for the same version: the library
// reads it where it is, and the hold goes (and with it the answer's claim on the budget) when
// the library is done with the response, answered or cut off.
MHD_Result respondShared(MHD_Connection *connection, std::unique_ptr<AnswerCache::Hold> answer,
                         const QByteArray &etag)
{
    const QByteArray &body = answer->body();
    MHD_Response *const response = MHD_create_response_from_buffer_with_free_callback_cls(
        size_t(body.size()), const_cast<char *>(body.constData()),
        [](void *held) { delete static_cast<AnswerCache::Hold *>(held); }, answer.get());
    if (!response)
        return MHD_NO;
    answer.release(); // the response owns it now
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, etag.constData());
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result respondError(MHD_Connection *connection, unsigned int status, const QString &message,
                        Headers headers = {})
{
    const QByteArray body =
        QJsonDocument(QJsonObject{{"error"_L1, message}}).toJson(QJsonDocument::Compact);
    return respond(connection, status, body, headers);
}

// An answer to a request whose framing cannot be trusted: what follows its head could be read
// as a body or as the next request, so nothing more is read from the connection.
MHD_Result respondAndClose(MHD_Connection *connection, unsigned int status, const QString &message)
{
    return respondError(connection, status, message, {{MHD_HTTP_HEADER_CONNECTION, "close"}});
}

// The answer to a head refused before anything else is looked at, as RFC 9112 has it for a
// server that does not guess: a second Host, Content-Length lines that disagree, a transfer
// coding other than chunked, or both a length and a coding. The library takes the first of
// each header and would go on with it. Nothing for a head that is fine.
std::optional<MHD_Result> refuseFraming(MHD_Connection *connection)
{
    if (headerLines(connection, MHD_HTTP_HEADER_HOST).size() > 1)
        return respondAndClose(connection, MHD_HTTP_BAD_REQUEST,
                               u"A request has one Host header"_s);
    const std::vector<QByteArrayView> lengths =
        headerLines(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    for (const QByteArrayView length : lengths) {
        if (length.trimmed() != lengths.front().trimmed())
            return respondAndClose(connection, MHD_HTTP_BAD_REQUEST,
                                   u"The Content-Length headers disagree"_s);
    }
    const std::vector<QByteArrayView> encodings =
        headerLines(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if (!encodings.empty()) {
        // Every line together is one list of codings; only "chunked" alone is understood.
        QByteArray list;
        for (const QByteArrayView line : encodings)
            list += line.toByteArray() + ',';
        QList<QByteArray> codings = list.split(',');
        codings.removeIf([](const QByteArray &coding) { return coding.trimmed().isEmpty(); });
        if (codings.size() != 1 ||
            codings.front().trimmed().compare("chunked", Qt::CaseInsensitive) != 0)
            return respondAndClose(connection, MHD_HTTP_NOT_IMPLEMENTED,
                                   u"The only transfer coding served is chunked"_s);
        if (!lengths.empty())
            return respondAndClose(connection, MHD_HTTP_BAD_REQUEST,
                                   u"A request has a Content-Length or a Transfer-Encoding, not "
                                   u"both"_s);
    }
    return std::nullopt;
}

QString byteCount(qint64 bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return QString::number(bytes / (1024 * 1024)) + u" MiB"_s;
    return QString::number(bytes) + u" bytes"_s;
}

} // namespace

// One request's state, from its head to its answer.
struct VaultHttpServer::Request
{
    QByteArray target;      // as it came, before the library decodes it
    bool begun = false;     // the head is complete and beginRequest() has seen it
    bool answering = false; // the body is complete too
    Method method = Method::Get;
    QByteArray id;
    QByteArray client;
    QByteArray body;
    qint64 received = 0; // body bytes so far
    std::optional<std::vector<QByteArray>> ifMatch;
    std::optional<std::vector<QByteArray>> ifNoneMatch;
    QByteArray etag; // of the posted text
    bool submitted = false;
    std::atomic<int> outcome = -1; // a WriteOutcome once the writer is done
    // An answer decided from the head alone. It is given once the request has been read, so
    // the connection can serve the next one; the body, if any, is read and dropped.
    struct Refusal
    {
        unsigned int status = 0;
        QString message;
        const char *header = nullptr;
        QByteArray value;
    };
    std::optional<Refusal> refusal;
};

Result<std::unique_ptr<VaultHttpServer>> VaultHttpServer::start(const HttpSettings &settings,
                                                                VaultStorage &storage, Log log)
{
    using Started = Result<std::unique_ptr<VaultHttpServer>>;
    const bool tls = !settings.certificatePem.isEmpty() || !settings.keyPem.isEmpty();
    if (tls && (settings.certificatePem.isEmpty() || settings.keyPem.isEmpty()))
        return Started::failure(u"TLS needs both a certificate and a key"_s);
    sockaddr_storage bound{};
    const Result<int> listening = listenOn(settings.host, settings.port, &bound);
    if (!listening)
        return Started::failure(listening.error());
    SocketGuard listener(listening.value());
    if (!tls && !isLoopback(bound))
        return Started::failure(
            u"plain HTTP is only served on a loopback address, for a reverse proxy on the "
            u"same machine; give a certificate and a key to listen on "_s +
            addressText(bound, portOf(bound)));

    // The library closes the socket it is given on some of its failures but not on others, so
    // it gets a duplicate while ours stays open. After a failure, the duplicate's number still
    // naming our socket tells that it is ours to close, and not a descriptor that another
    // thread has opened since under the same number.
    SocketGuard handed(::fcntl(listener.fd, F_DUPFD_CLOEXEC, 0));
    if (handed.fd < 0)
        return Started::failure(u"cannot start serving: "_s +
                                QString::fromLocal8Bit(std::strerror(errno)));

    auto server =
        std::unique_ptr<VaultHttpServer>(new VaultHttpServer(settings, storage, std::move(log)));
    server->m_port = portOf(bound);
    server->m_url = (tls ? u"https://"_s : u"http://"_s) + addressText(bound, server->m_port);

    unsigned int flags =
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (tls)
        flags |= MHD_USE_TLS;
    const unsigned int perClient =
        settings.trustForwardedFor ? 0U : unsigned(std::max(0, settings.maxConnectionsPerClient));
    const auto function = [](auto *pointer) { return reinterpret_cast<intptr_t>(pointer); };
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, function(&VaultHttpServer::libraryMessage), server.get()},
        {MHD_OPTION_LISTEN_SOCKET, handed.fd, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, std::max(1, settings.threads), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, std::max(1, settings.maxConnections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, intptr_t(perClient), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, intptr_t(settings.idleTimeout.count()), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(headMemoryBytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, function(&VaultHttpServer::requestStarted), server.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, function(&VaultHttpServer::requestEnded), server.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, function(&VaultHttpServer::connectionChanged), server.get()},
        {MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1, nullptr},
        // Requests that bend HTTP/1.1 (no Host, white space before a colon...) are refused:
        // no client of ours sends them, and leniency is where smuggling tricks live.
        {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr},
    };
    if (tls) {
        // The server keeps its own copy of the PEM texts (zero-terminated by QByteArray).
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0,
                           const_cast<char *>(server->m_settings.certificatePem.constData())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0,
                           const_cast<char *>(server->m_settings.keyPem.constData())});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0,
                           const_cast<char *>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    server->m_daemon = MHD_start_daemon(flags, 0, &VaultHttpServer::acceptConnection, server.get(),
                                        &VaultHttpServer::handleRequest, server.get(),
                                        MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    server->m_started.store(true);
    if (!server->m_daemon) {
        if (!sameSocket(handed.fd, listener.fd))
            handed.release(); // the library has closed it
        const std::lock_guard lock(server->m_startMutex);
        return Started::failure(u"cannot start serving: "_s +
                                (server->m_startMessages.isEmpty()
                                     ? u"the library refused its settings"_s
                                     : server->m_startMessages));
    }
    handed.release(); // the daemon owns it now; ours is closed on the way out
    return server;
}

VaultHttpServer::VaultHttpServer(const HttpSettings &settings, VaultStorage &storage, Log log)
    : m_settings(settings)
    , m_storage(storage)
    , m_log(std::move(log))
    , m_limiter(settings.missRule)
    , m_answers(settings.answerMemoryBytes)
    , m_writes(std::make_unique<WriteQueue>(storage,
                                            [this](const QString &reason) {
                                                if (m_log)
                                                    m_log(u"storing failed: "_s + reason);
                                            }))
    , m_sweeper([this] { sweepSlowRequests(); })
{
    m_limiter.share(storage.missLedger(), m_log);
}

VaultHttpServer::~VaultHttpServer()
{
    stop();
    {
        const std::lock_guard lock(m_watchMutex);
        m_sweeperStop = true;
        m_sweepWake.notify_one();
    }
    if (m_sweeper.joinable())
        m_sweeper.join();
}

void VaultHttpServer::stop()
{
    if (m_stopping.exchange(true) || !m_daemon)
        return;
    // From here acceptConnection() turns every new connection away; the listening socket
    // closes with the daemon. Not MHD_quiesce_daemon(): on an epoll daemon with threads of
    // its own it races the library's own removal of the listening socket from the epoll set,
    // and the loser aborts the whole process ("Failed to remove listen FD from epoll set",
    // libmicrohttpd 0.9.75), most often when the server is at its connection limit.
    // Every POST received is stored and its connection resumed; later ones are answered 503
    // without being suspended, so none is left suspended when the daemon stops.
    m_writes->stop();
    const auto giveUp = std::chrono::steady_clock::now() + drainTime;
    while (m_requestsInFlight.load() > 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(10ms);
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

void *VaultHttpServer::requestStarted(void * /*self*/, const char *target,
                                      MHD_Connection * /*connection*/)
{
    // The library hands the handler its target decoded, where "%2F" and "/" look alike, so
    // the request keeps the target as it came. requestEnded() deletes it.
    auto *const request = new Request;
    request->target = QByteArray(target);
    return request;
}

MHD_Result VaultHttpServer::acceptConnection(void *self, const sockaddr *, socklen_t)
{
    return static_cast<VaultHttpServer *>(self)->m_stopping.load() ? MHD_NO : MHD_YES;
}

MHD_Result VaultHttpServer::handleRequest(void *self, MHD_Connection *connection,
                                          const char * /*url*/, const char *method,
                                          const char * /*version*/, const char *uploadData,
                                          size_t *uploadDataSize, void **requestContext)
{
    auto *const server = static_cast<VaultHttpServer *>(self);
    auto *const request = static_cast<Request *>(*requestContext);
    if (!request)
        return MHD_NO;
    if (!request->begun) {
        server->enterPhase(connection, Phase::Body);
        ++server->m_requestsInFlight;
        request->begun = true;
        return server->beginRequest(connection, *request, method);
    }
    if (*uploadDataSize != 0) {
        // A body larger than any payload could be is dropped with the connection: the
        // library cannot answer while the body still arrives. Bodies that announce their
        // length were answered 413 before this.
        request->received += qint64(*uploadDataSize);
        if (request->received > server->bodyLimit())
            return MHD_NO;
        server->bodyArrived(connection, qint64(*uploadDataSize));
        if (request->method == Method::Post && !request->refusal)
            request->body.append(uploadData, qsizetype(*uploadDataSize));
        *uploadDataSize = 0;
        return MHD_YES;
    }
    if (!request->answering) {
        request->answering = true;
        server->enterPhase(connection, Phase::Answer);
    }
    if (const auto &refusal = request->refusal) {
        if (refusal->header)
            return respondError(connection, refusal->status, refusal->message,
                                {{refusal->header, refusal->value}});
        return respondError(connection, refusal->status, refusal->message);
    }
    return request->method == Method::Get ? server->answerGet(connection, *request)
                                          : server->answerPost(connection, *request);
}

MHD_Result VaultHttpServer::beginRequest(MHD_Connection *connection, Request &request,
                                         const char *method)
{
    if (const std::optional<MHD_Result> refused = refuseFraming(connection))
        return *refused;
    const auto refuse = [&request](unsigned int status, QString message,
                                   const char *headerName = nullptr, QByteArray value = {}) {
        request.refusal =
            Request::Refusal{status, std::move(message), headerName, std::move(value)};
        return MHD_YES;
    };
    request.method = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0 ? Method::Post : Method::Get;
    const std::optional<QByteArray> id = vaultIdFromTarget(request.target);
    if (!id)
        return refuse(MHD_HTTP_NOT_FOUND, u"Not found: a vault is at /vault/pinlark/ followed by "
                                          u"64 lower-case hexadecimal digits"_s);
    request.id = *id;
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && request.method != Method::Post)
        return refuse(MHD_HTTP_METHOD_NOT_ALLOWED, u"A vault answers GET and POST only"_s,
                      MHD_HTTP_HEADER_ALLOW, "GET, POST");
    request.client = clientOf(connection);
    if (const int wait = m_limiter.secondsToWait(request.client))
        return refuse(MHD_HTTP_TOO_MANY_REQUESTS,
                      u"Too many requests for vaults that do not exist; try again later"_s,
                      MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number(wait));
    if (request.method == Method::Get)
        return MHD_YES;

    if (!acceptsContentType(header(connection, MHD_HTTP_HEADER_CONTENT_TYPE)))
        return refuse(MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, u"The body must be application/json"_s);
    if (const auto length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        bool ok = false;
        const qint64 announced = length->toLongLong(&ok);
        // Answered at once, so the body is never sent; the connection closes after it.
        if (ok && announced > bodyLimit())
            return respondTooLarge(connection);
    }
    if (const auto ifMatch = header(connection, MHD_HTTP_HEADER_IF_MATCH))
        request.ifMatch = parseIfMatch(*ifMatch);
    if (const auto ifNoneMatch = header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH))
        request.ifNoneMatch = parseIfMatch(*ifNoneMatch);
    return MHD_YES;
}

MHD_Result VaultHttpServer::answerGet(MHD_Connection *connection, Request &request)
{
    const auto unreadable = [&](const QString &error) {
        if (m_log)
            m_log(u"reading failed: "_s + error);
        return respondError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                            u"The vault cannot be read just now"_s,
                            {{MHD_HTTP_HEADER_RETRY_AFTER, "5"}});
    };
    const auto missing = [&] {
        m_limiter.recordMiss(request.client);
        return respondError(connection, MHD_HTTP_NOT_FOUND, u"Nothing is stored in this vault"_s);
    };
    // The tag first: most GETs find the answer of the stored version built already, and the
    // text need not be read. Another server (or process) may store a newer version at any
    // moment; the answer served is always the one of the tag just read, or of the vault
    // loaded whole below, never one of a tag read earlier.
    const TagResult tag = m_storage.loadTag(request.id);
    if (!tag)
        return unreadable(tag.error());
    if (!tag.value())
        return missing();
    if (std::unique_ptr<AnswerCache::Hold> kept = m_answers.share(request.id, *tag.value()))
        return respondShared(connection, std::move(kept), *tag.value());

    // Text and tag read together: they may be of a version newer than the tag above, and the
    // answer is built and tagged from them alone.
    const LoadResult loaded = m_storage.load(request.id);
    if (!loaded)
        return unreadable(loaded.error());
    const std::optional<StoredVault> &vault = loaded.value();
    if (!vault)
        return missing();
    // Clients that do not read would otherwise pin a copy of a large answer each; shared
    // answers pin one per version, and no more than the budget in all.
    std::unique_ptr<AnswerCache::Hold> answer = m_answers.hold(request.id, *vault);
    if (!answer)
        return respondError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                            u"The Vault has too many answers waiting for their clients; try "
                            u"again later"_s,
                            {{MHD_HTTP_HEADER_RETRY_AFTER, "5"}});
    return respondShared(connection, std::move(answer), vault->etag);
}

MHD_Result VaultHttpServer::answerPost(MHD_Connection *connection, Request &request)
{
    if (const int outcome = request.outcome.load(); outcome >= 0) {
        switch (WriteOutcome(outcome)) {
        case WriteOutcome::Created:
            m_limiter.recordMiss(request.client);
            [[fallthrough]];
        case WriteOutcome::Replaced:
            return respond(connection, MHD_HTTP_NO_CONTENT, {},
                           {{MHD_HTTP_HEADER_ETAG, request.etag}});
        case WriteOutcome::PreconditionFailed:
            // Also what a guess with If-Match gets for a vault that does not exist.
            m_limiter.recordMiss(request.client);
            if (!request.ifMatch)
                return respondError(connection, MHD_HTTP_PRECONDITION_FAILED,
                                    u"The vault exists already, or has a tag listed in "
                                    u"If-None-Match; nothing was stored"_s);
            return respondError(connection, MHD_HTTP_PRECONDITION_FAILED,
                                u"The vault has changed since the tag in If-Match; nothing was "
                                u"stored"_s);
        case WriteOutcome::Failed:
            break;
        }
        return respondError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                            u"The vault could not be stored just now; nothing was changed"_s,
                            {{MHD_HTTP_HEADER_RETRY_AFTER, "5"}});
    }
    if (request.submitted)
        return MHD_YES; // still with the writer

    Result<QByteArray> data = dataFromBody(request.body);
    if (!data)
        return respondError(connection, MHD_HTTP_BAD_REQUEST, data.error());
    if (data.value().size() > m_settings.maxPayloadBytes)
        return respondTooLarge(connection);
    if (m_stopping.load())
        return respondError(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                            u"The Vault is stopping; nothing was stored"_s,
                            {{MHD_HTTP_HEADER_RETRY_AFTER, "5"}});
    request.body = {};
    request.etag = entityTag(data.value());
    request.submitted = true;
    // Suspended before it is queued, so the writer's resume always finds it suspended.
    MHD_suspend_connection(connection);
    m_writes->submit(VaultWrite{request.id, std::move(data).value(), request.etag, request.ifMatch,
                                request.ifNoneMatch},
                     [this, connection, &request](WriteOutcome outcome) {
                         // The kept answer of the old version would only take room now. A GET
                         // that read the old version just before may keep it again; it is
                         // never served for the new one, as answers are matched by tag.
                         if (outcome == WriteOutcome::Created || outcome == WriteOutcome::Replaced)
                             m_answers.forget(request.id);
                         request.outcome.store(int(outcome));
                         MHD_resume_connection(connection);
                     });
    return MHD_YES;
}

void VaultHttpServer::requestEnded(void *self, MHD_Connection *connection, void **requestContext,
                                   MHD_RequestTerminationCode)
{
    auto *const server = static_cast<VaultHttpServer *>(self);
    auto *const request = static_cast<Request *>(*requestContext);
    if (!request)
        return;
    if (request->begun)
        --server->m_requestsInFlight;
    delete request;
    *requestContext = nullptr;
    // A kept-alive connection has the same time again for its next request head.
    server->enterPhase(connection, Phase::Head);
}

void VaultHttpServer::connectionChanged(void *self, MHD_Connection *connection,
                                        void ** /*socketContext*/,
                                        MHD_ConnectionNotificationCode change)
{
    auto *const server = static_cast<VaultHttpServer *>(self);
    if (change == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *const info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (!info)
            return;
        const auto now = std::chrono::steady_clock::now();
        const std::lock_guard lock(server->m_watchMutex);
        server->m_watches[connection] =
            Watch{info->connect_fd, Phase::Head, now, now + server->m_settings.headerTimeout, 0};
    } else {
        // Called before the library closes the socket, so the sweeper never touches a
        // descriptor that could already belong to another connection.
        const std::lock_guard lock(server->m_watchMutex);
        server->m_watches.erase(connection);
    }
}

void VaultHttpServer::enterPhase(MHD_Connection *connection, Phase phase)
{
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_watchMutex);
    const auto found = m_watches.find(connection);
    if (found == m_watches.end())
        return;
    Watch &watch = found->second;
    watch.phase = phase;
    watch.phaseStart = now;
    watch.received = 0;
    watch.deadline =
        now + (phase == Phase::Head ? m_settings.headerTimeout : m_settings.bodyTimeout);
}

void VaultHttpServer::bodyArrived(MHD_Connection *connection, qint64 bytes)
{
    const std::lock_guard lock(m_watchMutex);
    const auto found = m_watches.find(connection);
    if (found == m_watches.end())
        return;
    Watch &watch = found->second;
    watch.received += bytes;
    // Every minBodyRate bytes buy one more second: a body that keeps the rate never runs out.
    watch.deadline = watch.phaseStart + m_settings.bodyTimeout +
                     std::chrono::milliseconds(watch.received * 1000 /
                                               std::max<qint64>(1, m_settings.minBodyRate));
}

void VaultHttpServer::sweepSlowRequests()
{
    // The library only knows idle time-outs, which a client sending a byte now and then never
    // meets. A connection whose request head or body is not in by its deadline is shut down
    // here; the library then sees it end and cleans it up in its own thread.
    //
    // Deadlines alone leave a server whose every slot is held by slow clients closed to
    // newcomers until the deadlines pass: the library stops accepting at its limit. So near the
    // limit the connections furthest behind the minimum rate (an idle kept-alive connection, a
    // head or a body trickling in) are shut down early, once they have had a moment, to make
    // room; answers under way are never touched.
    const auto period = std::clamp<std::chrono::steady_clock::duration>(
        std::min(m_settings.headerTimeout, m_settings.bodyTimeout) / 4, 50ms, 250ms);
    const auto limit = std::size_t(std::max(1, m_settings.maxConnections));
    const std::size_t crowded = limit - limit / 16;
    const std::size_t relieved = limit - limit / 8 - 1;
    const auto minRate = std::max<qint64>(1, m_settings.minBodyRate);
    std::vector<std::pair<std::chrono::steady_clock::duration, Watch *>> behind;
    std::unique_lock lock(m_watchMutex);
    while (!m_sweeperStop) {
        m_sweepWake.wait_for(lock, period);
        const auto now = std::chrono::steady_clock::now();
        std::size_t open = 0;
        behind.clear();
        for (auto &[connection, watch] : m_watches) {
            if (watch.fd < 0)
                continue;
            if (watch.phase != Phase::Answer && watch.deadline <= now) {
                ::shutdown(watch.fd, SHUT_RDWR);
                watch.fd = -1; // once is enough
                continue;
            }
            ++open;
            if (watch.phase != Phase::Answer && now - watch.phaseStart >= crowdedGrace)
                behind.emplace_back(now - watch.phaseStart -
                                        std::chrono::milliseconds(watch.received * 1000 / minRate),
                                    &watch);
        }
        if (open < crowded || behind.empty())
            continue;
        const std::size_t shed = std::min(behind.size(), open - relieved);
        std::partial_sort(behind.begin(), behind.begin() + qsizetype(shed), behind.end(),
                          [](const auto &a, const auto &b) { return a.first > b.first; });
        for (std::size_t i = 0; i < shed; ++i) {
            ::shutdown(behind[i].second->fd, SHUT_RDWR);
            behind[i].second->fd = -1;
        }
    }
}

MHD_Result VaultHttpServer::respondTooLarge(MHD_Connection *connection) const
{
    return respondError(connection, MHD_HTTP_CONTENT_TOO_LARGE,
                        u"The payload is larger than this Vault keeps ("_s +
                            byteCount(m_settings.maxPayloadBytes) + u')');
}

qint64 VaultHttpServer::bodyLimit() const
{
    // JSON escapes make a body longer than its text (the client writes "/" as "\\/"), so
    // bodies get a quarter more room; the text itself is held to the limit once decoded.
    return m_settings.maxPayloadBytes + m_settings.maxPayloadBytes / 4 + 64 * 1024;
}

void VaultHttpServer::libraryMessage(void *self, const char *format, va_list arguments)
{
    // Until the daemon runs, the library's messages say why it could not start. After that
    // they are about single clients (a failed handshake, a malformed request), which any
    // stranger can cause at will; they are not worth a line each.
    auto *const server = static_cast<VaultHttpServer *>(self);
    if (server->m_started.load())
        return;
    char text[512] = {};
    std::vsnprintf(text, sizeof text, format, arguments);
    const std::lock_guard lock(server->m_startMutex);
    if (!server->m_startMessages.isEmpty())
        server->m_startMessages += u"; "_s;
    server->m_startMessages += QString::fromLocal8Bit(text).trimmed();
}

QByteArray VaultHttpServer::clientOf(MHD_Connection *connection) const
{
    if (m_settings.trustForwardedFor) {
        // Repeated field lines are one comma-separated list, and a proxy may append its own
        // line rather than extend the client's: only the very last entry is the proxy's.
        const std::vector<QByteArrayView> lines = headerLines(connection, "X-Forwarded-For");
        if (!lines.empty()) {
            const QByteArrayView last = lines.back();
            const QByteArray key = MissLimiter::clientKey(last.sliced(last.lastIndexOf(',') + 1));
            if (!key.isEmpty())
                return key;
        }
    }
    const MHD_ConnectionInfo *const info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info ? MissLimiter::clientKey(info->client_addr) : QByteArray();
}

} // namespace VaultServer
