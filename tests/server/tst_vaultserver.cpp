#include "server/PostgresVaultStorage.h"
#include "server/VaultProtocol.h"
#include "tests/server/VaultFixture.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <new>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace VaultServer;

Q_DECLARE_METATYPE(TestHttpClient::Answer)
Q_DECLARE_METATYPE(std::function<void()>)

namespace {

const QByteArray vaultId = QByteArray(64, 'a');
const QByteArray vaultPath = "/vault/pinlark/" + vaultId;
// What a client posts: base64, with its slashes escaped as the clients write them.
const QByteArray payload = "QUJD/REVG+0xMjM0NTY3ODkw/w==";
const QByteArray postBody = R"({"data":"QUJD\/REVG+0xMjM0NTY3ODkw\/w=="})";

QByteArray dataOf(const TestHttpClient::Answer &answer)
{
    return QJsonDocument::fromJson(answer.body).object().value("data"_L1).toString().toUtf8();
}

// The stored text, straight from the storage.
std::optional<QByteArray> stored(VaultStorage &storage, const QByteArray &id = vaultId)
{
    const LoadResult result = storage.load(id);
    return result && result.value() ? std::optional(result.value()->data) : std::nullopt;
}

void seed(VaultStorage &storage, const QByteArray &id, const QByteArray &data)
{
    const VaultWrite write{id, data, entityTag(data), std::nullopt, std::nullopt};
    const Result<std::vector<WriteOutcome>> stored = storage.store(std::span(&write, 1));
    if (!stored)
        qFatal("cannot seed a vault: %s", qPrintable(stored.error()));
}

// Wraps the SQLite storage: can fail every call, or hold each batch for a while.
class ControlledStorage final : public VaultStorage
{
public:
    explicit ControlledStorage(VaultStorage &inner)
        : m_inner(inner)
    {}
    std::atomic<bool> failing = false;
    std::atomic<int> holdMs = 0;
    std::atomic<int> batches = 0;
    std::atomic<int> loads = 0;        // of whole vaults, tags not counted
    std::function<void()> beforeStore; // may throw; set before the server starts
    std::function<void()> afterTag;    // run once, after the next tag is read

    QString description() const override { return u"controlled"_s; }
    LoadResult load(const QByteArray &id) override
    {
        ++loads;
        if (failing)
            return LoadResult::failure(u"disk on fire"_s);
        return m_inner.load(id);
    }
    TagResult loadTag(const QByteArray &id) override
    {
        if (failing)
            return TagResult::failure(u"disk on fire"_s);
        TagResult tag = m_inner.loadTag(id);
        if (const std::function<void()> then = std::exchange(afterTag, nullptr))
            then();
        return tag;
    }
    Result<std::vector<WriteOutcome>> store(std::span<const VaultWrite> writes) override
    {
        ++batches;
        if (beforeStore)
            beforeStore();
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs.load()));
        if (failing)
            return Result<std::vector<WriteOutcome>>::failure(u"disk on fire"_s);
        return m_inner.store(writes);
    }

private:
    VaultStorage &m_inner;
};

} // namespace

class TestVaultServer final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void storesAndAnswersTheLastText();
    void onlyVaultPathsExist_data();
    void onlyVaultPathsExist();
    void otherMethodsAreRefused();
    void headsAreReadStrictly_data();
    void headsAreReadStrictly();
    void malformedBodiesChangeNothing_data();
    void malformedBodiesChangeNothing();
    void payloadsOverTheLimitAreRefused();
    void ifMatchGuardsAgainstLostUpdates();
    void ifNoneMatchGuardsCreation();
    void ifNoneMatchLetsOnlyOneCreatorWin();
    void guessingVaultsIsSlowedDown();
    void forwardedClientsAreCountedApart();
    void slowAndIdleClientsAreCutOff();
    void slowBodiesAreCutOff();
    void aFullServerMakesRoomForNewcomers();
    void manyClientsPostingAtOnceAreAllStored();
    void clientsThatDoNotReadAreHeldToABudget();
    void storageFailuresAreAnsweredAndLogged();
    void builtAnswersAreServedWithoutReadingTheText();
    void aVersionStoredAfterItsTagWasReadIsServedUnderItsOwn();
    void serversOfOneDatabaseServeNewVersionsAtOnce_data();
    void serversOfOneDatabaseServeNewVersionsAtOnce();
    void theWriterSurvivesExceptions_data();
    void theWriterSurvivesExceptions();
    void stoppingAnswersPostsAlreadyReceived();
    void refusesUnsafeSettings();
};

void TestVaultServer::storesAndAnswersTheLastText()
{
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();

    const TestHttpClient::Answer missing = client.request("GET", vaultPath);
    QCOMPARE(missing.status, 404);
    QVERIFY(!missing.headers.contains("etag"));

    const TestHttpClient::Answer created = client.request("POST", vaultPath, postBody);
    QCOMPARE(created.status, 204);
    QCOMPARE(created.headers.value("etag"), entityTag(payload));
    QCOMPARE(stored(*vault.storage), std::optional(payload));

    // The same connection stays open for the next requests.
    const TestHttpClient::Answer found = client.request("GET", vaultPath);
    QCOMPARE(found.status, 200);
    QCOMPARE(found.headers.value("content-type"), "application/json");
    QCOMPARE(found.headers.value("etag"), created.headers.value("etag"));
    QCOMPARE(dataOf(found), payload);
    QCOMPARE(QJsonDocument::fromJson(found.body).object().keys(), QStringList{u"data"_s});

    // Any text is kept exactly, whatever JSON needs to carry it.
    const QString awkward = u"line\nbreak \"quoted\" \\ tab\t \u00e9 \U0001F600 \u0001 end"_s;
    const QByteArray body = QJsonDocument(QJsonObject{{"data"_L1, awkward}}).toJson();
    QCOMPARE(client.request("POST", vaultPath, body).status, 204);
    const TestHttpClient::Answer replaced = client.request("GET", vaultPath);
    QCOMPARE(QJsonDocument::fromJson(replaced.body).object().value("data"_L1).toString(), awkward);
    QVERIFY(replaced.headers.value("etag") != found.headers.value("etag"));
    QVERIFY(client.isConnected());
}

