#include "tests/support/ScriptedVaultServer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "vault/PinlarkVaultSync.h"
#include "vault/VaultExchange.h"
#include "vault/VaultPayload.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;
using namespace PinlarkVaultSync;
using Answer = ScriptedVaultServer::Answer;
using StoreTest::card;

Q_DECLARE_METATYPE(ScriptedVaultServer::Answer)
Q_DECLARE_METATYPE(QList<ScriptedVaultServer::Answer>)

namespace {

const QString code = u"PLK-7KQ2MX"_s;
constexpr int testTimeoutMs = 400;

VaultEndpoint endpointOf(const ScriptedVaultServer &server)
{
    VaultEndpoint endpoint;
    endpoint.baseUrl = server.baseUrl();
    endpoint.caFile = server.caFile();
    // Long enough for a loaded sanitizer run, short enough to test the time-out.
    endpoint.timeoutMs = 10'000;
    return endpoint;
}

// The error's text, for a failure message; QVERIFY2 reads it even when the check passes.
template<typename T> QString failureOf(const Result<T, SyncError> &result)
{
    return result ? QString() : result.error().localizedDescription();
}

template<typename T> std::optional<SyncError> errorOf(const Result<T, SyncError> &result)
{
    return result ? std::nullopt : std::optional(result.error());
}

QString vaultPath(const QString &passportCode)
{
    return u"/vault/pinlark/"_s + vaultHash(passportCode);
}

QList<NoteCard> localCards()
{
    return {card(u"a"_s, u"local a"_s, 200.0), card(u"b"_s, u"local b/with slash"_s, 100.0)};
}

// The payload a POST carried.
QString postedPayload(const ScriptedVaultServer::Request &request)
{
    return QJsonDocument::fromJson(request.body).object().value(u"data"_s).toString();
}

QByteArray getAnswerHolding(const QList<NoteCard> &cards)
{
    auto payload = encrypt(cards, code);
    if (!payload)
        qFatal("encrypt failed");
    return detail::encodePostBody(payload.value());
}

// A GET answer body holding a whole stack, deletions included, as a Pinlark pushes it.
QByteArray bodyHolding(const VaultStack &stack)
{
    const auto key = detail::makeSealingKey(code, detail::systemRandom);
    if (!key)
        qFatal("no sealing key");
    const auto payload = detail::seal(stack, key.value(), detail::systemRandom, Timestamp::now());
    if (!payload)
        qFatal("seal failed");
    return detail::encodePostBody(payload.value());
}

// The stack the vault holds; none when it holds nothing readable.
std::optional<VaultStack> storedStack(const ScriptedVaultServer &server)
{
    const std::optional<QByteArray> body = server.storedBody(vaultPath(code));
    if (!body)
        return std::nullopt;
    const auto data = detail::decodeGetAnswer(*body);
    if (!data || !data.value())
        return std::nullopt;
    const auto stack = detail::decryptStack(
        *data.value(), [](QByteArrayView salt) { return detail::deriveKey(code, salt); });
    if (!stack)
        return std::nullopt;
    return stack.value();
}

QList<ScriptedVaultServer::Request> postsTo(const ScriptedVaultServer &server)
{
    QList<ScriptedVaultServer::Request> posts;
    for (const auto &request : server.requests()) {
        if (request.method == "POST")
            posts.append(request);
    }
    return posts;
}

// Now, in whole milliseconds, as the envelope keeps it; a deletion this recent is in force.
Timestamp recently()
{
    return Timestamp::fromMSecsSinceReference(Timestamp::now().toMSecsSinceReference());
}

} // namespace

class TestVaultExchange final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void vaultUrlKeepsTheBasePathAndNamesTheVaultByHash_data();
    void vaultUrlKeepsTheBasePathAndNamesTheVaultByHash();
    void configuredEndpointPrefersTheEnvironment();

    void pullJudgesTheAnswer_data();
    void pullJudgesTheAnswer();
    void pushJudgesTheAnswer_data();
    void pushJudgesTheAnswer();

    void syncPushesTheLocalStackToAnEmptyVault_data();
    void syncPushesTheLocalStackToAnEmptyVault();
    void syncMergesWithTheVaultAndStoresTheResult();
    void syncStopsAtAFailedPull_data();
    void syncStopsAtAFailedPull();

    void syncStackPushesUnderThePreconditionOfItsPull_data();
    void syncStackPushesUnderThePreconditionOfItsPull();
    void aPushRefusedForAChangedVaultIsMergedAgain();
    void aVaultThatKeepsChangingEndsTheSync();
    void deletionsTravelThroughTheVault_data();
    void deletionsTravelThroughTheVault();

    void aSilentVaultTimesOut();
    void anOversizedAnswerEndsTheExchange_data();
    void anOversizedAnswerEndsTheExchange();
    void cancellingStopsARunningExchange();
    void aDrippingVaultMeetsTheDeadline_data();
    void aDrippingVaultMeetsTheDeadline();

    void addressesOtherThanHttpsAreRefused_data();
    void addressesOtherThanHttpsAreRefused();
    void plainHttpOnLoopbackIsAllowed();
    void redirectsObeyTheAddressRule_data();
    void redirectsObeyTheAddressRule();
    void tlsIsAlwaysVerified();
    void anUnreadableCertificateFileIsAnError();
};

