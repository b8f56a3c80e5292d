#include "server/AnswerCache.h"
#include "server/MissLimiter.h"
#include "server/ServerOptions.h"
#include "server/VaultProtocol.h"
#include "server/VaultStorage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace VaultServer;

class TestVaultProtocol final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void getAnswersCarryAnyText_data();
    void getAnswersCarryAnyText();
    void getAnswersAreWhatQJsonDocumentWrites_data();
    void getAnswersAreWhatQJsonDocumentWrites();
    void answersAreSharedWithinABudget();
    void manyVaultsKeepTheirAnswers();
    void entityTagsFollowTheText();
    void ifMatch_data();
    void ifMatch();
    void ifNoneMatch_data();
    void ifNoneMatch();
    void contentTypes_data();
    void contentTypes();
    void options_data();
    void options();
    void missesAreLimitedPerClient();
    void clientsAreKeyedByAddress_data();
    void clientsAreKeyedByAddress();
    void aFloodOfAddressesSharesOneBucket();
    void limitersShareOneLedger();
    void aFailingLedgerLeavesEachLimiterAlone();
};

namespace {

// Budgets kept in memory as a database would keep them for several servers, without refill
// (the tests' clock does not move while they share), counting the calls made to it.
class FakeLedger final : public MissLedger
{
public:
    Result<double> missesLeft(const QByteArray &client, int burst, std::chrono::seconds) override
    {
        ++calls;
        if (failing)
            return Result<double>::failure(u"the database is gone"_s);
        return double(m_left.value(client, burst));
    }
    Result<double> takeMiss(const QByteArray &client, int burst, std::chrono::seconds) override
    {
        ++calls;
        if (failing)
            return Result<double>::failure(u"the database is gone"_s);
        const int left = std::max(0, m_left.value(client, burst) - 1);
        m_left.insert(client, left);
        return double(left);
    }

    int calls = 0;
    bool failing = false;

private:
    QHash<QByteArray, int> m_left;
};

} // namespace

void TestVaultProtocol::getAnswersCarryAnyText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("base64") << u"QUJD/REVG+0x=="_s;
    QTest::newRow("empty") << QString();
    QTest::newRow("escapes") << u"\"\\/\b\f\n\r\t\u0000\u001f"_s;
    QTest::newRow("non-ASCII") << u"\u00e9\u4e2d\U0001F600\u2028"_s;
}

void TestVaultProtocol::getAnswersCarryAnyText()
{
    QFETCH(QString, text);
    // What a POST stored comes back in a GET as the same string.
    const QByteArray body = QJsonDocument(QJsonObject{{"data"_L1, text}}).toJson();
    const Result<QByteArray> data = dataFromBody(body);
    QVERIFY2(data, qPrintable(data ? QString() : data.error()));
    const QJsonDocument answer = QJsonDocument::fromJson(getAnswer(data.value()));
    QCOMPARE(answer.object().value("data"_L1).toString(), text);
    QCOMPARE(answer.object().size(), 1);
}

void TestVaultProtocol::getAnswersAreWhatQJsonDocumentWrites_data()
{
    QTest::addColumn<QByteArray>("data");
    QByteArray controls;
    for (int c = 0; c < 0x20; ++c)
        controls.append(char(c));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("base64") << QByteArray("QUJD/REVG+0xMjM0NTY3ODkw/w==");
    QTest::newRow("every control") << controls;
    QTest::newRow("quotes, backslashes, DEL") << QByteArray("\"\\\\\"/\x7f\"");
    QTest::newRow("escapes at both ends") << QByteArray("\nmiddle\t");
    QTest::newRow("non-ASCII") << u"\u00e9\u4e2d\U0001F600\u2028\u2029\ufeff"_s.toUtf8();
    QTest::newRow("noncharacters") << u"\ufffe\uffff\U0010FFFF"_s.toUtf8();
    QTest::newRow("mixed, long")
        << (u"a\"\u00e9\n\u4e2d\\\U0001F600\u0001"_s.repeated(5000)).toUtf8();
    // Not valid UTF-8: what QJsonDocument makes of it, replacements and all.
    QTest::newRow("stray continuation") << QByteArray("a\x80"
                                                      "b");
    QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80");
    QTest::newRow("cut short") << QByteArray("ok\xe4\xb8");
}