void TestVaultServer::onlyVaultPathsExist_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("root") << QByteArray("/");
    QTest::newRow("prefix only") << QByteArray("/vault/pinlark/");
    QTest::newRow("63 digits") << "/vault/pinlark/" + QByteArray(63, 'a');
    QTest::newRow("65 digits") << "/vault/pinlark/" + QByteArray(65, 'a');
    QTest::newRow("upper case") << "/vault/pinlark/" + QByteArray(64, 'A');
    QTest::newRow("not hex") << "/vault/pinlark/" + QByteArray(63, 'a') + 'g';
    QTest::newRow("trailing slash") << vaultPath + '/';
    QTest::newRow("more segments") << vaultPath + "/x";
    QTest::newRow("other product") << "/vault/other/" + vaultId;
    QTest::newRow("dot segments") << "/vault/pinlark/../pinlark/" + vaultId;
    // Escapes that would make aliases of a vault.
    QTest::newRow("escaped NUL") << vaultPath + "%00junk";
    QTest::newRow("escaped NUL at the end") << vaultPath + "%00";
    QTest::newRow("escaped slashes") << "/vault%2Fpinlark%2F" + vaultId;
    QTest::newRow("escaped slash, lower case") << "/vault/pinlark%2f" + vaultId;
    QTest::newRow("absolute, no path") << QByteArray("http://127.0.0.1");
}

void TestVaultServer::onlyVaultPathsExist()
{
    QFETCH(QByteArray, path);
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, QByteArray(64, 'a'), payload);
    TestHttpClient client = vault.client();
    for (const QByteArray method : {"GET", "POST"}) {
        const TestHttpClient::Answer answer =
            client.request(method, path, method == "POST" ? postBody : QByteArray());
        QCOMPARE(answer.status, 404);
        QVERIFY2(answer.body.contains("/vault/pinlark/"), answer.body.constData());
    }
    QCOMPARE(stored(*vault.storage), std::optional(payload));
    // A query or an escaped letter does not change which vault a path names.
    QCOMPARE(client.request("GET", vaultPath + "?v=1%00%2F").status, 200);
    QCOMPARE(client.request("GET", "/vault/pinlark/%61" + QByteArray(63, 'a')).status, 200);
}

void TestVaultServer::otherMethodsAreRefused()
{
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, payload);
    TestHttpClient client = vault.client();
    for (const QByteArray method : {"PUT", "DELETE", "PATCH", "HEAD", "OPTIONS"}) {
        const TestHttpClient::Answer answer = client.request(method, vaultPath, postBody);
        QCOMPARE(answer.status, 405);
        QCOMPARE(answer.headers.value("allow"), "GET, POST");
    }
    QCOMPARE(stored(*vault.storage), std::optional(payload));
}

void TestVaultServer::headsAreReadStrictly_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("closes");     // the server reads nothing more from the connection
    QTest::addColumn<QByteArray>("kept"); // the text stored afterwards
    const QByteArray post = "POST " + vaultPath + " HTTP/1.1\r\nHost: x\r\n";
    const QByteArray body = R"({"data":"new"})";
    const QByteArray length = "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    const QByteArray chunked =
        QByteArray::number(body.size(), 16) + "\r\n" + body + "\r\n0\r\n\r\n";
    QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << 400 << true << "kept"_ba;
    QTest::newRow("no Host") << "GET " + vaultPath + " HTTP/1.1\r\n\r\n"
                             << 400 << true << "kept"_ba;
    QTest::newRow("two Hosts") << "GET " + vaultPath + " HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n"
                               << 400 << true << "kept"_ba;
    QTest::newRow("head too large")
        << "GET " + vaultPath + " HTTP/1.1\r\nHost: x\r\nX-Big: " + QByteArray(64 * 1024, 'b') +
               "\r\n\r\n"
        << 431 << true << "kept"_ba;
    // The first length makes a whole request of the head and the body; the second would make
    // the body a request of its own.
    QTest::newRow("lengths disagree")
        << post + length + "Content-Length: 0\r\n\r\n" + body << 400 << true << "kept"_ba;
    QTest::newRow("same length twice")
        << post + length + length + "\r\n" + body << 204 << false << "new"_ba;
    QTest::newRow("gzip") << post + "Transfer-Encoding: gzip\r\n\r\n" + body << 501 << true
                          << "kept"_ba;
    QTest::newRow("gzip, then chunked")
        << post + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked << 501
        << true << "kept"_ba;
    QTest::newRow("chunked") << post + "Transfer-Encoding: chunked\r\n\r\n" + chunked << 204
                             << false << "new"_ba;
    QTest::newRow("chunked and a length")
        << post + length + "Transfer-Encoding: chunked\r\n\r\n" + chunked << 400 << true
        << "kept"_ba;
    // A target in absolute form, as sent to a proxy, names the same vault.
    QTest::newRow("absolute GET") << "GET https://vault.example" + vaultPath +
                                         " HTTP/1.1\r\nHost: vault.example\r\n\r\n"
                                  << 200 << false << "kept"_ba;
    QTest::newRow("absolute POST") << "POST HTTP://127.0.0.1:8443" + vaultPath +
                                          "?x HTTP/1.1\r\nHost: x\r\n" + length + "\r\n" + body
                                   << 204 << false << "new"_ba;
    QTest::newRow("absolute, other path")
        << "GET https://vault.example/vault/other/" + vaultId + " HTTP/1.1\r\nHost: x\r\n\r\n"
        << 404 << false << "kept"_ba;
}

