#include "tests/support/ScriptedVaultServer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

using Answer = ScriptedVaultServer::Answer;
using Reply = std::unique_ptr<QNetworkReply>;

const QString vaultPath =
    u"/vault/pinlark/0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"_s;

// A request for `path` that trusts the server's CA (when it has one) and checks the rest of
// the certificate as any client does.
QNetworkRequest requestTo(const ScriptedVaultServer &server, const QString &path = vaultPath,
                          bool trustServer = true, bool byName = false)
{
    QUrl url = byName ? server.localhostUrl() : server.baseUrl();
    url.setPath(path);
    QNetworkRequest request(url);
    if (trustServer && !server.caFile().isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(server.caFile());
        request.setSslConfiguration(tls);
    }
    return request;
}

[[nodiscard]] bool finish(QNetworkReply *reply)
{
    if (reply->isFinished())
        return true;
    QSignalSpy finished(reply, &QNetworkReply::finished);
    return finished.wait(20000);
}

int statusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Sends raw bytes and returns all that comes back before the server closes.
QByteArray exchangeRaw(const ScriptedVaultServer &server, const QByteArray &bytes)
{
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, quint16(server.baseUrl().port()));
    if (!socket.waitForConnected(5000))
        return "not connected";
    socket.write(bytes);
    QByteArray received;
    while (socket.waitForReadyRead(10000))
        received += socket.readAll();
    received += socket.readAll();
    if (socket.state() != QAbstractSocket::UnconnectedState)
        return "still open after: " + received;
    return received;
}

} // namespace

Q_DECLARE_METATYPE(ScriptedVaultServer::Answer)
using Headers = QList<std::pair<QByteArray, QByteArray>>;

class TestScriptedVaultServer final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scriptedResponses_data();
    void scriptedResponses();
    void fillerIsStreamedWhole_data();
    void fillerIsStreamedWhole();
    void bodiesCanBeHeldBackOrDripped_data();
    void bodiesCanBeHeldBackOrDripped();
    void delayedAnswerLeavesOtherConnectionsFree();
    void hangAnswersNothing();
    void dropClosesWithoutAnAnswer();
    void destructorClosesHangingConnections();
    void connectionsAreKeptAliveUntilClose();
    void actsAsAVaultWhenNothingIsScripted();
    void vaultTagsAndHonoursPreconditions_data();
    void vaultTagsAndHonoursPreconditions();
    void tlsNeedsTheCa_data();
    void tlsNeedsTheCa();
    void plainHttpRecordsTheRequest();
    void unreadableRequestsAreRejected_data();
    void unreadableRequestsAreRejected();
};

void TestScriptedVaultServer::scriptedResponses_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("200 with data") << 200 << QByteArray(R"({"data":"cGF5bG9hZA=="})");
    QTest::newRow("404 empty") << 404 << QByteArray();
    QTest::newRow("503 text") << 503 << QByteArray("busy, try later");
}

void TestScriptedVaultServer::scriptedResponses()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setVaultBehaviour(false);
    Answer answer = Answer::json(status, body);
    answer.headers.emplaceBack("Retry-After", "7");
    server.enqueue(answer);
    server.enqueue(Answer::json(200, "second"));

    QNetworkAccessManager manager;
    const Reply first(manager.get(requestTo(server)));
    QVERIFY(finish(first.get()));
    QCOMPARE(statusOf(first.get()), status);
    QCOMPARE(first->readAll(), body);
    QCOMPARE(first->rawHeader("Content-Type"), "application/json");
    QCOMPARE(first->rawHeader("Retry-After"), "7");

    // The next request takes the next answer.
    const Reply second(manager.get(requestTo(server)));
    QVERIFY(finish(second.get()));
    QCOMPARE(second->readAll(), "second");
    QCOMPARE(server.requests().size(), 2);
    QVERIFY(server.waitForRequestCount(2, 0));
    QVERIFY(!server.waitForRequestCount(3, 10));
}

void TestScriptedVaultServer::fillerIsStreamedWhole_data()
{
    QTest::addColumn<bool>("declareLength");
    QTest::newRow("with Content-Length") << true;
    QTest::newRow("ended by closing") << false;
}