void TestVaultProtocol::getAnswersAreWhatQJsonDocumentWrites()
{
    QFETCH(QByteArray, data);
    // What GET answered before it wrote its JSON itself; clients may compare the bytes.
    const QByteArray written = QJsonDocument(QJsonObject{{"data"_L1, QString::fromUtf8(data)}})
                                   .toJson(QJsonDocument::Compact);
    QCOMPARE(getAnswer(data), written);
}

void TestVaultProtocol::answersAreSharedWithinABudget()
{
    const auto version = [](char fill) {
        const QByteArray data(1000, fill);
        return StoredVault{data, entityTag(data)};
    };
    const QByteArray a(64, 'a');
    const QByteArray b(64, 'b');
    const StoredVault first = version('1');
    const qsizetype size = getAnswer(first.data).size();
    AnswerCache cache(2 * size + size / 2);

    // One copy for every request of a version.
    std::unique_ptr<AnswerCache::Hold> held = cache.hold(a, first);
    std::unique_ptr<AnswerCache::Hold> again = cache.hold(a, first);
    QVERIFY(held && again);
    QCOMPARE(held->body(), getAnswer(first.data));
    QCOMPARE(again->body().constData(), held->body().constData());
    QCOMPARE(cache.usedBytes(), size);
    std::unique_ptr<AnswerCache::Hold> other = cache.hold(b, version('2'));
    QVERIFY(other);
    QCOMPARE(cache.usedBytes(), 2 * size);

    // No room for a third answer while both are held, not even a new version of one of them;
    // a version already held is always shared.
    QVERIFY(!cache.hold(QByteArray(64, 'c'), version('3')));
    const StoredVault rewritten = version('4');
    QVERIFY(!cache.hold(a, rewritten));
    QVERIFY(cache.hold(a, first));
    // Kept answers nobody holds make room.
    held.reset();
    again.reset();
    QCOMPARE(cache.usedBytes(), 2 * size);
    const std::unique_ptr<AnswerCache::Hold> fresh = cache.hold(a, rewritten);
    QVERIFY(fresh);
    QCOMPARE(fresh->body(), getAnswer(rewritten.data));
    QCOMPARE(cache.usedBytes(), 2 * size);

    // A written vault's answer goes once nobody holds it.
    cache.forget(b);
    QCOMPARE(cache.usedBytes(), 2 * size);
    other.reset();
    QCOMPARE(cache.usedBytes(), size);
}

void TestVaultProtocol::manyVaultsKeepTheirAnswers()
{
    // Answers of a thousand vaults in turn, all within the kept part of the budget, are each
    // built once: the second round shares what the first one built.
    const QByteArray data(1000, 'x');
    const StoredVault vault{data, entityTag(data)};
    const qint64 size = getAnswer(data).size();
    constexpr int vaults = 1000;
    AnswerCache cache(AnswerCache::keptShare * vaults * size);
    const auto idOf = [](int i) { return QByteArray::number(i).rightJustified(64, '0'); };
    std::vector<const char *> built;
    for (int i = 0; i < vaults; ++i)
        built.push_back(cache.hold(idOf(i), vault)->body().constData());
    QCOMPARE(cache.usedBytes(), vaults * size);
    for (int i = 0; i < vaults; ++i)
        QCOMPARE(cache.hold(idOf(i), vault)->body().constData(), built[std::size_t(i)]);
}

void TestVaultProtocol::entityTagsFollowTheText()
{
    const QByteArray tag = entityTag("text");
    QVERIFY(tag.startsWith('"') && tag.endsWith('"'));
    QCOMPARE(tag.size(), 45); // 43 base64url characters of SHA-256, in quotes
    QCOMPARE(tag, entityTag(QByteArray("text")));
    QVERIFY(entityTag("text") != entityTag("Text"));
    QVERIFY(entityTag("") != entityTag(QByteArray(1, '\0')));
    QVERIFY(!tag.contains('+') && !tag.contains('/') && !tag.contains('='));
}