void TestVaultServer::headsAreReadStrictly()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(bool, closes);
    QFETCH(QByteArray, kept);
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, "kept");
    TestHttpClient client = vault.client();
    QVERIFY(client.connect());
    client.send(request);
    const TestHttpClient::Answer answer = client.readAnswer();
    QCOMPARE(answer.status, status);
    if (status == 200)
        QCOMPARE(dataOf(answer), kept);
    if (closes)
        QVERIFY(client.waitForClose(10'000));
    QCOMPARE(stored(*vault.storage), std::optional(kept));
    QCOMPARE(vault.client().request("GET", vaultPath).status, 200);
}

void TestVaultServer::malformedBodiesChangeNothing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("status");
    const QByteArray json = "application/json";
    QTest::newRow("empty") << QByteArray() << json << 400;
    QTest::newRow("not JSON") << QByteArray("data=abc") << json << 400;
    QTest::newRow("truncated") << QByteArray(R"({"data":"abc)") << json << 400;
    QTest::newRow("array") << QByteArray(R"(["abc"])") << json << 400;
    QTest::newRow("string") << QByteArray(R"("abc")") << json << 400;
    QTest::newRow("no data") << QByteArray(R"({"payload":"abc"})") << json << 400;
    QTest::newRow("data null") << QByteArray(R"({"data":null})") << json << 400;
    QTest::newRow("data number") << QByteArray(R"({"data":42})") << json << 400;
    QTest::newRow("data object") << QByteArray(R"({"data":{"a":"b"}})") << json << 400;
    QTest::newRow("bad UTF-8") << QByteArray("{\"data\":\"\xff\xfe\"}") << json << 400;
    // Lone surrogates: no Unicode text, so none that could be stored as sent.
    QTest::newRow("surrogate in UTF-8")
        << QByteArray("{\"data\":\"a\xed\xa0\x80\"}") << json << 400;
    QTest::newRow("escaped high surrogate") << QByteArray(R"({"data":"a\ud800"})") << json << 400;
    QTest::newRow("escaped low surrogate") << QByteArray(R"({"data":"\udc00a"})") << json << 400;
    QTest::newRow("surrogates reversed") << QByteArray(R"({"data":"\udc00\ud800"})") << json << 400;
    QTest::newRow("form") << postBody << QByteArray("application/x-www-form-urlencoded") << 415;
    QTest::newRow("text") << postBody << QByteArray("text/plain") << 415;
}

void TestVaultServer::malformedBodiesChangeNothing()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(int, status);
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, "kept");
    TestHttpClient client = vault.client();
    const TestHttpClient::Answer answer =
        client.request("POST", vaultPath, body, {{"Content-Type", contentType}});
    QCOMPARE(answer.status, status);
    QVERIFY2(QJsonDocument::fromJson(answer.body).object().value("error"_L1).isString(),
             answer.body.constData());
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("kept")));
    // JSON with a charset parameter is JSON.
    QCOMPARE(client
                 .request("POST", vaultPath, postBody,
                          {{"Content-Type", "application/json; charset=utf-8"}})
                 .status,
             204);
}

void TestVaultServer::payloadsOverTheLimitAreRefused()
{
    HttpSettings settings;
    settings.maxPayloadBytes = 1000;
    VaultFixture vault(settings);
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, "kept");
    const auto bodyOf = [](qsizetype textBytes) -> QByteArray {
        return "{\"data\":\"" + QByteArray(textBytes, 'x') + "\"}";
    };

    TestHttpClient client = vault.client();
    QCOMPARE(client.request("POST", vaultPath, bodyOf(1000)).status, 204);
    QCOMPARE(stored(*vault.storage)->size(), 1000);
    // A text just over the limit, in a body the server reads whole.
    const TestHttpClient::Answer over = client.request("POST", vaultPath, bodyOf(1001));
    QCOMPARE(over.status, 413);
    QVERIFY2(over.body.contains("1000 bytes"), over.body.constData());
    QCOMPARE(stored(*vault.storage)->size(), 1000);

    // A body announced far too long is refused before it is sent.
    TestHttpClient announcer = vault.client();
    QVERIFY(announcer.connect());
    announcer.send("POST " + vaultPath +
                   " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                   "Content-Length: 1000000000\r\n\r\n{\"data\":\"");
    QCOMPARE(announcer.readAnswer().status, 413);

    // A chunked body that never ends is cut off once it outgrows any payload.
    TestHttpClient streamer = vault.client();
    QVERIFY(streamer.connect());
    streamer.send("POST " + vaultPath +
                  " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n");
    const QByteArray chunk = QByteArray::number(4096, 16) + "\r\n" + QByteArray(4096, 'x') + "\r\n";
    bool cutOff = false;
    for (int i = 0; i < 1000 && !cutOff; ++i) {
        streamer.send(chunk);
        cutOff = !streamer.isConnected();
    }
    QVERIFY(cutOff || streamer.waitForClose(5000));
    QCOMPARE(stored(*vault.storage)->size(), 1000);
}