void TestScriptedVaultServer::fillerIsStreamedWhole()
{
    QFETCH(bool, declareLength);
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    // More than the server lets wait unsent at once, and no whole number of its chunks.
    const qint64 size = 3 * 1024 * 1024 + 17;
    Answer answer;
    answer.fillBytes = size;
    answer.declareLength = declareLength;
    server.enqueue(answer);

    QNetworkAccessManager manager;
    const Reply reply(manager.get(requestTo(server)));
    QVERIFY(finish(reply.get()));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->hasRawHeader("Content-Length"), declareLength);
    const QByteArray body = reply->readAll();
    QCOMPARE(body.size(), size);
    QCOMPARE(body.count('x'), size);
}

void TestScriptedVaultServer::bodiesCanBeHeldBackOrDripped_data()
{
    QTest::addColumn<Answer>("answer");
    Answer held = Answer::json(200, "held back");
    held.bodyDelayMs = 400;
    Answer heldFiller;
    heldFiller.fillBytes = 300 * 1024;
    heldFiller.bodyDelayMs = 400;
    Answer dripped = Answer::json(200, "dripped");
    dripped.dripMs = 60;
    Answer drippedFiller;
    drippedFiller.fillBytes = 8;
    drippedFiller.dripMs = 60;
    drippedFiller.declareLength = false;
    QTest::newRow("held back") << held;
    QTest::newRow("filler held back") << heldFiller;
    QTest::newRow("dripped") << dripped;
    QTest::newRow("filler dripped, ended by closing") << drippedFiller;
}

void TestScriptedVaultServer::bodiesCanBeHeldBackOrDripped()
{
    QFETCH(Answer, answer);
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(answer);

    QNetworkAccessManager manager;
    const Reply reply(manager.get(requestTo(server)));
    qint64 sentWithTheHead = -1;
    connect(reply.get(), &QNetworkReply::metaDataChanged, this,
            [&] { sentWithTheHead = server.bodyBytesSent(); });
    QVERIFY(finish(reply.get()));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    const QByteArray expected =
        answer.fillBytes > 0 ? QByteArray(answer.fillBytes, 'x') : answer.body;
    QCOMPARE(reply->readAll(), expected);
    QCOMPARE(server.bodyBytesSent(), expected.size());
    // The head came well before the end of the body.
    QVERIFY2(sentWithTheHead >= 0 && sentWithTheHead < expected.size() / 2,
             qPrintable(QString::number(sentWithTheHead)));
}

void TestScriptedVaultServer::delayedAnswerLeavesOtherConnectionsFree()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Answer slow = Answer::json(200, "slow");
    slow.delayMs = 1500;
    server.enqueue(slow);
    server.enqueue(Answer::json(200, "quick"));

    QNetworkAccessManager slowClient;
    const Reply slowReply(slowClient.get(requestTo(server)));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 1, 10000);
    // Another manager, so another connection, asks while the first answer is held back.
    QNetworkAccessManager quickClient;
    const Reply quickReply(quickClient.get(requestTo(server)));
    QVERIFY(finish(quickReply.get()));
    QCOMPARE(quickReply->readAll(), "quick");
    QVERIFY(!slowReply->isFinished());

    QVERIFY(finish(slowReply.get()));
    QCOMPARE(slowReply->readAll(), "slow");
}

void TestScriptedVaultServer::hangAnswersNothing()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setVaultBehaviour(false);
    server.enqueue(Answer::hang());

    QNetworkAccessManager manager;
    QNetworkRequest request = requestTo(server);
    request.setTransferTimeout(300);
    const Reply reply(manager.get(request));
    QVERIFY(finish(reply.get()));
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    QVERIFY(!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
    QCOMPARE(server.requests().size(), 1);
}

void TestScriptedVaultServer::dropClosesWithoutAnAnswer()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setVaultBehaviour(false);
    server.enqueue(Answer::drop());

    // Qt resends a request whose connection closed unanswered; the resend finds the queue
    // empty.
    QNetworkAccessManager manager;
    const Reply resent(manager.get(requestTo(server)));
    QVERIFY(finish(resent.get()));
    QCOMPARE(statusOf(resent.get()), 500);
    QCOMPARE(resent->readAll(), "unscripted");
    QCOMPARE(server.requests().size(), 2);

    server.setStandingAnswer(Answer::drop());
    const Reply dropped(manager.get(requestTo(server)));
    QVERIFY(finish(dropped.get()));
    QCOMPARE(dropped->error(), QNetworkReply::RemoteHostClosedError);
    QVERIFY(!dropped->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());

    server.setStandingAnswer(std::nullopt);
    server.setVaultBehaviour(true);
    const Reply answered(manager.get(requestTo(server)));
    QVERIFY(finish(answered.get()));
    QCOMPARE(statusOf(answered.get()), 404);
}

