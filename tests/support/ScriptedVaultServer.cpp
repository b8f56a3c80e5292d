#include "tests/support/ScriptedVaultServer.h"

#include "tests/support/TestCertificates.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

// A request head longer than this, or a body longer than that, is refused rather than held.
constexpr qsizetype maxHeadBytes = 64 * 1024;
constexpr qint64 maxBodyBytes = 256 * 1024 * 1024;
// Filler goes out in chunks of this size, and only while less than highWater bytes wait to
// be sent, so a slow reader never makes the server hold a whole large body.
constexpr qsizetype fillChunkBytes = 64 * 1024;
constexpr qint64 highWaterBytes = 256 * 1024;

// ---- HTTP ----

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Statuses whose responses carry no body, so they get no Content-Length either.
bool isBodyless(int status)
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') ||
                             QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!allowed)
            return false;
    }
    return true;
}

bool isVisible(QByteArrayView text)
{
    for (const char c : text) {
        if (c <= ' ' || c == '\x7f')
            return false;
    }
    return !text.isEmpty();
}

// The header's comma-separated list holds `token`, compared without case.
bool listsToken(QByteArrayView value, QByteArrayView token)
{
    for (const QByteArray &part : value.toByteArray().split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

ScriptedVaultServer::Answer plainAnswer(int status, const QByteArray &body)
{
    ScriptedVaultServer::Answer answer;
    answer.status = status;
    answer.body = body;
    answer.headers = {{"Content-Type", "text/plain"}};
    return answer;
}

QString pathKey(const QByteArray &target)
{
    const qsizetype query = target.indexOf('?');
    return QString::fromUtf8(query < 0 ? target : target.first(query));
}

// The items of an If-Match or If-None-Match list, trimmed, empty ones left out.
QList<QByteArray> listedTags(QByteArrayView value)
{
    QList<QByteArray> tags;
    for (const QByteArray &part : value.toByteArray().split(',')) {
        if (const QByteArray tag = part.trimmed(); !tag.isEmpty())
            tags.append(tag);
    }
    return tags;
}

bool isQuotedTag(QByteArrayView tag)
{
    return tag.size() >= 2 && tag.front() == '"' && tag.back() == '"' &&
           !tag.sliced(1, tag.size() - 2).contains('"');
}

// RFC 9110's If-Match: "*" or a strong match with the current tag.
bool ifMatchHolds(QByteArrayView header, const std::optional<QByteArray> &current)
{
    if (!current)
        return false;
    const QList<QByteArray> tags = listedTags(header);
    return std::ranges::any_of(
        tags, [&](const QByteArray &tag) { return tag == "*" || tag == *current; });
}

// RFC 9110's If-None-Match, compared weakly; a malformed list never holds, as with
// pinlark-vault.
bool ifNoneMatchHolds(QByteArrayView header, const std::optional<QByteArray> &current)
{
    const QList<QByteArray> tags = listedTags(header);
    if (tags.isEmpty())
        return false;
    for (const QByteArray &tag : tags) {
        if (tag == "*") {
            if (current)
                return false;
            continue;
        }
        const QByteArrayView opaque =
            tag.startsWith("W/") ? QByteArrayView(tag).sliced(2) : QByteArrayView(tag);
        if (!isQuotedTag(opaque) || (current && opaque == *current))
            return false;
    }
    return true;
}

bool hasHeader(const ScriptedVaultServer::Request &request, QByteArrayView name)
{
    return std::ranges::any_of(request.headers, [&](const auto &header) {
        return QByteArrayView(header.first).compare(name, Qt::CaseInsensitive) == 0;
    });
}

} // namespace

// Everything both threads touch, behind one mutex.
struct ScriptedVaultServer::Shared
{
    std::optional<QSslConfiguration> tls; // set before the thread starts, read-only after

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool started = false;
    quint16 port = 0;
    QString listenError;
    std::deque<Answer> script;
    std::optional<Answer> standing;
    bool vaultBehaviour = true;
    bool entityTags = true;
    QHash<QString, QByteArray> stored;
    // The entity tag of each stored body, hashed once when it is stored: a large payload is
    // pulled and pushed many times in a benchmark.
    QHash<QString, QByteArray> storedTags;
    QList<Request> log;
    std::atomic<qint64> bodyBytesSent = 0;

    void record(Request request)
    {
        {
            const std::lock_guard lock(mutex);
            log.append(std::move(request));
        }
        changed.notify_all();
    }

    // Logs the request and hands out its answer in the same step, so answers follow the
    // order of the log.
    Answer arrive(const Request &request)
    {
        Answer answer;
        {
            const std::lock_guard lock(mutex);
            log.append(request);
            if (!script.empty()) {
                answer = std::move(script.front());
                script.pop_front();
            } else if (standing) {
                answer = *standing;
            } else {
                answer = vaultAnswer(request);
            }
        }
        changed.notify_all();
        return answer;
    }

    // Called with the mutex held.
    Answer vaultAnswer(const Request &request)
    {
        if (!vaultBehaviour)
            return plainAnswer(500, "unscripted");
        const QString key = pathKey(request.path);
        const auto found = stored.constFind(key);
        if (request.method == "GET") {
            if (found == stored.cend())
                return Answer::json(404, {});
            Answer answer = Answer::json(200, *found);
            if (entityTags)
                answer.headers.emplaceBack("ETag", storedTags.value(key));
            return answer;
        }
        if (request.method == "POST") {
            if (entityTags) {
                const std::optional<QByteArray> current =
                    found == stored.cend() ? std::nullopt : std::optional(storedTags.value(key));
                if (hasHeader(request, "If-Match") &&
                    !ifMatchHolds(request.header("If-Match"), current))
                    return Answer::json(412, R"({"error":"If-Match does not hold"})");
                if (hasHeader(request, "If-None-Match") &&
                    !ifNoneMatchHolds(request.header("If-None-Match"), current))
                    return Answer::json(412, R"({"error":"If-None-Match does not hold"})");
            }
            stored.insert(key, request.body);
            storedTags.insert(key, entityTagOf(request.body));
            Answer answer;
            answer.status = 204;
            if (entityTags)
                answer.headers.emplaceBack("ETag", storedTags.value(key));
            return answer;
        }
        Answer answer = plainAnswer(405, "only GET and POST");
        answer.headers.emplaceBack("Allow", "GET, POST");
        return answer;
    }
};

// One accepted connection, in the server thread: reads requests one after the other and
// answers each before reading the next.
class ScriptedVaultServer::Connection final : public QObject
{
public:
    Connection(Shared &shared, QTcpSocket *socket, int id, QObject *parent)
        : QObject(parent)
        , m_shared(shared)
        , m_socket(socket)
        , m_id(id)
    {
        m_socket->setParent(this);
        connect(m_socket, &QIODevice::readyRead, this, &Connection::read);
        connect(m_socket, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
        connect(m_socket, &QIODevice::bytesWritten, this, &Connection::pumpFiller);
        connect(&m_drip, &QTimer::timeout, this, &Connection::dripByte);
        if (auto *const tlsSocket = qobject_cast<QSslSocket *>(m_socket))
            connect(tlsSocket, &QSslSocket::encryptedBytesWritten, this, &Connection::pumpFiller);
        // The TLS handshake may have brought the first request along already, or the client
        // may have gone before the connection reached us.
        read();
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            deleteLater();
    }
    Q_DISABLE_COPY_MOVE(Connection)

private:
    enum class Parse { Incomplete, Complete, Malformed, TooLarge };

    void read()
    {
        quickAck();
        const QByteArray data = m_socket->readAll();
        if (m_closing || m_hanging)
            return; // nothing more is answered on this connection
        m_buffer.append(data);
        serveBuffered();
    }

    // Acknowledges what arrived at once instead of after the kernel's 40 ms delay. Qt's
    // HTTP client leaves Nagle's algorithm on, so it holds the last piece of a large request
    // until the previous one is acknowledged; a delayed ACK would add 40 ms to every large
    // POST. Linux turns quick ACKs off again by itself, hence after every read.
    void quickAck()
    {
        const qintptr descriptor = m_socket->socketDescriptor();
        if (descriptor < 0)
            return;
        const int on = 1;
        ::setsockopt(int(descriptor), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }

    void serveBuffered()
    {
        if (m_serving)
            return; // the loop below picks up what is next
        m_serving = true;
        while (!m_busy && !m_closing && !m_hanging) {
            Request request;
            request.connection = m_id;
            const Parse outcome = parse(request);
            if (outcome == Parse::Incomplete)
                break;
            if (outcome != Parse::Complete) {
                reject(std::move(request), outcome == Parse::TooLarge ? 413 : 400);
                break;
            }
            const bool closeAfter = wantsClose(request);
            Answer answer = m_shared.arrive(request);
            m_busy = true;
            if (answer.delayMs > 0) {
                QTimer::singleShot(answer.delayMs, this,
                                   [this, answer, closeAfter] { perform(answer, closeAfter); });
            } else {
                perform(answer, closeAfter);
            }
        }
        m_serving = false;
    }

    // Takes one whole request off the front of the buffer; on failure `request` keeps what
    // could be read of it.
    Parse parse(Request &request)
    {
        // Only where a head may end: a large body arrives in many pieces, and searching all
        // of it after each would make reading it quadratic.
        const qsizetype headEnd = QByteArrayView(m_buffer)
                                      .first(std::min(m_buffer.size(), maxHeadBytes + 4))
                                      .indexOf("\r\n\r\n");
        if (headEnd < 0)
            return m_buffer.size() > maxHeadBytes ? Parse::Malformed : Parse::Incomplete;
        if (headEnd > maxHeadBytes)
            return Parse::Malformed;

        const QByteArrayView head = QByteArrayView(m_buffer).first(headEnd);
        qsizetype lineEnd = head.indexOf("\r\n");
        if (lineEnd < 0)
            lineEnd = head.size();
        const QList<QByteArray> parts = head.first(lineEnd).toByteArray().split(' ');
        if (parts.size() != 3)
            return Parse::Malformed;
        request.method = parts[0];
        request.path = parts[1];
        if (!isToken(request.method) || !request.path.startsWith('/') || !isVisible(request.path) ||
            (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0"))
            return Parse::Malformed;
        m_http10 = parts[2] == "HTTP/1.0";

        std::optional<qint64> contentLength;
        qsizetype lineStart = lineEnd + 2;
        while (lineStart < head.size()) {
            lineEnd = head.indexOf("\r\n", lineStart);
            if (lineEnd < 0)
                lineEnd = head.size();
            const QByteArrayView line = head.sliced(lineStart, lineEnd - lineStart);
            lineStart = lineEnd + 2;
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || !isToken(line.first(colon)))
                return Parse::Malformed; // also folded lines, which begin with a blank
            const QByteArray name = line.first(colon).toByteArray();
            const QByteArray value = line.sliced(colon + 1).toByteArray().trimmed();
            request.headers.append({name, value});
            if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
                return Parse::Malformed; // the Vault's clients send Content-Length
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
                bool ok = false;
                const qint64 length = value.toLongLong(&ok);
                if (!ok || length < 0 || value.isEmpty() || value.front() < '0' ||
                    value.front() > '9' || (contentLength && *contentLength != length))
                    return Parse::Malformed;
                contentLength = length;
            }
        }
        const qint64 bodyLength = contentLength.value_or(0);
        if (bodyLength > maxBodyBytes)
            return Parse::TooLarge;
        const qint64 bodyStart = headEnd + 4;
        if (m_buffer.size() - bodyStart < bodyLength)
            return Parse::Incomplete;
        request.body = m_buffer.sliced(bodyStart, bodyLength);
        m_buffer.remove(0, bodyStart + bodyLength);
        return Parse::Complete;
    }

    [[nodiscard]] bool wantsClose(const Request &request) const
    {
        const QByteArray connection = request.header("Connection");
        return listsToken(connection, "close") ||
               (m_http10 && !listsToken(connection, "keep-alive"));
    }

    void reject(Request request, int status)
    {
        request.rejected = true;
        m_shared.record(std::move(request));
        m_closing = true;
        m_buffer.clear();
        const QByteArray body = status == 413 ? "request too large" : "cannot read the request";
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                        "\r\nContent-Type: text/plain\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        m_socket->disconnectFromHost();
    }

    void perform(const Answer &answer, bool closeAfter)
    {
        switch (answer.kind) {
        case Answer::Kind::Hang:
            m_hanging = true;
            m_buffer.clear();
            return;
        case Answer::Kind::Drop:
            m_closing = true;
            m_socket->abort();
            return;
        case Answer::Kind::Respond:
            break;
        }
        const bool close = closeAfter || !answer.declareLength;
        const qint64 bodySize = answer.fillBytes > 0 ? answer.fillBytes : answer.body.size();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' +
                          reasonPhrase(answer.status) + "\r\n";
        if (answer.declareLength && !(isBodyless(answer.status) && bodySize == 0))
            head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
        if (close)
            head += "Connection: close\r\n";
        for (const auto &[name, value] : answer.headers)
            head += name + ": " + value + "\r\n";
        head += "\r\n";
        m_socket->write(head);
        m_body = answer.fillBytes > 0 ? QByteArray() : answer.body;
        m_bodyFill = std::max(answer.fillBytes, qint64(0));
        m_dripMs = answer.dripMs;
        m_closeAfterBody = close;
        if (answer.bodyDelayMs > 0)
            QTimer::singleShot(answer.bodyDelayMs, this, &Connection::sendBody);
        else
            sendBody();
    }

    void sendBody()
    {
        // A client that hung up while the body was held back gets none of it; disconnected()
        // ends this connection.
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        if (m_dripMs > 0 && (!m_body.isEmpty() || m_bodyFill > 0)) {
            m_drip.start(m_dripMs);
            return;
        }
        if (m_bodyFill > 0) {
            if (m_filler.isEmpty())
                m_filler = QByteArray(fillChunkBytes, 'x');
            m_fillLeft = std::exchange(m_bodyFill, 0);
            pumpFiller();
            return;
        }
        writeBody(std::exchange(m_body, {}));
        finishAnswer(m_closeAfterBody);
    }

    void dripByte()
    {
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            m_drip.stop();
            return;
        }
        if (!m_body.isEmpty()) {
            writeBody(m_body.first(1));
            m_body.remove(0, 1);
        } else {
            writeBody("x");
            --m_bodyFill;
        }
        if (m_body.isEmpty() && m_bodyFill == 0) {
            m_drip.stop();
            finishAnswer(m_closeAfterBody);
        }
    }

    // Writes a piece of an answer's body and counts it as sent.
    qint64 writeBody(QByteArrayView bytes)
    {
        const qint64 written = m_socket->write(bytes.data(), bytes.size());
        if (written > 0)
            m_shared.bodyBytesSent += written;
        return written;
    }

    [[nodiscard]] qint64 unsentBytes() const
    {
        qint64 unsent = m_socket->bytesToWrite();
        if (const auto *const tlsSocket = qobject_cast<const QSslSocket *>(m_socket))
            unsent += tlsSocket->encryptedBytesToWrite();
        return unsent;
    }

    void pumpFiller()
    {
        if (m_fillLeft <= 0 || m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        while (m_fillLeft > 0 && unsentBytes() < highWaterBytes) {
            const qint64 chunk = qMin(m_fillLeft, qint64(m_filler.size()));
            if (writeBody(QByteArrayView(m_filler).first(chunk)) != chunk)
                return; // the socket failed; its disconnected() ends this connection
            m_fillLeft -= chunk;
        }
        if (m_fillLeft == 0)
            finishAnswer(m_closeAfterBody);
    }

    void finishAnswer(bool close)
    {
        m_busy = false;
        if (close) {
            m_closing = true;
            m_socket->disconnectFromHost();
            return;
        }
        serveBuffered(); // a request the client sent without waiting
    }

    Shared &m_shared;
    QTcpSocket *const m_socket;
    const int m_id;
    QByteArray m_buffer;
    QByteArray m_body;     // a literal body not sent yet
    qint64 m_bodyFill = 0; // filler bytes not sent yet, until pumpFiller() takes them over
    int m_dripMs = 0;
    QTimer m_drip;
    QByteArray m_filler;
    qint64 m_fillLeft = 0; // what pumpFiller() still has to write
    bool m_closeAfterBody = false;
    bool m_http10 = false;
    bool m_serving = false; // inside serveBuffered()
    bool m_busy = false;    // a request is being answered
    bool m_hanging = false; // never answers again
    bool m_closing = false; // answered its last
};

ScriptedVaultServer::Answer ScriptedVaultServer::Answer::json(int status, const QByteArray &body)
{
    Answer answer;
    answer.status = status;
    answer.body = body;
    answer.headers = {{"Content-Type", "application/json"}};
    return answer;
}

ScriptedVaultServer::Answer ScriptedVaultServer::Answer::hang()
{
    Answer answer;
    answer.kind = Kind::Hang;
    return answer;
}

ScriptedVaultServer::Answer ScriptedVaultServer::Answer::drop()
{
    Answer answer;
    answer.kind = Kind::Drop;
    return answer;
}

QByteArray ScriptedVaultServer::Request::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

ScriptedVaultServer::ScriptedVaultServer(Transport transport)
    : m_scheme(transport == Transport::Tls ? u"https"_s : u"http"_s)
    , m_shared(std::make_unique<Shared>())
{
    if (transport == Transport::Tls) {
        if (!QSslSocket::supportsSsl()) {
            m_error = u"Qt has no TLS backend here"_s;
            return;
        }
        const TestCertificates::TlsMaterial material = TestCertificates::makeTlsMaterial();
        if (!material.error.isEmpty()) {
            m_error = material.error;
            return;
        }
        if (!m_dir.isValid()) {
            m_error = u"cannot make a temporary folder: "_s + m_dir.errorString();
            return;
        }
        QFile caFile(m_dir.filePath(u"ca.pem"_s));
        if (!caFile.open(QIODevice::WriteOnly) ||
            caFile.write(material.caPem) != material.caPem.size() || !caFile.flush()) {
            m_error = u"cannot write "_s + caFile.fileName() + u": "_s + caFile.errorString();
            return;
        }
        caFile.close();
        m_caFile = caFile.fileName();

        const QSslKey key(material.keyPem, QSsl::Ec, QSsl::Pem);
        const QSslCertificate certificate(material.certificatePem, QSsl::Pem);
        if (key.isNull() || certificate.isNull()) {
            m_error = u"Qt cannot read the generated key or certificate"_s;
            return;
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        // Offer HTTP/1.1 alone: Qt asks for h2 first by default and would take it.
        configuration.setAllowedNextProtocols({QSslConfiguration::NextProtocolHttp1_1});
        m_shared->tls = configuration;
    }

    m_thread.reset(QThread::create([shared = m_shared.get()] { serve(*shared); }));
    m_thread->setObjectName(u"ScriptedVaultServer"_s);
    m_thread->start();
    std::unique_lock lock(m_shared->mutex);
    m_shared->changed.wait(lock, [this] { return m_shared->started; });
    m_port = m_shared->port;
    if (m_port == 0)
        m_error = u"cannot listen on 127.0.0.1: "_s + m_shared->listenError;
}

ScriptedVaultServer::~ScriptedVaultServer()
{
    if (m_thread) {
        // Ends the event loop in serve(), which then closes every connection, hanging or not.
        m_thread->quit();
        m_thread->wait();
    }
}

void ScriptedVaultServer::serve(Shared &shared)
{
    std::unique_ptr<QTcpServer> server;
    if (shared.tls) {
        auto tlsServer = std::make_unique<QSslServer>();
        tlsServer->setSslConfiguration(*shared.tls);
        server = std::move(tlsServer);
    } else {
        server = std::make_unique<QTcpServer>();
    }
    int connections = 0;
    // A QSslServer offers a connection only once its handshake is done.
    QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, server.get(),
                     [&shared, &connections, listener = server.get()] {
                         while (QTcpSocket *const socket = listener->nextPendingConnection()) {
                             // Answers go out as soon as they are written, as a real server's
                             // would; Nagle's algorithm would hold the last piece back until
                             // the client's delayed ACK, adding 40 ms to large exchanges.
                             socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                             new Connection(shared, socket, ++connections, listener);
                         }
                     });
    const bool listening = server->listen(QHostAddress::LocalHost, 0);
    {
        const std::lock_guard lock(shared.mutex);
        shared.started = true;
        shared.port = listening ? server->serverPort() : 0;
        shared.listenError = server->errorString();
    }
    shared.changed.notify_all();
    if (!listening)
        return;
    QEventLoop loop;
    loop.exec(); // until the destructor's quit()
}

QUrl ScriptedVaultServer::baseUrl() const
{
    QUrl url;
    url.setScheme(m_scheme);
    url.setHost(u"127.0.0.1"_s);
    url.setPort(m_port);
    return url;
}

QUrl ScriptedVaultServer::localhostUrl() const
{
    QUrl url = baseUrl();
    url.setHost(u"localhost"_s);
    return url;
}

void ScriptedVaultServer::enqueue(Answer answer)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->script.push_back(std::move(answer));
}

void ScriptedVaultServer::setStandingAnswer(std::optional<Answer> answer)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->standing = std::move(answer);
}

void ScriptedVaultServer::setVaultBehaviour(bool enabled)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->vaultBehaviour = enabled;
}