void TestVaultExchange::vaultUrlKeepsTheBasePathAndNamesTheVaultByHash_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("expectedPrefix");
    QTest::newRow("origin") << u"https://vault.pinlark.app"_s << u"https://vault.pinlark.app"_s;
    QTest::newRow("trailing slash")
        << u"https://vault.example.org/"_s << u"https://vault.example.org"_s;
    QTest::newRow("port and path")
        << u"https://example.org:8443/sync/"_s << u"https://example.org:8443/sync"_s;
}

void TestVaultExchange::vaultUrlKeepsTheBasePathAndNamesTheVaultByHash()
{
    QFETCH(QString, base);
    QFETCH(QString, expectedPrefix);
    const QUrl url = vaultURL(QUrl(base), u" plk-7kq2mx\n"_s);
    QCOMPARE(url.toString(),
             expectedPrefix + u"/vault/pinlark/"_s +
                 u"93e278501b795980e800afde4adee24440988edbcc11e9d5134c4ce18831fd6f"_s);
    QVERIFY(!url.toString().contains(u"7KQ2MX"_s, Qt::CaseInsensitive));
}

void TestVaultExchange::configuredEndpointPrefersTheEnvironment()
{
    QTemporaryDir dir;
    QSettings settings(dir.filePath(u"Pinlark.conf"_s), QSettings::IniFormat);
    QProcessEnvironment environment;

    VaultEndpoint endpoint = configuredEndpoint(environment, settings);
    QCOMPARE(endpoint.baseUrl, builtInVaultURL());
    QCOMPARE(endpoint.baseUrl, QUrl(u"https://vault.pinlark.app"_s));
    QVERIFY(endpoint.caFile.isEmpty());
    QCOMPARE(endpoint.timeoutMs, 60'000);
    QCOMPARE(endpoint.deadlineMs, 5 * 60'000);

    settings.setValue(u"pinlark_vault_url"_s, u"https://vault.home.example"_s);
    settings.setValue(u"pinlark_vault_ca_file"_s, u"/etc/home-ca.pem"_s);
    endpoint = configuredEndpoint(environment, settings);
    QCOMPARE(endpoint.baseUrl, QUrl(u"https://vault.home.example"_s));
    QCOMPARE(endpoint.caFile, u"/etc/home-ca.pem"_s);

    environment.insert(u"PINLARK_VAULT_URL"_s, u"https://127.0.0.1:8443"_s);
    environment.insert(u"PINLARK_VAULT_CA"_s, u"/tmp/test-ca.pem"_s);
    endpoint = configuredEndpoint(environment, settings);
    QCOMPARE(endpoint.baseUrl, QUrl(u"https://127.0.0.1:8443"_s));
    QCOMPARE(endpoint.caFile, u"/tmp/test-ca.pem"_s);

    // A blank variable does not hide the setting.
    environment.insert(u"PINLARK_VAULT_URL"_s, u"  "_s);
    QCOMPARE(configuredEndpoint(environment, settings).baseUrl,
             QUrl(u"https://vault.home.example"_s));
}

void TestVaultExchange::pullJudgesTheAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("errorDomain"); // empty: success
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorText"); // the description starts with it
    QTest::addColumn<int>("cardCount");     // -1: nothing stored

    const QString pinlark = SyncError::pinlarkDomain;
    const QString json = SyncError::jsonDomain;
    QTest::newRow("404") << 404 << QByteArray("not found") << QString() << 0 << QString() << -1;
    QTest::newRow("200 {}") << 200 << QByteArray("{}") << QString() << 0 << QString() << -1;
    QTest::newRow("200 data null")
        << 200 << QByteArray(R"({"data":null,"x":1})") << QString() << 0 << QString() << -1;
    QTest::newRow("200 payload") << 200 << getAnswerHolding(localCards()) << QString() << 0
                                 << QString() << 2;
    QTest::newRow("200 empty list")
        << 200 << getAnswerHolding({}) << QString() << 0 << QString() << 0;
    QTest::newRow("200 data empty") << 200 << QByteArray(R"({"data":""})") << pinlark << 5
                                    << u"Corrupted vault payload"_s << -1;
    QTest::newRow("200 empty body")
        << 200 << QByteArray() << json << 2 << u"The Vault's answer could not be read"_s << -1;
    QTest::newRow("204 empty body")
        << 204 << QByteArray() << json << 2 << u"The Vault's answer could not be read"_s << -1;
    QTest::newRow("200 not JSON") << 200 << QByteArray("<html>hi</html>") << json << 2
                                  << u"The Vault's answer could not be read"_s << -1;
    QTest::newRow("200 array") << 200 << QByteArray(R"(["data"])") << json << 2
                               << u"The Vault's answer could not be read"_s << -1;
    QTest::newRow("200 data number") << 200 << QByteArray(R"({"data":12})") << json << 2
                                     << u"The Vault's answer could not be read"_s << -1;
    QTest::newRow("500") << 500 << QByteArray("{}") << pinlark << 500 << u"Vault pull HTTP 500"_s
                         << -1;
    QTest::newRow("401") << 401 << QByteArray() << pinlark << 401 << u"Vault pull HTTP 401"_s << -1;
    QTest::newRow("403") << 403 << QByteArray() << pinlark << 403 << u"Vault pull HTTP 403"_s << -1;
}

void TestVaultExchange::pullJudgesTheAnswer()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, errorDomain);
    QFETCH(int, errorCode);
    QFETCH(QString, errorText);
    QFETCH(int, cardCount);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::json(status, body));

    const auto pulled = pull(endpointOf(server), u"  plk-7kq2mx "_s);

    const QList<ScriptedVaultServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().method, QByteArray("GET"));
    QCOMPARE(QString::fromUtf8(requests.first().path), vaultPath(code));
    QVERIFY(requests.first().body.isEmpty());

    if (!errorDomain.isEmpty()) {
        QVERIFY(!pulled);
        QCOMPARE(pulled.error().domain, errorDomain);
        QCOMPARE(pulled.error().code, errorCode);
        QVERIFY2(pulled.error().localizedDescription().startsWith(errorText),
                 qPrintable(pulled.error().localizedDescription()));
        return;
    }
    QVERIFY2(pulled, qPrintable(failureOf(pulled)));
    if (cardCount < 0) {
        QVERIFY(!pulled.value().has_value());
        return;
    }
    QVERIFY(pulled.value().has_value());
    QCOMPARE(pulled.value()->size(), cardCount);
    if (cardCount > 0)
        QCOMPARE(*pulled.value(), localCards());
}