void TestVaultProtocol::ifMatch_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<std::optional<QByteArray>>("current");
    QTest::addColumn<bool>("holds");
    const QByteArray tag = entityTag("now");
    const std::optional<QByteArray> stored = tag;
    const std::optional<QByteArray> nothing;
    QTest::newRow("same tag") << tag << stored << true;
    QTest::newRow("in a list") << "\"a\", " + tag + " ,\"b\"" << stored << true;
    QTest::newRow("comma in a tag") << "\"a,b\"," + tag << stored << true;
    QTest::newRow("star") << QByteArray("*") << stored << true;
    QTest::newRow("star, nothing stored") << QByteArray("*") << nothing << false;
    QTest::newRow("tag, nothing stored") << tag << nothing << false;
    QTest::newRow("other tag") << entityTag("before") << stored << false;
    QTest::newRow("weak") << "W/" + tag << stored << false;
    QTest::newRow("unquoted") << tag.mid(1, tag.size() - 2) << stored << false;
    QTest::newRow("empty") << QByteArray() << stored << false;
}

void TestVaultProtocol::ifMatch()
{
    QFETCH(QByteArray, header);
    QFETCH(std::optional<QByteArray>, current);
    QFETCH(bool, holds);
    QCOMPARE(ifMatchHolds(parseIfMatch(header), current), holds);
}

void TestVaultProtocol::ifNoneMatch_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<std::optional<QByteArray>>("current");
    QTest::addColumn<bool>("holds");
    const QByteArray tag = entityTag("now");
    const std::optional<QByteArray> stored = tag;
    const std::optional<QByteArray> nothing;
    QTest::newRow("star, nothing stored") << QByteArray("*") << nothing << true;
    QTest::newRow("star") << QByteArray("*") << stored << false;
    QTest::newRow("same tag") << tag << stored << false;
    QTest::newRow("in a list") << "\"a\", " + tag + " ,\"b\"" << stored << false;
    QTest::newRow("comma in a tag") << "\"a,b\"," + tag << stored << false;
    QTest::newRow("weak, compared weakly") << "W/" + tag << stored << false;
    QTest::newRow("other tags") << "\"a\", W/\"b\"," + entityTag("before") << stored << true;
    QTest::newRow("tag, nothing stored") << tag << nothing << true;
    QTest::newRow("comma in another tag") << QByteArray(R"("now,", "x")") << stored << true;
    // Malformed: refused, so that a write meant to be guarded is not made unguarded.
    QTest::newRow("unquoted") << tag.mid(1, tag.size() - 2) << stored << false;
    QTest::newRow("unquoted, nothing stored") << QByteArray("abc") << nothing << false;
    QTest::newRow("unquoted after a tag") << QByteArray(R"("a", b)") << nothing << false;
    QTest::newRow("unterminated") << QByteArray(R"("a)") << nothing << false;
    QTest::newRow("quote inside") << QByteArray(R"("a"b")") << nothing << false;
    QTest::newRow("space inside") << QByteArray(R"("a b")") << nothing << false;
    QTest::newRow("lower-case weak") << QByteArray(R"(w/"a")") << nothing << false;
    QTest::newRow("empty") << QByteArray() << nothing << false;
    QTest::newRow("commas only") << QByteArray(" , ,") << nothing << false;
    QTest::newRow("star and tag, nothing stored") << QByteArray(R"(*, "a")") << nothing << true;
    QTest::newRow("star and tag") << QByteArray(R"(*, "a")") << stored << false;
}

void TestVaultProtocol::ifNoneMatch()
{
    QFETCH(QByteArray, header);
    QFETCH(std::optional<QByteArray>, current);
    QFETCH(bool, holds);
    QCOMPARE(ifNoneMatchHolds(parseIfMatch(header), current), holds);
}