void TestVaultServer::ifMatchGuardsAgainstLostUpdates()
{
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();
    const QByteArray other = "/vault/pinlark/" + QByteArray(64, 'b');

    // Nothing stored: no tag, not even "*", holds.
    QCOMPARE(client.request("POST", other, postBody, {{"If-Match", "*"}}).status, 412);
    QCOMPARE(stored(*vault.storage, QByteArray(64, 'b')), std::nullopt);

    QCOMPARE(client.request("POST", vaultPath, R"({"data":"first"})").status, 204);
    const QByteArray firstTag = client.request("GET", vaultPath).headers.value("etag");
    QCOMPARE(client
                 .request("POST", vaultPath, R"({"data":"second"})",
                          {{"If-Match", "\"stale\", " + firstTag}})
                 .status,
             204);
    // The first tag is stale now, and a weak tag never matches.
    for (const QByteArray &tag :
         QList<QByteArray>{firstTag, "W/" + entityTag("second"), QByteArray("garbage")}) {
        const TestHttpClient::Answer refused =
            client.request("POST", vaultPath, R"({"data":"third"})", {{"If-Match", tag}});
        QCOMPARE(refused.status, 412);
    }
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("second")));
    QCOMPARE(client.request("POST", vaultPath, R"({"data":"fourth"})", {{"If-Match", "*"}}).status,
             204);
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("fourth")));
}

void TestVaultServer::ifNoneMatchGuardsCreation()
{
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();

    // Nothing stored: "*" holds, and the answer tags what was stored.
    const TestHttpClient::Answer created =
        client.request("POST", vaultPath, R"({"data":"first"})", {{"If-None-Match", "*"}});
    QCOMPARE(created.status, 204);
    QCOMPARE(created.headers.value("etag"), entityTag("first"));
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("first")));

    // A vault is stored now: "*" fails, as do its tag, weak or strong, and malformed headers.
    const QByteArray firstTag = client.request("GET", vaultPath).headers.value("etag");
    QCOMPARE(firstTag, entityTag("first"));
    for (const QByteArray &header :
         QList<QByteArray>{"*", firstTag, "\"stale\", " + firstTag, "W/" + firstTag,
                           QByteArray("garbage"), QByteArray("\"stale\", garbage")}) {
        const TestHttpClient::Answer refused =
            client.request("POST", vaultPath, R"({"data":"second"})", {{"If-None-Match", header}});
        QCOMPARE(refused.status, 412);
        QVERIFY(!refused.headers.contains("etag"));
        QVERIFY2(QJsonDocument::fromJson(refused.body)
                     .object()
                     .value("error"_L1)
                     .toString()
                     .contains("If-None-Match"_L1),
                 refused.body.constData());
    }
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("first")));

    // Tags other than the current one do not stop the write.
    const TestHttpClient::Answer replaced =
        client.request("POST", vaultPath, R"({"data":"third"})",
                       {{"If-None-Match", "\"stale\", W/" + entityTag("other")}});
    QCOMPARE(replaced.status, 204);
    QCOMPARE(replaced.headers.value("etag"), entityTag("third"));
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("third")));

    // With If-Match too, both must hold; the answer names If-Match as it always did.
    const TestHttpClient::Answer both =
        client.request("POST", vaultPath, R"({"data":"fourth"})",
                       {{"If-Match", entityTag("third")}, {"If-None-Match", "*"}});
    QCOMPARE(both.status, 412);
    QVERIFY(QJsonDocument::fromJson(both.body)
                .object()
                .value("error"_L1)
                .toString()
                .contains("If-Match"_L1));
    QCOMPARE(client
                 .request("POST", vaultPath, R"({"data":"fourth"})",
                          {{"If-Match", entityTag("third")}, {"If-None-Match", entityTag("x")}})
                 .status,
             204);
    QCOMPARE(stored(*vault.storage), std::optional(QByteArray("fourth")));
}

void TestVaultServer::ifNoneMatchLetsOnlyOneCreatorWin()
{
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    ControlledStorage storage(*base.sqlite);
    storage.holdMs = 20; // so that the posts meet in batches, each judged after the one before
    HttpSettings settings;
    settings.missRule.burst = 0;
    VaultFixture vault(settings, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));

    // Clients that all found nothing create the vault at once: one of them wins.
    constexpr int clients = 12;
    std::vector<int> statuses(clients, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            TestHttpClient client = vault.client();
            statuses[std::size_t(i)] =
                client
                    .request("POST", vaultPath, "{\"data\":\"from " + QByteArray::number(i) + "\"}",
                             {{"If-None-Match", "*"}})
                    .status;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 204), 1);
    QCOMPARE(std::count(statuses.begin(), statuses.end(), 412), clients - 1);
    const int winner = int(std::find(statuses.begin(), statuses.end(), 204) - statuses.begin());
    QCOMPARE(stored(storage), std::optional("from " + QByteArray::number(winner)));
}

void TestVaultServer::guessingVaultsIsSlowedDown()
{
    HttpSettings settings;
    settings.missRule = MissLimiter::Rule{3, 3600s};
    VaultFixture vault(settings);
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, payload);
    TestHttpClient client = vault.client();

    // Hits cost nothing.
    for (int i = 0; i < 5; ++i)
        QCOMPARE(client.request("GET", vaultPath).status, 200);
    // Misses: a GET of nothing and a POST that creates a vault.
    QCOMPARE(client.request("GET", "/vault/pinlark/" + QByteArray(64, '1')).status, 404);
    QCOMPARE(client.request("GET", "/vault/pinlark/" + QByteArray(64, '2')).status, 404);
    QCOMPARE(client.request("POST", "/vault/pinlark/" + QByteArray(64, '3'), postBody).status, 204);

    // Out of misses: every vault request is refused, hits too, so a guess learns nothing.
    for (const QByteArray &path :
         QList<QByteArray>{"/vault/pinlark/" + QByteArray(64, '4'), vaultPath}) {
        const TestHttpClient::Answer refused = client.request("GET", path);
        QCOMPARE(refused.status, 429);
        QVERIFY(refused.headers.value("retry-after").toInt() > 0);
    }
    QCOMPARE(client.request("POST", vaultPath, R"({"data":"new"})").status, 429);
    QCOMPARE(stored(*vault.storage), std::optional(payload));
}