void TestVaultExchange::pushJudgesTheAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("succeeds");
    for (int status : {200, 201, 204})
        QTest::addRow("%d", status) << status << true;
    for (int status : {400, 404, 413, 500})
        QTest::addRow("%d", status) << status << false;
}

void TestVaultExchange::pushJudgesTheAnswer()
{
    QFETCH(int, status);
    QFETCH(bool, succeeds);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::json(status, QByteArray(R"({"ignored":true})")));

    const auto pushed = push(endpointOf(server), localCards(), code);
    QCOMPARE(bool(pushed), succeeds);
    if (!succeeds) {
        QCOMPARE(pushed.error(), SyncError::pinlark(SyncError::PushFailed, u"Vault push failed"_s));
    }

    const QList<ScriptedVaultServer::Request> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    const ScriptedVaultServer::Request &post = requests.first();
    QCOMPARE(post.method, QByteArray("POST"));
    QCOMPARE(QString::fromUtf8(post.path), vaultPath(code));
    bool typed = false;
    for (const auto &[name, value] : post.headers)
        typed |=
            name.compare("content-type", Qt::CaseInsensitive) == 0 && value == "application/json";
    QVERIFY(typed);
    // One member, compact, with "/" escaped the way the other clients write it.
    QVERIFY(post.body.startsWith(R"({"data":")"));
    QVERIFY(post.body.endsWith("\"}"));
    QVERIFY(!post.body.contains(' '));
    const QString payload = postedPayload(post);
    QCOMPARE(post.body.count("\\/"), payload.count(u'/'));
    QCOMPARE(QJsonDocument::fromJson(post.body).object().size(), 1);
    // The payload opens to the cards; nothing of the code or the cards travels in clear.
    const auto opened = decrypt(payload, code);
    QVERIFY(opened);
    QCOMPARE(opened.value(), localCards());
    QVERIFY(!post.body.contains("7KQ2MX"));
    QVERIFY(!post.body.contains("local a"));
}

void TestVaultExchange::syncPushesTheLocalStackToAnEmptyVault_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("404") << 404 << QByteArray();
    QTest::newRow("{}") << 200 << QByteArray("{}");
    QTest::newRow("data null") << 200 << QByteArray(R"({"data":null})");
    QTest::newRow("empty list") << 200 << getAnswerHolding({});
}