void ScriptedVaultServer::setEntityTags(bool enabled)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->entityTags = enabled;
}

QByteArray ScriptedVaultServer::entityTagOf(QByteArrayView body)
{
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256);
    return '"' + digest.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) +
           '"';
}

std::optional<QByteArray> ScriptedVaultServer::storedTag(const QString &path) const
{
    const std::optional<QByteArray> body = storedBody(path);
    if (!body)
        return std::nullopt;
    return entityTagOf(*body);
}

std::optional<QByteArray> ScriptedVaultServer::storedBody(const QString &path) const
{
    const std::lock_guard lock(m_shared->mutex);
    const auto found = m_shared->stored.constFind(path);
    if (found == m_shared->stored.cend())
        return std::nullopt;
    return *found;
}

void ScriptedVaultServer::setStoredBody(const QString &path, const QByteArray &body)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->stored.insert(path, body);
    m_shared->storedTags.insert(path, entityTagOf(body));
}

QList<ScriptedVaultServer::Request> ScriptedVaultServer::requests() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->log;
}

qint64 ScriptedVaultServer::bodyBytesSent() const
{
    return m_shared->bodyBytesSent;
}

bool ScriptedVaultServer::waitForRequestCount(int count, int timeoutMs) const
{
    std::unique_lock lock(m_shared->mutex);
    return m_shared->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return m_shared->log.size() >= count; });
}