void TestScriptedVaultServer::destructorClosesHangingConnections()
{
    auto server = std::make_unique<ScriptedVaultServer>();
    QVERIFY2(server->isListening(), qPrintable(server->errorString()));
    server->enqueue(Answer::hang());
    Answer late = Answer::json(200, "late");
    late.delayMs = 60000;
    server->enqueue(late);

    QNetworkAccessManager manager;
    const Reply hung(manager.get(requestTo(*server)));
    QNetworkAccessManager other;
    const Reply delayed(other.get(requestTo(*server)));
    QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 2, 10000);
    server.reset();
    // Closed unanswered; Qt's resend then finds nobody listening.
    for (QNetworkReply *reply : {hung.get(), delayed.get()}) {
        QVERIFY(finish(reply));
        QVERIFY(reply->error() == QNetworkReply::RemoteHostClosedError ||
                reply->error() == QNetworkReply::ConnectionRefusedError);
    }
}

void TestScriptedVaultServer::connectionsAreKeptAliveUntilClose()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));

    QNetworkAccessManager manager;
    for (int i = 0; i < 2; ++i) {
        const Reply reply(manager.get(requestTo(server)));
        QVERIFY(finish(reply.get()));
        QCOMPARE(statusOf(reply.get()), 404);
    }
    QNetworkRequest closing = requestTo(server);
    closing.setRawHeader("Connection", "close");
    const Reply closed(manager.get(closing));
    QVERIFY(finish(closed.get()));
    QCOMPARE(closed->rawHeader("Connection"), "close");
    const Reply afterClose(manager.get(requestTo(server)));
    QVERIFY(finish(afterClose.get()));

    const QList<ScriptedVaultServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 4);
    QCOMPARE(requests[1].connection, requests[0].connection);
    QCOMPARE(requests[2].connection, requests[0].connection);
    QVERIFY(requests[3].connection != requests[0].connection);
}

void TestScriptedVaultServer::actsAsAVaultWhenNothingIsScripted()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    QNetworkAccessManager manager;
    const auto get = [&](const QString &path) {
        return Reply(manager.get(requestTo(server, path)));
    };

    const Reply missing = get(vaultPath);
    QVERIFY(finish(missing.get()));
    QCOMPARE(statusOf(missing.get()), 404);

    const QByteArray stored = R"({"data":"c3RvcmVk"})";
    QNetworkRequest post = requestTo(server);
    post.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    const Reply posted(manager.post(post, stored));
    QVERIFY(finish(posted.get()));
    QCOMPARE(statusOf(posted.get()), 204);
    QCOMPARE(server.storedBody(vaultPath), stored);

    const Reply found = get(vaultPath);
    QVERIFY(finish(found.get()));
    QCOMPARE(statusOf(found.get()), 200);
    QCOMPARE(found->readAll(), stored);

    const QString otherPath = u"/vault/pinlark/"_s + QString(64, u'f');
    server.setStoredBody(otherPath, "{}");
    const Reply seeded = get(otherPath);
    QVERIFY(finish(seeded.get()));
    QCOMPARE(seeded->readAll(), "{}");

    server.setVaultBehaviour(false);
    const Reply unscripted = get(vaultPath);
    QVERIFY(finish(unscripted.get()));
    QCOMPARE(statusOf(unscripted.get()), 500);
    QCOMPARE(unscripted->readAll(), "unscripted");
}