void TestVaultExchange::syncPushesTheLocalStackToAnEmptyVault()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::json(status, body));
    server.enqueue(Answer::json(201, {}));

    // Unsorted on purpose: an empty vault means no merge, so no reordering either.
    QList<NoteCard> local = {card(u"old"_s, u"old"_s, 10.0), card(u"new"_s, u"new"_s, 20.0),
                             card(u"pin"_s, u"pinned"_s, 5.0, true)};
    const auto synced = sync(endpointOf(server), local, code);
    QVERIFY2(synced, qPrintable(failureOf(synced)));
    QCOMPARE(synced.value(), local);

    const auto requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(1).method, QByteArray("POST"));
    QCOMPARE(decrypt(postedPayload(requests.at(1)), code).value(), local);
}

void TestVaultExchange::syncMergesWithTheVaultAndStoresTheResult()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    const QList<NoteCard> remote = {card(u"a"_s, u"remote a, newer"_s, 300.0),
                                    card(u"r"_s, u"remote only"_s, 50.0, true)};
    server.setStoredBody(vaultPath(code), getAnswerHolding(remote));

    const auto synced = sync(endpointOf(server), localCards(), u"plk-7kq2mx"_s);
    QVERIFY2(synced, qPrintable(failureOf(synced)));
    const QList<NoteCard> expected = {card(u"r"_s, u"remote only"_s, 50.0, true),
                                      card(u"a"_s, u"remote a, newer"_s, 300.0),
                                      card(u"b"_s, u"local b/with slash"_s, 100.0)};
    QCOMPARE(synced.value(), expected);

    // What the vault holds now is exactly what sync returned.
    const std::optional<QByteArray> stored = server.storedBody(vaultPath(code));
    QVERIFY(stored);
    const auto held = detail::decodeGetAnswer(*stored);
    QVERIFY(held && held.value());
    QCOMPARE(decrypt(*held.value(), code).value(), expected);
}

void TestVaultExchange::syncStopsAtAFailedPull_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("errorDomain");
    QTest::addColumn<int>("errorCode");

    QByteArray altered = getAnswerHolding(localCards());
    // A letter or digit in the middle of the base64 text, never the backslash of an escaped
    // "/": the ciphertext or the tag changes, and the text stays base64.
    qsizetype middle = altered.size() / 2;
    while (!QChar::isLetterOrNumber(char32_t(uchar(altered.at(middle)))))
        ++middle;
    altered[middle] = altered.at(middle) == 'A' ? 'B' : 'A';

    QTest::newRow("500") << Answer::json(500, {}) << SyncError::pinlarkDomain << 500;
    QTest::newRow("401") << Answer::json(401, {}) << SyncError::pinlarkDomain << 401;
    QTest::newRow("data empty") << Answer::json(200, R"({"data":""})") << SyncError::pinlarkDomain
                                << 5;
    QTest::newRow("not JSON") << Answer::json(200, "oops") << SyncError::jsonDomain << 2;
    QTest::newRow("altered payload") << Answer::json(200, altered) << SyncError::cipherDomain << 1;
    QTest::newRow("dropped") << Answer::drop() << SyncError::networkDomain << -1;
}

void TestVaultExchange::syncStopsAtAFailedPull()
{
    QFETCH(Answer, answer);
    QFETCH(QString, errorDomain);
    QFETCH(int, errorCode);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setVaultBehaviour(false);
    // The client resends a GET whose connection closed before any answer, so a drop has to
    // be the answer to every attempt.
    if (answer.kind == Answer::Kind::Drop)
        server.setStandingAnswer(answer);
    else
        server.enqueue(answer);

    const auto synced = sync(endpointOf(server), localCards(), code);
    QVERIFY(!synced);
    QCOMPARE(synced.error().domain, errorDomain);
    if (errorCode >= 0)
        QCOMPARE(synced.error().code, errorCode);
    QVERIFY(!synced.error().localizedDescription().isEmpty());
    // No POST after a failed pull.
    for (const auto &request : server.requests())
        QCOMPARE(request.method, QByteArray("GET"));
}

void TestVaultExchange::syncStackPushesUnderThePreconditionOfItsPull_data()
{
    QTest::addColumn<bool>("entityTags");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QByteArray>("ifMatch"); // "tag": the tag of what was stored
    QTest::addColumn<QByteArray>("ifNoneMatch");
    QTest::newRow("tagged vault") << true << true << QByteArray("tag") << QByteArray();
    QTest::newRow("nothing stored yet") << true << false << QByteArray() << QByteArray("*");
    QTest::newRow("vault without tags") << false << true << QByteArray() << QByteArray();
}

