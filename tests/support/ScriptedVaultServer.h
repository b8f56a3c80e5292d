#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <optional>
#include <utility>

class QThread;

// An HTTP/1.1 server on 127.0.0.1 that plays the Vault for the tests and benchmarks, over
// real TLS (a throw-away CA made at construction) or plain HTTP. It runs in its own thread,
// so the caller needs no event loop of its own; every member may be called from any thread.
//
// Each request, once read whole, takes the oldest queued answer. With none queued (and no
// standing answer) the server acts as a Vault: a GET returns the last body POSTed to the same
// path (200) or 404, a POST stores its body and answers 204. Paths are compared without their
// query. Like pinlark-vault, it tags what it stores (entityTagOf()): a 200 GET and a 204 POST
// answer an ETag, and a POST is refused with 412 (and a JSON error body), storing nothing,
// when its If-Match names neither "*" nor the current tag (strong comparison; nothing stored
// matches nothing) or its If-None-Match is "*" and something is stored, names the current tag
// (weak comparison) or is malformed. setEntityTags(false) plays a Vault without tags instead.
class ScriptedVaultServer final
{
public:
    enum class Transport { Tls, PlainHttp };

    explicit ScriptedVaultServer(Transport transport = Transport::Tls);
    ~ScriptedVaultServer();
    ScriptedVaultServer(const ScriptedVaultServer &) = delete;
    ScriptedVaultServer &operator=(const ScriptedVaultServer &) = delete;

    // False when the certificates, the CA file or the listening socket could not be had;
    // errorString() says why.
    [[nodiscard]] bool isListening() const { return m_port != 0; }
    [[nodiscard]] QString errorString() const { return m_error; }
    // "https://127.0.0.1:<port>" (or http), without a path.
    [[nodiscard]] QUrl baseUrl() const;
    // The same with the host "localhost", which the certificate names too.
    [[nodiscard]] QUrl localhostUrl() const;
    // PEM file of the CA that signed the server's certificate; empty for plain HTTP.
    [[nodiscard]] QString caFile() const { return m_caFile; }

    struct Answer
    {
        // Hang: read the request, never answer and keep the connection open.
        // Drop: close the connection without a word.
        enum class Kind { Respond, Hang, Drop };
        Kind kind = Kind::Respond;
        int status = 200;
        QByteArray body; // sent as is
        // When positive, the body is this many 'x' bytes instead, streamed as the client
        // reads them.
        qint64 fillBytes = 0;
        // False: no Content-Length; the connection is closed to end the body.
        bool declareLength = true;
        int delayMs = 0;     // before answering (or dropping)
        int bodyDelayMs = 0; // between the head and the body; none if the client hangs up
        int dripMs = 0;      // when positive, the body goes out a byte at a time, one this often
        QList<std::pair<QByteArray, QByteArray>> headers; // added to the response

        // The status and body with "Content-Type: application/json".
        [[nodiscard]] static Answer json(int status, const QByteArray &body);
        [[nodiscard]] static Answer hang();
        [[nodiscard]] static Answer drop();
    };
    // Answers are handed out in the order the requests arrive, whichever connection they
    // come on.
    void enqueue(Answer answer);
    // Answers every request that finds the queue empty, in place of the Vault, until reset
    // with none. Qt's client resends a request whose connection closed before any answer
    // came, as many times as its timing allows (one to three with Qt 6.4), so a test that
    // wants the client to see a dropped connection makes the drop the standing answer.
    void setStandingAnswer(std::optional<Answer> answer);

    // Off: a request that finds neither a queued nor a standing answer gets 500
    // "unscripted" instead, so a test notices a request it did not expect.
    void setVaultBehaviour(bool enabled);
    // Off: the Vault behaviour sends no ETag and ignores If-Match and If-None-Match, as a
    // Vault that knows no entity tags. On by default.
    void setEntityTags(bool enabled);
    [[nodiscard]] std::optional<QByteArray> storedBody(const QString &path) const;
    // Stores the body as a POST would; it is tagged like one (whether tags are on or not).
    void setStoredBody(const QString &path, const QByteArray &body);
    // The tag of what is stored under the path; none when nothing is.
    [[nodiscard]] std::optional<QByteArray> storedTag(const QString &path) const;
    // The strong entity tag the Vault behaviour gives a body: the unpadded base64url SHA-256
    // of its bytes, in quotes (as pinlark-vault's tags look, though it hashes the text alone).
    [[nodiscard]] static QByteArray entityTagOf(QByteArrayView body);

    struct Request
    {
        QByteArray method;
        QByteArray path; // the request target as sent, query included
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        int connection = 0;    // which connection it came on, numbered from 1 in accept order
        bool rejected = false; // unreadable: answered 400 (413 when too big) and closed

        // The first header of that name, compared without case; empty when absent.
        [[nodiscard]] QByteArray header(QByteArrayView name) const;
    };
    // Every request read so far, rejected ones included, oldest first.
    [[nodiscard]] QList<Request> requests() const;
    // Waits until at least `count` requests have been read; false when the time ran out.
    // For a client in another thread: one in the waiting thread makes no progress meanwhile.
    [[nodiscard]] bool waitForRequestCount(int count, int timeoutMs) const;
    // Bytes of answer bodies handed to the connections so far, whether the client read them
    // or not; heads are not counted.
    [[nodiscard]] qint64 bodyBytesSent() const;

private:
    struct Shared;
    class Connection;
    static void serve(Shared &shared);

    QTemporaryDir m_dir;
    QString m_caFile;
    QString m_error;
    QString m_scheme;
    quint16 m_port = 0;
    std::unique_ptr<Shared> m_shared;
    std::unique_ptr<QThread> m_thread;
};