void TestScriptedVaultServer::vaultTagsAndHonoursPreconditions_data()
{
    QTest::addColumn<bool>("entityTags");
    QTest::addColumn<bool>("stored"); // an old body is stored before the POST
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<int>("status");

    const QByteArray old = ScriptedVaultServer::entityTagOf(R"({"data":"old"})");
    const QByteArray other = ScriptedVaultServer::entityTagOf("other");
    struct Row
    {
        const char *name;
        bool stored;
        Headers headers;
        int status;
    };
    const QList<Row> rows{
        {"no precondition, nothing stored", false, {}, 204},
        {"no precondition", true, {}, 204},
        {"If-Match current tag", true, {{"If-Match", old}}, 204},
        {"If-Match current tag in a list", true, {{"If-Match", other + ", " + old}}, 204},
        {"If-Match *", true, {{"If-Match", "*"}}, 204},
        {"If-Match other tag", true, {{"If-Match", other}}, 412},
        {"If-Match weak current tag", true, {{"If-Match", "W/" + old}}, 412},
        {"If-Match, nothing stored", false, {{"If-Match", old}}, 412},
        {"If-Match *, nothing stored", false, {{"If-Match", "*"}}, 412},
        {"If-None-Match *, nothing stored", false, {{"If-None-Match", "*"}}, 204},
        {"If-None-Match *", true, {{"If-None-Match", "*"}}, 412},
        {"If-None-Match current tag", true, {{"If-None-Match", old}}, 412},
        {"If-None-Match weak current tag", true, {{"If-None-Match", "W/" + old}}, 412},
        {"If-None-Match other tag", true, {{"If-None-Match", other}}, 204},
        {"If-None-Match malformed", false, {{"If-None-Match", "garbage"}}, 412},
        {"both holding", true, {{"If-Match", old}, {"If-None-Match", other}}, 204},
        {"If-Match holding, If-None-Match not",
         true,
         {{"If-Match", old}, {"If-None-Match", "*"}},
         412},
    };
    for (const Row &row : rows) {
        QTest::addRow("%s", row.name) << true << row.stored << row.headers << row.status;
        // A Vault without tags sends none and ignores the headers: every POST is stored.
        QTest::addRow("without tags: %s", row.name) << false << row.stored << row.headers << 204;
    }
}

void TestScriptedVaultServer::vaultTagsAndHonoursPreconditions()
{
    QFETCH(bool, entityTags);
    QFETCH(bool, stored);
    QFETCH(Headers, headers);
    QFETCH(int, status);
    ScriptedVaultServer server(ScriptedVaultServer::Transport::PlainHttp);
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setEntityTags(entityTags);
    const QByteArray oldBody = R"({"data":"old"})";
    const QByteArray newBody = R"({"data":"new"})";
    if (stored) {
        server.setStoredBody(vaultPath, oldBody);
        QCOMPARE(server.storedTag(vaultPath), ScriptedVaultServer::entityTagOf(oldBody));
    } else {
        QCOMPARE(server.storedTag(vaultPath), std::nullopt);
    }
    QNetworkAccessManager manager;

    const Reply got(manager.get(requestTo(server)));
    QVERIFY(finish(got.get()));
    QCOMPARE(statusOf(got.get()), stored ? 200 : 404);
    QCOMPARE(got->rawHeader("ETag"),
             stored && entityTags ? ScriptedVaultServer::entityTagOf(oldBody) : QByteArray());

    QNetworkRequest post = requestTo(server);
    post.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    for (const auto &[name, value] : headers)
        post.setRawHeader(name, value);
    const Reply posted(manager.post(post, newBody));
    QVERIFY(finish(posted.get()));
    QCOMPARE(statusOf(posted.get()), status);
    if (status == 204) {
        QCOMPARE(server.storedBody(vaultPath), newBody);
        QCOMPARE(posted->rawHeader("ETag"),
                 entityTags ? ScriptedVaultServer::entityTagOf(newBody) : QByteArray());
    } else {
        QCOMPARE(server.storedBody(vaultPath),
                 stored ? std::optional(oldBody) : std::optional<QByteArray>());
        QVERIFY(!posted->hasRawHeader("ETag"));
        QCOMPARE(posted->header(QNetworkRequest::ContentTypeHeader).toString(),
                 u"application/json"_s);
        QVERIFY2(posted->readAll().startsWith("{\"error\":\""), "a JSON error body");
    }

    // The log keeps what the client sent.
    const QList<ScriptedVaultServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[1].method, "POST");
    for (const auto &[name, value] : headers)
        QCOMPARE(requests[1].header(name), value);
}

void TestScriptedVaultServer::tlsNeedsTheCa_data()
{
    QTest::addColumn<bool>("trustServer");
    QTest::addColumn<bool>("byName");
    QTest::addColumn<QNetworkReply::NetworkError>("error");

    QTest::newRow("trusted, by address") << true << false << QNetworkReply::NoError;
    QTest::newRow("trusted, by name") << true << true << QNetworkReply::NoError;
    QTest::newRow("untrusted") << false << false << QNetworkReply::SslHandshakeFailedError;
}