void TestVaultExchange::syncStackPushesUnderThePreconditionOfItsPull()
{
    QFETCH(bool, entityTags);
    QFETCH(bool, stored);
    QFETCH(QByteArray, ifMatch);
    QFETCH(QByteArray, ifNoneMatch);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setEntityTags(entityTags);
    const QList<NoteCard> remote = {card(u"r"_s, u"remote only"_s, 50.0)};
    if (stored)
        server.setStoredBody(vaultPath(code), getAnswerHolding(remote));
    if (ifMatch == "tag")
        ifMatch = server.storedTag(vaultPath(code)).value();

    const auto synced = syncStack(endpointOf(server), {localCards(), {}}, {}, code, u"here"_s);
    QVERIFY2(synced, qPrintable(failureOf(synced)));
    QCOMPARE(synced.value().attempts, 1);

    const auto requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).method, QByteArray("GET"));
    QCOMPARE(requests.at(1).method, QByteArray("POST"));
    QCOMPARE(requests.at(1).header("If-Match"), ifMatch);
    QCOMPARE(requests.at(1).header("If-None-Match"), ifNoneMatch);
    // Pushed, and what the vault holds is what the sync returned.
    QCOMPARE(storedStack(server), std::optional(synced.value().stack));
    QCOMPARE(synced.value().stack.cards.size(), stored ? 3 : 2);
}

void TestVaultExchange::aPushRefusedForAChangedVaultIsMergedAgain()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    // Our pull sees the vault as it was; another machine's push lands before ours, so the
    // vault holds its card under another tag.
    const QByteArray before = getAnswerHolding({card(u"r"_s, u"remote only"_s, 50.0)});
    const QByteArray after = getAnswerHolding(
        {card(u"r"_s, u"remote only"_s, 50.0), card(u"o"_s, u"pushed meanwhile"_s, 60.0)});
    server.setStoredBody(vaultPath(code), after);
    Answer stale = Answer::json(200, before);
    stale.headers = {{"ETag", ScriptedVaultServer::entityTagOf(before)}};
    server.enqueue(stale);

    const auto synced = syncStack(endpointOf(server), {localCards(), {}}, {}, code, u"here"_s);
    QVERIFY2(synced, qPrintable(failureOf(synced)));
    QCOMPARE(synced.value().attempts, 2);

    const auto requests = server.requests();
    QCOMPARE(requests.size(), 4);
    const QList<QByteArray> methods = {requests.at(0).method, requests.at(1).method,
                                       requests.at(2).method, requests.at(3).method};
    QCOMPARE(methods, (QList<QByteArray>{"GET", "POST", "GET", "POST"}));
    QCOMPARE(requests.at(1).header("If-Match"), ScriptedVaultServer::entityTagOf(before));
    QCOMPARE(requests.at(3).header("If-Match"), ScriptedVaultServer::entityTagOf(after));
    // Nothing the other machine pushed is lost.
    const std::optional<VaultStack> held = storedStack(server);
    QVERIFY(held);
    QCOMPARE(*held, synced.value().stack);
    QStringList ids;
    for (const NoteCard &each : held->cards)
        ids.append(each.id);
    ids.sort();
    QCOMPARE(ids, (QStringList{u"a"_s, u"b"_s, u"o"_s, u"r"_s}));
}

void TestVaultExchange::aVaultThatKeepsChangingEndsTheSync()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    // Off: a request beyond the script gets 500 and would end the sync with another error.
    server.setVaultBehaviour(false);
    const QByteArray body = getAnswerHolding({card(u"r"_s, u"remote only"_s, 50.0)});
    for (int i = 0; i < maxPushAttempts; ++i) {
        Answer pulled = Answer::json(200, body);
        pulled.headers = {{"ETag", "\"v" + QByteArray::number(i) + '"'}};
        server.enqueue(pulled);
        server.enqueue(Answer::json(412, R"({"error":"precondition failed"})"));
    }

    const auto synced = syncStack(endpointOf(server), {localCards(), {}}, {}, code, u"here"_s);
    QVERIFY(!synced);
    QCOMPARE(synced.error().domain, SyncError::pinlarkDomain);
    QCOMPARE(synced.error().code, int(SyncError::VaultKeptChanging));
    QCOMPARE(server.requests().size(), 2 * maxPushAttempts);
    QCOMPARE(postsTo(server).size(), maxPushAttempts);
    QCOMPARE(postsTo(server).last().header("If-Match"), QByteArray("\"v3\""));
}

void TestVaultExchange::deletionsTravelThroughTheVault_data()
{
    QTest::addColumn<QList<NoteCard>>("cards"); // what both machines synced
    QTest::addColumn<QList<NoteCard>>("kept");  // what the first keeps after deleting "x"

    const NoteCard x = card(u"x"_s, u"deleted on the first machine"_s, 100.0);
    const NoteCard y = card(u"y"_s, u"kept"_s, 90.0);
    QTest::newRow("one of two cards") << QList{x, y} << QList{y};
    QTest::newRow("the last card") << QList{x} << QList<NoteCard>{};
}