void TestVaultProtocol::contentTypes_data()
{
    QTest::addColumn<std::optional<QByteArray>>("type");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("none") << std::optional<QByteArray>() << true;
    QTest::newRow("json") << std::optional<QByteArray>("application/json") << true;
    QTest::newRow("charset") << std::optional<QByteArray>("Application/JSON ; charset=utf-8")
                             << true;
    QTest::newRow("text") << std::optional<QByteArray>("text/plain") << false;
    QTest::newRow("json suffix") << std::optional<QByteArray>("application/jsonx") << false;
    QTest::newRow("empty") << std::optional<QByteArray>("") << false;
}

void TestVaultProtocol::contentTypes()
{
    QFETCH(std::optional<QByteArray>, type);
    QFETCH(bool, accepted);
    QCOMPARE(acceptsContentType(type ? std::optional<QByteArrayView>(*type) : std::nullopt),
             accepted);
}

void TestVaultProtocol::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("problem"); // empty: accepted
    const QStringList tls = {u"--cert"_s, u"c.pem"_s, u"--key"_s, u"k.pem"_s};
    QTest::newRow("data and TLS") << (QStringList{u"--data"_s, u"/srv"_s} + tls) << QString();
    QTest::newRow("postgres, plain")
        << QStringList{u"--postgres"_s, u"postgresql:///v"_s, u"--plain-http"_s} << QString();
    QTest::newRow("IPv6") << (QStringList{u"--data"_s, u"d"_s, u"--listen"_s, u"[::1]:9000"_s} +
                              tls)
                          << QString();
    QTest::newRow("no storage") << tls << u"--data"_s;
    QTest::newRow("both storages")
        << (QStringList{u"--data"_s, u"d"_s, u"--postgres"_s, u"p"_s} + tls) << u"--data"_s;
    QTest::newRow("no TLS") << QStringList{u"--data"_s, u"d"_s} << u"--plain-http"_s;
    QTest::newRow("cert without key")
        << QStringList{u"--data"_s, u"d"_s, u"--cert"_s, u"c"_s} << u"--cert"_s;
    QTest::newRow("TLS and plain")
        << (QStringList{u"--data"_s, u"d"_s, u"--plain-http"_s} + tls) << u"--plain-http"_s;
    QTest::newRow("listen without port")
        << (QStringList{u"--data"_s, u"d"_s, u"--listen"_s, u"localhost"_s} + tls) << u"--listen"_s;
    QTest::newRow("port too large")
        << (QStringList{u"--data"_s, u"d"_s, u"--listen"_s, u"h:70000"_s} + tls) << u"--listen"_s;
    QTest::newRow("payload not a number")
        << (QStringList{u"--data"_s, u"d"_s, u"--max-payload"_s, u"16M"_s} + tls)
        << u"--max-payload"_s;
    QTest::newRow("answer memory under 1 MiB")
        << (QStringList{u"--data"_s, u"d"_s, u"--answer-memory"_s, u"65536"_s} + tls)
        << u"--answer-memory"_s;
    QTest::newRow("negative limit")
        << (QStringList{u"--data"_s, u"d"_s, u"--miss-limit"_s, u"-1"_s} + tls)
        << u"--miss-limit"_s;
    QTest::newRow("body deadlines") << (QStringList{u"--data"_s, u"d"_s, u"--body-timeout"_s,
                                                    u"5"_s, u"--min-body-rate"_s, u"100"_s} +
                                        tls)
                                    << QString();
    QTest::newRow("no body rate")
        << (QStringList{u"--data"_s, u"d"_s, u"--min-body-rate"_s, u"0"_s} + tls)
        << u"--min-body-rate"_s;
    QTest::newRow("unknown option")
        << (QStringList{u"--data"_s, u"d"_s, u"--fast"_s} + tls) << u"fast"_s;
    QTest::newRow("stray argument")
        << (QStringList{u"--data"_s, u"d"_s, u"extra"_s} + tls) << u"extra"_s;
}