void TestVaultServer::forwardedClientsAreCountedApart()
{
    HttpSettings settings;
    settings.missRule = MissLimiter::Rule{1, 3600s};
    settings.trustForwardedFor = true;
    VaultFixture vault(settings, false);
    QVERIFY2(vault.server, qPrintable(vault.error));
    QVERIFY(vault.server->url().startsWith(u"http://127.0.0.1:"_s));
    TestHttpClient client = vault.client();
    const QByteArray missing = "/vault/pinlark/" + QByteArray(64, 'f');
    // The proxy appends the address it saw; what the client claimed before it is ignored.
    QCOMPARE(client.request("GET", missing, {}, {{"X-Forwarded-For", "10.0.0.1"}}).status, 404);
    QCOMPARE(client.request("GET", missing, {}, {{"X-Forwarded-For", "10.0.0.1"}}).status, 429);
    QCOMPARE(client.request("GET", missing, {}, {{"X-Forwarded-For", "10.0.0.1, 10.0.0.2"}}).status,
             404);
    QCOMPARE(client.request("GET", missing, {}, {{"X-Forwarded-For", "10.0.0.2, 10.0.0.1"}}).status,
             429);
    // Repeated lines are one list. A proxy that adds a line of its own after the client's
    // (HAProxy's "option forwardfor") makes the client's forged line the first: it counts for
    // nothing, whatever it claims.
    const auto lines = [&](const QByteArray &forged, const QByteArray &appended) {
        return client
            .request("GET", missing, {},
                     {{"X-Forwarded-For", forged}, {"X-Forwarded-For", appended}})
            .status;
    };
    QCOMPARE(lines("10.0.0.3", "10.0.0.1"), 429);
    QCOMPARE(lines("10.0.0.1", "10.0.0.3"), 404);
    QCOMPARE(lines("10.0.0.4", "10.0.0.3"), 429);
    QCOMPARE(lines("10.0.0.3, 10.0.0.1", "10.0.0.4"), 404);
}