// Both machines synced the same cards; the first deletes "x" and syncs, then the second.
void TestVaultExchange::deletionsTravelThroughTheVault()
{
    QFETCH(QList<NoteCard>, cards);
    QFETCH(QList<NoteCard>, kept);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setStoredBody(vaultPath(code), bodyHolding({cards, {}}));
    const QHash<QString, ExchangedCard> base = exchangedVersions(cards);
    const CardDeletion deletion{u"x"_s, recently(), cards.first().updatedAt,
                                PinlarkVaultSync::cardDigest(cards.first())};

    const auto first = syncStack(endpointOf(server), {kept, {deletion}}, base, code, u"first"_s);
    QVERIFY2(first, qPrintable(failureOf(first)));
    QCOMPARE(first.value().stack, (VaultStack{kept, {deletion}}));
    QCOMPARE(storedStack(server), std::optional(first.value().stack));

    const auto second = syncStack(endpointOf(server), {cards, {}}, base, code, u"second"_s);
    QVERIFY2(second, qPrintable(failureOf(second)));
    QCOMPARE(second.value().stack.cards, kept);
    // Carried on for the machines that have not seen it yet.
    QCOMPARE(second.value().stack.deletions, QList{deletion});
    QCOMPARE(second.value().counts.deletedHere, 1);
    QCOMPARE(storedStack(server), std::optional(second.value().stack));
}

void TestVaultExchange::aSilentVaultTimesOut()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::hang());

    VaultEndpoint endpoint = endpointOf(server);
    endpoint.timeoutMs = testTimeoutMs;
    const auto synced = sync(endpoint, localCards(), code);
    QVERIFY(!synced);
    QCOMPARE(synced.error().domain, SyncError::networkDomain);
    QCOMPARE(synced.error().localizedDescription(),
             u"The Vault did not answer within 0.4 seconds"_s);
    for (const auto &request : server.requests())
        QCOMPARE(request.method, QByteArray("GET"));
}

void TestVaultExchange::anOversizedAnswerEndsTheExchange_data()
{
    QTest::addColumn<bool>("declareLength");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("fill");
    // The real limit, announced in the head: refused on the head alone. The server holds the
    // body back meanwhile, so none of it goes out unless the client waits for it.
    QTest::newRow("announced") << true << VaultEndpoint::defaultMaxAnswerBytes
                               << VaultEndpoint::defaultMaxAnswerBytes + 1;
    // Streamed without a length: refused once more than the limit has arrived.
    QTest::newRow("streamed") << false << qint64(256 * 1024) << qint64(1024 * 1024);
}

void TestVaultExchange::anOversizedAnswerEndsTheExchange()
{
    QFETCH(bool, declareLength);
    QFETCH(qint64, limit);
    QFETCH(qint64, fill);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Answer answer = Answer::json(200, {});
    answer.fillBytes = fill;
    answer.declareLength = declareLength;
    if (declareLength)
        answer.bodyDelayMs = 3000;
    server.enqueue(answer);

    VaultEndpoint endpoint = endpointOf(server);
    endpoint.maxAnswerBytes = limit;
    const auto pulled = pull(endpoint, code);
    QVERIFY(!pulled);
    QCOMPARE(pulled.error().domain, SyncError::pinlarkDomain);
    QCOMPARE(pulled.error().code, int(SyncError::AnswerTooLarge));
    QVERIFY(
        pulled.error().localizedDescription().startsWith(u"The Vault's answer is larger than"_s));
    if (declareLength)
        QCOMPARE(server.bodyBytesSent(), 0);
}

void TestVaultExchange::cancellingStopsARunningExchange()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::hang());

    Cancellation cancelled = false;
    std::optional<Result<QList<NoteCard>, SyncError>> outcome;
    std::thread worker(
        [&] { outcome.emplace(sync(endpointOf(server), localCards(), code, &cancelled)); });
    QVERIFY(server.waitForRequestCount(1, 10'000));
    cancelled = true;
    worker.join();
    QVERIFY(outcome && !*outcome);
    QCOMPARE(outcome->error().code, int(SyncError::Cancelled));
}

void TestVaultExchange::aDrippingVaultMeetsTheDeadline_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QList<Answer>>("answers");

    // A byte every 100 ms keeps the transfer time-out away; the whole body would take 10 s.
    Answer dripping = Answer::json(200, {});
    dripping.fillBytes = 100;
    dripping.dripMs = 100;
    // Each within the deadline, the two together past it.
    Answer slowEmpty = Answer::json(404, {});
    slowEmpty.fillBytes = 8;
    slowEmpty.dripMs = 100;
    Answer slowStored = Answer::json(204, {});
    slowStored.delayMs = 800;

    QTest::newRow("pull") << u"pull"_s << QList<Answer>{dripping};
    QTest::newRow("push") << u"push"_s << QList<Answer>{dripping};
    QTest::newRow("sync, in the pull") << u"sync"_s << QList<Answer>{dripping};
    QTest::newRow("sync, pull and push together")
        << u"sync"_s << QList<Answer>{slowEmpty, slowStored};
}