void TestScriptedVaultServer::tlsNeedsTheCa()
{
    QFETCH(bool, trustServer);
    QFETCH(bool, byName);
    QFETCH(QNetworkReply::NetworkError, error);
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    QCOMPARE(server.baseUrl().scheme(), u"https"_s);

    server.enqueue(Answer::json(200, "{}"));

    QNetworkAccessManager manager;
    const Reply reply(manager.get(requestTo(server, vaultPath, trustServer, byName)));
    QVERIFY(finish(reply.get()));
    QCOMPARE(reply->error(), error);
    if (error != QNetworkReply::NoError) {
        QVERIFY(server.requests().isEmpty());
        return;
    }
    QCOMPARE(reply->readAll(), "{}");
    QVERIFY(reply->attribute(QNetworkRequest::ConnectionEncryptedAttribute).toBool());
    // Qt asks for h2 by default; the server keeps it on HTTP/1.1.
    QVERIFY(reply->request().attribute(QNetworkRequest::Http2AllowedAttribute, true).toBool());
    QVERIFY(!reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool());
}

void TestScriptedVaultServer::plainHttpRecordsTheRequest()
{
    ScriptedVaultServer server(ScriptedVaultServer::Transport::PlainHttp);
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    QCOMPARE(server.baseUrl().scheme(), u"http"_s);
    QVERIFY(server.caFile().isEmpty());

    QNetworkAccessManager manager;
    QNetworkRequest post = requestTo(server);
    QUrl url = post.url();
    url.setQuery(u"v=1"_s);
    post.setUrl(url);
    post.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    const QByteArray body = R"({"data":null})";
    const Reply reply(manager.post(post, body));
    QVERIFY(finish(reply.get()));
    QCOMPARE(statusOf(reply.get()), 204);
    QVERIFY(!reply->attribute(QNetworkRequest::ConnectionEncryptedAttribute).toBool());

    const QList<ScriptedVaultServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].method, "POST");
    QCOMPARE(requests[0].path, (vaultPath + u"?v=1"_s).toUtf8());
    QCOMPARE(requests[0].header("content-type"), "application/json");
    QCOMPARE(requests[0].header("CONTENT-LENGTH"), QByteArray::number(body.size()));
    QCOMPARE(requests[0].body, body);
    QVERIFY(!requests[0].rejected);
    QCOMPARE(server.storedBody(vaultPath), body);
}

void TestScriptedVaultServer::unreadableRequestsAreRejected_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("statusLine");

    const QByteArray bad = "HTTP/1.1 400 ";
    QTest::newRow("no request line") << QByteArray("NONSENSE\r\n\r\n") << bad;
    QTest::newRow("relative target") << QByteArray("GET vault HTTP/1.1\r\n\r\n") << bad;
    QTest::newRow("unknown version") << QByteArray("GET / HTTP/2.0\r\n\r\n") << bad;
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nHost\r\n\r\n") << bad;
    QTest::newRow("folded header") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n") << bad;
    QTest::newRow("length not a number")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n") << bad;
    QTest::newRow("two lengths")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab") << bad;
    QTest::newRow("chunked body")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n") << bad;
    QTest::newRow("endless head") << QByteArray(70 * 1024, 'a') << bad;
    QTest::newRow("huge body") << QByteArray(
                                      "POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n")
                               << QByteArray("HTTP/1.1 413 ");
}

void TestScriptedVaultServer::unreadableRequestsAreRejected()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, statusLine);
    ScriptedVaultServer server(ScriptedVaultServer::Transport::PlainHttp);
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::json(200, "kept"));

    const QByteArray answer = exchangeRaw(server, bytes);
    QVERIFY2(answer.startsWith(statusLine), answer.constData());
    const QList<ScriptedVaultServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QVERIFY(requests[0].rejected);

    // A rejected request takes no scripted answer.
    QNetworkAccessManager manager;
    const Reply reply(manager.get(requestTo(server)));
    QVERIFY(finish(reply.get()));
    QCOMPARE(reply->readAll(), "kept");
}

QTEST_GUILESS_MAIN(TestScriptedVaultServer)
#include "tst_scriptedvaultserver.moc"