void TestVaultProtocol::options()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, problem);
    const Result<ServerOptions> options = parseServerOptions(arguments);
    if (problem.isEmpty()) {
        QVERIFY2(options, qPrintable(options ? QString() : options.error()));
        QCOMPARE(options.value().http.trustForwardedFor, options.value().plainHttp);
        QVERIFY(options.value().http.threads >= 2);
        return;
    }
    QVERIFY(!options);
    QVERIFY2(options.error().contains(problem), qPrintable(options.error()));
}

void TestVaultProtocol::missesAreLimitedPerClient()
{
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    MissLimiter limiter({3, 60s}, [&now] { return now; });
    const QByteArray guesser = MissLimiter::clientKey(QByteArrayView("10.0.0.1"));
    const QByteArray neighbour = MissLimiter::clientKey(QByteArrayView("10.0.0.2"));

    for (int i = 0; i < 3; ++i) {
        QCOMPARE(limiter.secondsToWait(guesser), 0);
        limiter.recordMiss(guesser);
    }
    // Three misses per minute: one comes back every 20 s.
    QCOMPARE(limiter.secondsToWait(guesser), 20);
    QCOMPARE(limiter.secondsToWait(neighbour), 0);
    now += 15s;
    QCOMPARE(limiter.secondsToWait(guesser), 5);
    now += 5s;
    QCOMPARE(limiter.secondsToWait(guesser), 0);
    limiter.recordMiss(guesser);
    QCOMPARE(limiter.secondsToWait(guesser), 20);
    // A long pause gives back the whole burst, never more.
    now += 1h;
    for (int i = 0; i < 3; ++i)
        limiter.recordMiss(guesser);
    QVERIFY(limiter.secondsToWait(guesser) > 0);

    MissLimiter unlimited({0, 60s}, [&now] { return now; });
    for (int i = 0; i < 100; ++i)
        unlimited.recordMiss(guesser);
    QCOMPARE(unlimited.secondsToWait(guesser), 0);
}

void TestVaultProtocol::limitersShareOneLedger()
{
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    FakeLedger ledger;
    MissLimiter first({3, 60s}, [&now] { return now; });
    MissLimiter second({3, 60s}, [&now] { return now; });
    QStringList log;
    for (MissLimiter *limiter : {&first, &second})
        limiter->share(&ledger, [&log](const QString &line) { log.append(line); });
    const QByteArray guesser = MissLimiter::clientKey(QByteArrayView("10.0.0.1"));
    const QByteArray neighbour = MissLimiter::clientKey(QByteArrayView("10.0.0.2"));

    // A client that has not missed costs no round trip.
    QCOMPARE(first.secondsToWait(guesser), 0);
    QCOMPARE(ledger.calls, 0);
    first.recordMiss(guesser);
    second.recordMiss(guesser);
    second.recordMiss(guesser);
    QCOMPARE(ledger.calls, 3);
    // The first server learns from the ledger that the budget is spent; the second knows it
    // already and asks nothing.
    QCOMPARE(first.secondsToWait(guesser), 20);
    QCOMPARE(ledger.calls, 4);
    QCOMPARE(second.secondsToWait(guesser), 20);
    QCOMPARE(first.secondsToWait(guesser), 20);
    QCOMPARE(ledger.calls, 4);
    QCOMPARE(first.secondsToWait(neighbour), 0);
    QCOMPARE(ledger.calls, 4);
    QCOMPARE(log, QStringList());
}