void TestVaultExchange::aDrippingVaultMeetsTheDeadline()
{
    QFETCH(QString, operation);
    QFETCH(QList<Answer>, answers);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setVaultBehaviour(false);
    for (const Answer &answer : answers)
        server.enqueue(answer);

    VaultEndpoint endpoint = endpointOf(server);
    endpoint.deadlineMs = 1000;
    QElapsedTimer clock;
    clock.start();
    std::optional<SyncError> error;
    if (operation == u"pull"_s)
        error = errorOf(pull(endpoint, code));
    else if (operation == u"push"_s)
        error = errorOf(push(endpoint, localCards(), code));
    else
        error = errorOf(sync(endpoint, localCards(), code));

    QVERIFY2(error, "the exchange succeeded");
    QCOMPARE(*error, SyncError::pinlark(SyncError::DeadlineExceeded,
                                        u"The Vault did not finish within 1 second"_s));
    // Long before the dripping answer would have ended by itself.
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

void TestVaultExchange::addressesOtherThanHttpsAreRefused_data()
{
    QTest::addColumn<QString>("base");
    QTest::newRow("http elsewhere") << u"http://vault.pinlark.app"_s;
    QTest::newRow("http on a LAN address") << u"http://192.168.1.20:8080"_s;
    QTest::newRow("http on a name like localhost") << u"http://localhost.example.com"_s;
    QTest::newRow("ftp") << u"ftp://127.0.0.1"_s;
    QTest::newRow("file") << u"file:///tmp/vault"_s;
    QTest::newRow("no scheme") << u"vault.pinlark.app"_s;
    QTest::newRow("garbage") << u"https://exa mple.org"_s;
}

void TestVaultExchange::addressesOtherThanHttpsAreRefused()
{
    QFETCH(QString, base);
    VaultEndpoint endpoint;
    endpoint.baseUrl = QUrl(base);
    const auto synced = sync(endpoint, localCards(), code);
    QVERIFY(!synced);
    QCOMPARE(synced.error().domain, SyncError::pinlarkDomain);
    QCOMPARE(synced.error().code, int(SyncError::InsecureVaultUrl));
    QVERIFY(synced.error().localizedDescription().startsWith(u"The Vault address"_s));
}

void TestVaultExchange::plainHttpOnLoopbackIsAllowed()
{
    ScriptedVaultServer server(ScriptedVaultServer::Transport::PlainHttp);
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    for (const QUrl &base : {server.baseUrl(), server.localhostUrl()}) {
        QCOMPARE(base.scheme(), u"http"_s);
        VaultEndpoint endpoint;
        endpoint.baseUrl = base;
        const auto synced = sync(endpoint, localCards(), code);
        QVERIFY2(synced, qPrintable(failureOf(synced)));
    }
    QVERIFY(server.storedBody(vaultPath(code)));
}

void TestVaultExchange::redirectsObeyTheAddressRule_data()
{
    QTest::addColumn<bool>("isPush");
    QTest::addColumn<bool>("tlsOrigin");
    QTest::addColumn<bool>("tlsTarget");
    QTest::addColumn<QString>("targetHost");
    QTest::addColumn<bool>("followed");

    for (const bool isPush : {false, true}) {
        const char *const method = isPush ? "POST" : "GET";
        // No loopback host to the rule, yet a connection to it reaches the target listener on
        // 127.0.0.1, so a followed redirect would show there without leaving this computer.
        QTest::addRow("%s, http to http on 0.0.0.0", method)
            << isPush << false << false << u"0.0.0.0"_s << false;
        QTest::addRow("%s, https to https on loopback", method)
            << isPush << true << true << u"localhost"_s << true;
        QTest::addRow("%s, http to http on loopback", method)
            << isPush << false << false << u"127.0.0.1"_s << true;
    }
    // Refused before any connection is tried; nothing here could reach that address.
    QTest::newRow("GET, https to http on a TEST-NET address")
        << false << true << false << u"192.0.2.1"_s << false;
}

void TestVaultExchange::redirectsObeyTheAddressRule()
{
    QFETCH(bool, isPush);
    QFETCH(bool, tlsOrigin);
    QFETCH(bool, tlsTarget);
    QFETCH(QString, targetHost);
    QFETCH(bool, followed);

    using Transport = ScriptedVaultServer::Transport;
    ScriptedVaultServer origin(tlsOrigin ? Transport::Tls : Transport::PlainHttp);
    ScriptedVaultServer target(tlsTarget ? Transport::Tls : Transport::PlainHttp);
    QVERIFY2(origin.isListening(), qPrintable(origin.errorString()));
    QVERIFY2(target.isListening(), qPrintable(target.errorString()));

    QUrl moved = target.baseUrl();
    moved.setHost(targetHost);
    moved.setPath(u"/moved"_s + vaultPath(code));
    Answer redirect;
    redirect.status = 307; // the same method again, a POST with its body
    redirect.headers = {{"Location", moved.toEncoded()}};
    origin.setVaultBehaviour(false);
    origin.enqueue(redirect);
    target.setStoredBody(moved.path(), getAnswerHolding(localCards()));

    // One file that trusts the authorities of both servers.
    VaultEndpoint endpoint = endpointOf(origin);
    const QByteArray authorities = (tlsOrigin ? StoreTest::readBytes(origin.caFile()) : "") +
                                   (tlsTarget ? StoreTest::readBytes(target.caFile()) : "");
    QTemporaryDir dir;
    endpoint.caFile = authorities.isEmpty() ? QString() : dir.filePath(u"authorities.pem"_s);
    if (!authorities.isEmpty())
        QVERIFY(StoreTest::writeBytes(endpoint.caFile, authorities));

    QElapsedTimer clock;
    clock.start();
    std::optional<SyncError> error;
    std::optional<QList<NoteCard>> pulled;
    if (isPush) {
        error = errorOf(push(endpoint, localCards(), code));
    } else {
        auto answer = pull(endpoint, code);
        error = errorOf(answer);
        if (answer)
            pulled = answer.value();
    }
    const qint64 took = clock.elapsed();

    // Qt 6.4 may send the first request to the origin twice when it follows a redirect; what
    // counts is that nothing but that request went there.
    const QByteArray method = isPush ? "POST" : "GET";
    const QList<ScriptedVaultServer::Request> asked = origin.requests();
    QVERIFY(!asked.isEmpty());
    for (const ScriptedVaultServer::Request &request : asked) {
        QCOMPARE(request.method, method);
        QCOMPARE(QString::fromUtf8(request.path), vaultPath(code));
    }
    const QList<ScriptedVaultServer::Request> arrived = target.requests();
    if (!followed) {
        QVERIFY2(error, "the redirect was followed");
        QCOMPARE(error->domain, SyncError::pinlarkDomain);
        QCOMPARE(error->code, int(SyncError::InsecureVaultUrl));
        const QString message = error->localizedDescription();
        QVERIFY2(message.startsWith(u"The Vault address \u201chttp://"_s + targetHost + u':'),
                 qPrintable(message));
        QVERIFY2(!message.contains(vaultHash(code)), qPrintable(message));
        QVERIFY(arrived.isEmpty());
        // At once, not after a try at connecting there.
        QVERIFY2(took < endpoint.timeoutMs / 2, qPrintable(QString::number(took)));
        return;
    }
    QVERIFY2(!error, qPrintable(error ? error->localizedDescription() : QString()));
    QCOMPARE(arrived.size(), 1);
    QCOMPARE(arrived.first().method, method);
    QCOMPARE(arrived.first().path, moved.path().toUtf8());
    if (isPush)
        QCOMPARE(decrypt(postedPayload(arrived.first()), code).value(), localCards());
    else
        QCOMPARE(pulled, std::optional(localCards()));
}

void TestVaultExchange::tlsIsAlwaysVerified()
{
    ScriptedVaultServer server;
    ScriptedVaultServer stranger;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    QVERIFY2(stranger.isListening(), qPrintable(stranger.errorString()));

    // Without the server's authority, and with another server's authority.
    for (const QString &caFile : {QString(), stranger.caFile()}) {
        VaultEndpoint endpoint = endpointOf(server);
        endpoint.caFile = caFile;
        const auto pulled = pull(endpoint, code);
        QVERIFY(!pulled);
        QCOMPARE(pulled.error().domain, SyncError::networkDomain);
        QCOMPARE(pulled.error().code, int(QNetworkReply::SslHandshakeFailedError));
    }
    QVERIFY(server.requests().isEmpty());
}

void TestVaultExchange::anUnreadableCertificateFileIsAnError()
{
    QTemporaryDir dir;
    const QString notPem = dir.filePath(u"not-a-certificate.pem"_s);
    QVERIFY(StoreTest::writeBytes(notPem, "hello"));
    for (const QString &caFile : {dir.filePath(u"missing.pem"_s), notPem}) {
        VaultEndpoint endpoint;
        endpoint.baseUrl = QUrl(u"https://127.0.0.1:9"_s);
        endpoint.caFile = caFile;
        const auto pulled = pull(endpoint, code);
        QVERIFY(!pulled);
        QCOMPARE(pulled.error().code, int(SyncError::CertificateFile));
        QVERIFY(pulled.error().localizedDescription().contains(caFile));
    }
}

QTEST_GUILESS_MAIN(TestVaultExchange)
#include "tst_vaultexchange.moc"