void TestVaultServer::slowAndIdleClientsAreCutOff()
{
    HttpSettings settings;
    settings.headerTimeout = 1s;
    settings.idleTimeout = 2s;
    VaultFixture vault(settings);
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, payload);

    // A head sent a byte at a time, never idle for long, still runs out of time.
    TestHttpClient slow = vault.client();
    QVERIFY(slow.connect());
    const QByteArray head = "GET " + vaultPath + " HTTP/1.1\r\nHost: x\r\nX-Padding: ";
    bool cutOff = false;
    for (int i = 0; i < 200 && !cutOff; ++i) {
        slow.send(head.mid(i % head.size(), 1));
        cutOff = slow.waitForClose(100);
    }
    QVERIFY(cutOff);

    // A connection that connects and says nothing, as well.
    TestHttpClient silent = vault.client();
    QVERIFY(silent.connect());
    QVERIFY(silent.waitForClose(10'000));

    // A kept-alive connection gets the same time again after each answer.
    TestHttpClient regular = vault.client();
    QCOMPARE(regular.request("GET", vaultPath).status, 200);
    QCOMPARE(regular.request("GET", vaultPath).status, 200);
    QVERIFY(regular.waitForClose(10'000));
    QCOMPARE(vault.server->port() != 0, true);
    // The server still serves everybody else.
    QCOMPARE(vault.client().request("GET", vaultPath).status, 200);
}

namespace {

// Clients that send a POST head announcing a large body, then a byte of it now and then.
struct SlowPosters
{
    std::vector<TestHttpClient> clients;
    std::vector<bool> closed;

    bool start(const VaultFixture &vault, int count)
    {
        for (int i = 0; i < count; ++i) {
            clients.push_back(vault.client());
            if (!clients.back().connect())
                return false;
            clients.back().send("POST " + vaultPath +
                                " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                "Content-Length: 100000\r\n\r\n{\"data\":\"");
        }
        closed.assign(clients.size(), false);
        return true;
    }
    // Sends every open client a byte, waiting up to waitMs on each to see it closed.
    void drip(int waitMs)
    {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (closed[i])
                continue;
            clients[i].send("x");
            closed[i] = clients[i].waitForClose(waitMs);
        }
    }
    [[nodiscard]] qsizetype closedCount() const
    {
        return std::count(closed.begin(), closed.end(), true);
    }
};

} // namespace

void TestVaultServer::slowBodiesAreCutOff()
{
    HttpSettings settings;
    settings.headerTimeout = 600s;
    settings.idleTimeout = 600s; // a byte every 100 ms would keep restarting it anyway
    settings.bodyTimeout = 1s;
    settings.minBodyRate = 1000;
    VaultFixture vault(settings);
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, payload);

    SlowPosters slow;
    QVERIFY(slow.start(vault, 3));
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (slow.closedCount() < 3 && std::chrono::steady_clock::now() < giveUp)
        slow.drip(100);
    QCOMPARE(slow.closedCount(), 3);
    QCOMPARE(vault.client().request("GET", vaultPath).status, 200);
    QCOMPARE(stored(*vault.storage), std::optional(payload));

    // A body that keeps the rate is never cut off, however long it takes.
    TestHttpClient steady = vault.client();
    QVERIFY(steady.connect());
    const QByteArray body = "{\"data\":\"" + QByteArray(5000, 'y') + "\"}";
    steady.send("POST " + vaultPath + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                QByteArray::number(body.size()) + "\r\n\r\n");
    for (qsizetype sent = 0; sent < body.size(); sent += 500) {
        steady.send(body.mid(sent, 500));
        QThread::msleep(200);
    }
    QCOMPARE(steady.readAnswer().status, 204);
}

void TestVaultServer::aFullServerMakesRoomForNewcomers()
{
    HttpSettings settings;
    settings.maxConnections = 4;
    settings.threads = 1; // so that the one thread has all four
    settings.headerTimeout = 600s;
    settings.bodyTimeout = 600s;
    settings.idleTimeout = 600s;
    VaultFixture vault(settings);
    QVERIFY2(vault.server, qPrintable(vault.error));
    seed(*vault.storage, vaultId, payload);

    // Every connection the server takes is a slow body, far from any deadline.
    SlowPosters slow;
    QVERIFY(slow.start(vault, 4));
    slow.drip(10);
    QCOMPARE(slow.closedCount(), 0);
    // A newcomer is let in: the slowest are shed for it.
    TestHttpClient newcomer = vault.client();
    QVERIFY(newcomer.connect(30'000));
    QCOMPARE(newcomer.request("GET", vaultPath).status, 200);
    slow.drip(1000);
    QVERIFY(slow.closedCount() >= 1);
    QCOMPARE(stored(*vault.storage), std::optional(payload));
}

namespace {

// A plain HTTP client that sends GETs one after the other and never reads an answer. Its
// receive buffer is small, so the answers it does not read stay with the server.
class NonReader
{
public:
    NonReader(quint16 port, const QByteArray &path, int requests)
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const int small = 4096;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return;
        const QByteArray get = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        const QByteArray pipelined = get.repeated(requests);
        m_sent = ::send(m_fd, pipelined.constData(), size_t(pipelined.size()), MSG_NOSIGNAL) ==
                 pipelined.size();
    }
    ~NonReader() { ::close(m_fd); }
    NonReader(const NonReader &) = delete;
    NonReader &operator=(const NonReader &) = delete;
    [[nodiscard]] bool sent() const { return m_sent; }

private:
    int m_fd;
    bool m_sent = false;
};

// What GET answered when it went through QJsonDocument.
QByteArray answerThroughQJsonDocument(const QByteArray &data)
{
    return QJsonDocument(QJsonObject{{"data"_L1, QString::fromUtf8(data)}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

void TestVaultServer::clientsThatDoNotReadAreHeldToABudget()
{
    HttpSettings settings;
    settings.answerMemoryBytes = 8 << 20;
    settings.idleTimeout = 600s;
    VaultFixture vault(settings, false);
    QVERIFY2(vault.server, qPrintable(vault.error));
    // Three vaults of 3 MiB (each more than the kernel buffers a small receiver's connection
    // with) of which two fit in the budget, and a small one. Escapes and non-ASCII text too.
    const QByteArray large = u"QUJD/\"\\\u00e9\n\u4e2d"_s.toUtf8().repeated((3 << 20) / 16);
    const QByteArray ids[] = {QByteArray(64, '1'), QByteArray(64, '2'), QByteArray(64, '3')};
    for (const QByteArray &id : ids)
        seed(*vault.storage, id, large + id);
    const QByteArray smallId(64, '4');
    seed(*vault.storage, smallId, payload + "\u00e9\u0001");
    const auto path = [](const QByteArray &id) { return "/vault/pinlark/" + id; };

    TestHttpClient client = vault.client();
    QCOMPARE(client.request("GET", path(ids[2])).status, 200);
    // Every non-reader holds an answer of the first two vaults: as many as there are of them,
    // but only one copy of each counts.
    std::vector<std::unique_ptr<NonReader>> nonReaders;
    for (int i = 0; i < 6; ++i) {
        nonReaders.push_back(
            std::make_unique<NonReader>(vault.server->port(), path(ids[i % 2]), 8));
        QVERIFY(nonReaders.back()->sent());
    }
    // The third no longer fits beside them, once they have been answered far enough.
    TestHttpClient::Answer refused;
    for (int tries = 0; tries < 600 && refused.status != 503; ++tries) {
        QTest::qWait(100);
        refused = client.request("GET", path(ids[2]));
    }
    QCOMPARE(refused.status, 503);
    QVERIFY(refused.headers.value("retry-after").toInt() > 0);
    // What they hold is still served to others, and so is what fits beside it; byte for byte
    // what GET always answered.
    const TestHttpClient::Answer shared = client.request("GET", path(ids[0]));
    QCOMPARE(shared.status, 200);
    QCOMPARE(shared.body, answerThroughQJsonDocument(*stored(*vault.storage, ids[0])));
    QCOMPARE(shared.headers.value("etag"), entityTag(*stored(*vault.storage, ids[0])));
    const TestHttpClient::Answer small = client.request("GET", path(smallId));
    QCOMPARE(small.status, 200);
    QCOMPARE(small.body, answerThroughQJsonDocument(*stored(*vault.storage, smallId)));

    // Once they have gone, their room is free again.
    nonReaders.clear();
    TestHttpClient::Answer after;
    for (int tries = 0; tries < 600 && after.status != 200; ++tries) {
        after = client.request("GET", path(ids[2]));
        if (after.status != 200)
            QTest::qWait(100);
    }
    QCOMPARE(after.status, 200);
    QCOMPARE(after.body, answerThroughQJsonDocument(*stored(*vault.storage, ids[2])));
}

void TestVaultServer::manyClientsPostingAtOnceAreAllStored()
{
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    ControlledStorage storage(*base.sqlite);
    storage.holdMs = 20; // so that posts pile up behind each batch
    HttpSettings settings;
    settings.missRule.burst = 0; // every client creates vaults here
    VaultFixture vault(settings, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));

    constexpr int clients = 24;
    std::vector<int> statuses(clients, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            TestHttpClient client = vault.client();
            const QByteArray id = QByteArray::number(i).rightJustified(64, '0');
            // Every client posts twice to its own vault, and once to a shared one.
            int status = client
                             .request("POST", "/vault/pinlark/" + id,
                                      "{\"data\":\"first " + QByteArray::number(i) + "\"}")
                             .status;
            if (status == 204)
                status = client
                             .request("POST", "/vault/pinlark/" + id,
                                      "{\"data\":\"second " + QByteArray::number(i) + "\"}")
                             .status;
            if (status == 204)
                status = client.request("POST", vaultPath, postBody).status;
            statuses[std::size_t(i)] = status;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < clients; ++i) {
        QCOMPARE(statuses[std::size_t(i)], 204);
        QCOMPARE(stored(storage, QByteArray::number(i).rightJustified(64, '0')),
                 std::optional("second " + QByteArray::number(i)));
    }
    QCOMPARE(stored(storage), std::optional(payload));
    // One batch per post would have been 72 batches.
    QVERIFY2(storage.batches < 3 * clients, qPrintable(QString::number(storage.batches)));
}

void TestVaultServer::storageFailuresAreAnsweredAndLogged()
{
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    seed(*base.sqlite, vaultId, payload);
    ControlledStorage storage(*base.sqlite);
    VaultFixture vault({}, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();

    storage.failing = true;
    QCOMPARE(client.request("GET", vaultPath).status, 503);
    const TestHttpClient::Answer refused =
        client.request("POST", vaultPath, R"({"data":"secret text"})");
    QCOMPARE(refused.status, 503);
    QVERIFY(refused.headers.contains("retry-after"));
    storage.failing = false;
    QCOMPARE(stored(storage), std::optional(payload));
    QCOMPARE(client.request("GET", vaultPath).status, 200);

    const QStringList lines = vault.logLines();
    QCOMPARE(lines.size(), 2);
    for (const QString &line : lines) {
        QVERIFY2(line.contains(u"disk on fire"_s), qPrintable(line));
        QVERIFY(!line.contains(u"secret"_s) && !line.contains(QString::fromLatin1(vaultId)));
    }
}

void TestVaultServer::builtAnswersAreServedWithoutReadingTheText()
{
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    seed(*base.sqlite, vaultId, payload);
    ControlledStorage storage(*base.sqlite);
    VaultFixture vault({}, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();

    for (int i = 0; i < 3; ++i) {
        const TestHttpClient::Answer found = client.request("GET", vaultPath);
        QCOMPARE(found.status, 200);
        QCOMPARE(found.headers.value("etag"), entityTag(payload));
        QCOMPARE(dataOf(found), payload);
    }
    QCOMPARE(storage.loads.load(), 1);
    // A new version is read once again, and only once.
    QCOMPARE(client.request("POST", vaultPath, R"({"data":"newer"})").status, 204);
    for (int i = 0; i < 2; ++i)
        QCOMPARE(dataOf(client.request("GET", vaultPath)), QByteArray("newer"));
    QCOMPARE(storage.loads.load(), 2);
}

void TestVaultServer::aVersionStoredAfterItsTagWasReadIsServedUnderItsOwn()
{
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    seed(*base.sqlite, vaultId, "first");
    ControlledStorage storage(*base.sqlite);
    VaultFixture vault({}, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();
    QCOMPARE(dataOf(client.request("GET", vaultPath)), QByteArray("first"));

    // Another process stores twice: once before the GET reads the tag, once just after.
    seed(*base.sqlite, vaultId, "second");
    storage.afterTag = [&base] { seed(*base.sqlite, vaultId, "third"); };
    for (int i = 0; i < 2; ++i) {
        const TestHttpClient::Answer found = client.request("GET", vaultPath);
        QCOMPARE(found.status, 200);
        QCOMPARE(dataOf(found), QByteArray("third"));
        QCOMPARE(found.headers.value("etag"), entityTag("third"));
    }
}

void TestVaultServer::serversOfOneDatabaseServeNewVersionsAtOnce_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<bool>("twoStorages"); // as two processes have them, or one storage for both
    QTest::newRow("sqlite, one storage") << u"sqlite"_s << false;
    QTest::newRow("sqlite, two storages") << u"sqlite"_s << true;
    QTest::newRow("postgres, one storage") << u"postgres"_s << false;
    QTest::newRow("postgres, two storages") << u"postgres"_s << true;
}

void TestVaultServer::serversOfOneDatabaseServeNewVersionsAtOnce()
{
    QFETCH(QString, backend);
    QFETCH(bool, twoStorages);
    const QString url = qEnvironmentVariable("PINLARK_TEST_POSTGRES_URL");
    if (backend == u"postgres"_s && url.isEmpty())
        QSKIP("no PostgreSQL server: PINLARK_TEST_POSTGRES_URL is not set (run the test through "
              "tests/server/with-postgres.sh)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto open = [&]() -> std::unique_ptr<VaultStorage> {
        if (backend == u"sqlite"_s) {
            auto opened = SqliteVaultStorage::open(dir.path());
            return opened ? std::move(opened).value() : nullptr;
        }
        auto opened = PostgresVaultStorage::open(url);
        return opened ? std::move(opened).value() : nullptr;
    };
    const std::unique_ptr<VaultStorage> first = open();
    QVERIFY(first);
    const std::unique_ptr<VaultStorage> second = twoStorages ? open() : nullptr;
    QVERIFY(second || !twoStorages);
    VaultFixture one({}, true, first.get());
    VaultFixture other({}, true, second ? second.get() : first.get());
    QVERIFY2(one.server && other.server, qPrintable(one.error + other.error));
    TestHttpClient clients[] = {one.client(), other.client()};

    // A vault of each row's own, as the PostgreSQL rows share one database.
    const QByteArray path =
        "/vault/pinlark/" +
        QCryptographicHash::hash(QTest::currentDataTag(), QCryptographicHash::Sha256).toHex();
    const QByteArray texts[] = {"first", "second", "third", "fourth"};
    for (int i = 0; i < 4; ++i) {
        // Both servers keep the answer of the version before; the one that did not store the
        // new one must not serve it.
        TestHttpClient &writer = clients[i % 2];
        QCOMPARE(writer.request("POST", path, R"({"data":")" + texts[i] + R"("})").status, 204);
        for (TestHttpClient &reader : clients) {
            const TestHttpClient::Answer found = reader.request("GET", path);
            QCOMPARE(found.status, 200);
            QCOMPARE(dataOf(found), texts[i]);
            QCOMPARE(found.headers.value("etag"), entityTag(texts[i]));
        }
    }
}

void TestVaultServer::theWriterSurvivesExceptions_data()
{
    QTest::addColumn<std::function<void()>>("thrower");
    QTest::addColumn<QString>("logged");
    QTest::newRow("out of memory")
        << std::function<void()>([] { throw std::bad_alloc(); }) << u"out of memory"_s;
    QTest::newRow("storage") << std::function<void()>([] { throw std::runtime_error("disk gone"); })
                             << u"disk gone"_s;
    QTest::newRow("not an exception")
        << std::function<void()>([] { throw 42; }) << u"unknown exception"_s;
}

void TestVaultServer::theWriterSurvivesExceptions()
{
    QFETCH(std::function<void()>, thrower);
    QFETCH(QString, logged);
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    seed(*base.sqlite, vaultId, payload);
    ControlledStorage storage(*base.sqlite);
    std::atomic<bool> throwing = true;
    storage.beforeStore = [&] {
        if (throwing)
            thrower();
    };
    VaultFixture vault({}, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));
    TestHttpClient client = vault.client();

    const TestHttpClient::Answer refused = client.request("POST", vaultPath, R"({"data":"lost"})");
    QCOMPARE(refused.status, 503);
    QVERIFY(refused.headers.contains("retry-after"));
    QCOMPARE(stored(storage), std::optional(payload));
    // The writer is still there for the next batch.
    throwing = false;
    QCOMPARE(client.request("POST", vaultPath, R"({"data":"kept"})").status, 204);
    QCOMPARE(stored(storage), std::optional(QByteArray("kept")));
    const QStringList lines = vault.logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.constFirst().contains(logged), qPrintable(lines.constFirst()));
}

void TestVaultServer::stoppingAnswersPostsAlreadyReceived()
{
    VaultFixture base;
    QVERIFY2(base.sqlite, qPrintable(base.error));
    base.server.reset();
    ControlledStorage storage(*base.sqlite);
    storage.holdMs = 500;
    VaultFixture vault({}, true, &storage);
    QVERIFY2(vault.server, qPrintable(vault.error));

    int status = 0;
    std::thread poster(
        [&] { status = vault.client().request("POST", vaultPath, postBody).status; });
    while (storage.batches == 0)
        QThread::msleep(5);
    vault.server->stop();
    poster.join();
    QCOMPARE(status, 204);
    QCOMPARE(stored(storage), std::optional(payload));
    // Stopped: nobody is served any more.
    TestHttpClient late = vault.client();
    QVERIFY(!late.connect());
}

void TestVaultServer::refusesUnsafeSettings()
{
    const TestCertificates::TlsMaterial material = TestCertificates::makeTlsMaterial();
    QVERIFY2(material.error.isEmpty(), qPrintable(material.error));
    QTemporaryDir dir;
    const auto opened = SqliteVaultStorage::open(dir.path());
    QVERIFY2(opened, qPrintable(opened ? QString() : opened.error()));
    SqliteVaultStorage &storage = *opened.value();

    HttpSettings plainOnAllAddresses;
    plainOnAllAddresses.host = "0.0.0.0";
    plainOnAllAddresses.port = 0;
    const auto plain = VaultHttpServer::start(plainOnAllAddresses, storage, {});
    QVERIFY(!plain);
    QVERIFY2(plain.error().contains(u"loopback"_s), qPrintable(plain.error()));

    HttpSettings mismatched;
    mismatched.port = 0;
    mismatched.certificatePem = material.certificatePem;
    mismatched.keyPem = TestCertificates::makeTlsMaterial().keyPem;
    const auto unmatched = VaultHttpServer::start(mismatched, storage, {});
    QVERIFY(!unmatched);
    QVERIFY2(!unmatched.error().isEmpty(), "no reason given");

    HttpSettings taken;
    VaultFixture running;
    QVERIFY2(running.server, qPrintable(running.error));
    taken.port = running.server->port();
    taken.certificatePem = material.certificatePem;
    taken.keyPem = material.keyPem;
    const auto busy = VaultHttpServer::start(taken, storage, {});
    QVERIFY(!busy);
    QVERIFY2(busy.error().contains(u"cannot listen"_s), qPrintable(busy.error()));
}

QTEST_GUILESS_MAIN(TestVaultServer)
#include "tst_vaultserver.moc"