void TestVaultProtocol::aFailingLedgerLeavesEachLimiterAlone()
{
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    FakeLedger ledger;
    MissLimiter limiter({3, 60s}, [&now] { return now; });
    QStringList log;
    limiter.share(&ledger, [&log](const QString &line) { log.append(line); });
    const QByteArray guesser = MissLimiter::clientKey(QByteArrayView("10.0.0.1"));
    const QByteArray neighbour = MissLimiter::clientKey(QByteArrayView("10.0.0.2"));

    ledger.failing = true;
    limiter.recordMiss(guesser);
    QCOMPARE(ledger.calls, 1);
    // Neither unlimited nor closed: the server's own count goes on, for this client alone.
    QCOMPARE(limiter.secondsToWait(guesser), 0);
    limiter.recordMiss(guesser);
    limiter.recordMiss(guesser);
    QCOMPARE(limiter.secondsToWait(guesser), 20);
    QCOMPARE(limiter.secondsToWait(neighbour), 0);
    // Said once, without the client; and the database is left alone for a while.
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.constFirst().contains(u"the database is gone"_s), qPrintable(log.constFirst()));
    QVERIFY(!log.constFirst().contains(u"10.0.0"_s));
    QCOMPARE(ledger.calls, 1);

    // Back: asked again after the pause, and said so.
    ledger.failing = false;
    now += 10s;
    limiter.recordMiss(neighbour);
    QCOMPARE(ledger.calls, 2);
    QCOMPARE(log.size(), 2);
    QCOMPARE(limiter.secondsToWait(guesser), 10);
}

void TestVaultProtocol::clientsAreKeyedByAddress_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("one IPv4") << QByteArray("192.0.2.1") << QByteArray(" 192.0.2.1 ") << true;
    QTest::newRow("two IPv4") << QByteArray("192.0.2.1") << QByteArray("192.0.2.2") << false;
    QTest::newRow("one /64") << QByteArray("2001:db8::1") << QByteArray("2001:db8::ffff:1") << true;
    QTest::newRow("two /64") << QByteArray("2001:db8:0:1::1") << QByteArray("2001:db8:0:2::1")
                             << false;
    QTest::newRow("mapped") << QByteArray("::ffff:192.0.2.1") << QByteArray("192.0.2.1") << true;
    QTest::newRow("mapped apart") << QByteArray("::ffff:192.0.2.1") << QByteArray("192.0.2.9")
                                  << false;
}

void TestVaultProtocol::clientsAreKeyedByAddress()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, same);
    const QByteArray a = MissLimiter::clientKey(first);
    const QByteArray b = MissLimiter::clientKey(second);
    QVERIFY(!a.isEmpty() && !b.isEmpty());
    QCOMPARE(a == b, same);

    // The socket address of the same client gives the same key as its text.
    sockaddr_in6 socket{};
    socket.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, first.trimmed().constData(), &socket.sin6_addr) != 1) {
        sockaddr_in ipv4{};
        ipv4.sin_family = AF_INET;
        QCOMPARE(inet_pton(AF_INET, first.trimmed().constData(), &ipv4.sin_addr), 1);
        QCOMPARE(MissLimiter::clientKey(reinterpret_cast<const sockaddr *>(&ipv4)), a);
    } else {
        QCOMPARE(MissLimiter::clientKey(reinterpret_cast<const sockaddr *>(&socket)), a);
    }
    QVERIFY(MissLimiter::clientKey(QByteArrayView("not an address")).isEmpty());
}

void TestVaultProtocol::aFloodOfAddressesSharesOneBucket()
{
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    MissLimiter limiter(
        {2, 60s}, [&now] { return now; }, 4);
    const auto address = [](int i) { return QByteArray::number(i).rightJustified(4, '\0'); };
    for (int i = 0; i < 4; ++i)
        limiter.recordMiss(address(i)); // the table is full of clients that owe a miss
    // New addresses cannot grow the table or start afresh: they share what is left over.
    limiter.recordMiss(address(100));
    limiter.recordMiss(address(101));
    QVERIFY(limiter.secondsToWait(address(102)) > 0);
    QCOMPARE(limiter.secondsToWait(address(0)), 0);
    // Once the earlier clients have refilled, they are forgotten and room comes back.
    now += 1h;
    limiter.recordMiss(address(103));
    QCOMPARE(limiter.secondsToWait(address(103)), 0);
    QCOMPARE(limiter.secondsToWait(address(104)), 0);
}

QTEST_GUILESS_MAIN(TestVaultProtocol)
#include "tst_vaultprotocol.moc"
