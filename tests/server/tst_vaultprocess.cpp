#include "tests/server/TestHttpClient.h"
#include "tests/support/TestCertificates.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QByteArray vaultPath = "/vault/pinlark/" + QByteArray(64, 'c');

QByteArray bodyWith(const QByteArray &text)
{
    return "{\"data\":\"" + text + "\"}";
}

QByteArray dataOf(const TestHttpClient::Answer &answer)
{
    return QJsonDocument::fromJson(answer.body).object().value("data"_L1).toString().toUtf8();
}

// pinlark-vault as a process of its own, as an administrator would start it.
class VaultProcess
{
public:
    explicit VaultProcess(QStringList arguments)
        : m_arguments(std::move(arguments))
    {}
    ~VaultProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Starts it and waits for the line that says where it serves. False when it ended or
    // said nothing of the kind; stderr() tells what it said.
    bool start()
    {
        m_process.setProgram(QString::fromUtf8(PINLARK_VAULT_BINARY));
        m_process.setArguments(m_arguments);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        static const QRegularExpression serving(u"serving https?://\\S+:(\\d+) from "_s);
        for (int i = 0; i < 100; ++i) {
            m_stderr += m_process.readAllStandardError();
            if (const auto match = serving.match(QString::fromUtf8(m_stderr)); match.hasMatch()) {
                m_port = quint16(match.captured(1).toUInt());
                return true;
            }
            if (m_process.state() == QProcess::NotRunning)
                return false;
            m_process.waitForReadyRead(100);
        }
        return false;
    }

    // Ends it and returns everything it wrote to standard error.
    QByteArray finish(int waitMs = 10'000)
    {
        m_process.waitForFinished(waitMs);
        m_stderr += m_process.readAllStandardError();
        return m_stderr;
    }

    [[nodiscard]] quint16 port() const { return m_port; }
    QProcess &process() { return m_process; }
    [[nodiscard]] QByteArray stderrSoFar() { return m_stderr += m_process.readAllStandardError(); }

private:
    QStringList m_arguments;
    QProcess m_process;
    QByteArray m_stderr;
    quint16 m_port = 0;
};

} // namespace

class TestVaultProcess final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void servesWithNothingSetUp();
    void aStoredPayloadSurvivesKillNine();
    void sigtermEndsCleanly();
    void badStartsSayWhy_data();
    void badStartsSayWhy();
    void serversShareOnePostgresDatabase();
    void serversShareOneMissBudget();

private:
    [[nodiscard]] QStringList tlsArguments() const
    {
        return {u"--cert"_s,   m_dir.filePath(u"cert.pem"_s),
                u"--key"_s,    m_dir.filePath(u"key.pem"_s),
                u"--listen"_s, u"127.0.0.1:0"_s};
    }
    [[nodiscard]] TestHttpClient client(quint16 port) const
    {
        return TestHttpClient(port, m_material.caPem);
    }

    QTemporaryDir m_dir;
    TestCertificates::TlsMaterial m_material;
};

void TestVaultProcess::initTestCase()
{
    m_material = TestCertificates::makeTlsMaterial();
    QVERIFY2(m_material.error.isEmpty(), qPrintable(m_material.error));
    for (const auto &[name, pem] : {std::pair(u"cert.pem"_s, m_material.certificatePem),
                                    std::pair(u"key.pem"_s, m_material.keyPem),
                                    std::pair(u"junk.pem"_s, QByteArray("not a key\n"))}) {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(pem) == pem.size());
    }
}

void TestVaultProcess::servesWithNothingSetUp()
{
    const QString folder = m_dir.filePath(u"fresh/vaults"_s);
    VaultProcess vault(QStringList{u"--data"_s, folder} + tlsArguments());
    QVERIFY2(vault.start(), vault.stderrSoFar().constData());
    TestHttpClient http = client(vault.port());
    QCOMPARE(http.request("GET", vaultPath).status, 404);
    QCOMPARE(http.request("POST", vaultPath, bodyWith("hello")).status, 204);
    QCOMPARE(dataOf(http.request("GET", vaultPath)), "hello");

    // Only the server's own user may read what it keeps.
    QCOMPARE(QFileInfo(folder).permissions() & 0x0077, 0);
    QCOMPARE(QFileInfo(folder + u"/vaults.sqlite3"_s).permissions() & 0x0077, 0);
    // One line at start, nothing per request, and never a payload or a vault.
    const QByteArray log = vault.stderrSoFar();
    QCOMPARE(log.count('\n'), 1);
    QVERIFY(log.startsWith("pinlark-vault: "));
    QVERIFY(!log.contains("hello") && !log.contains(QByteArray(64, 'c')));
}

void TestVaultProcess::aStoredPayloadSurvivesKillNine()
{
    const QStringList arguments =
        QStringList{u"--data"_s, m_dir.filePath(u"killed"_s)} + tlsArguments();
    QByteArray last;
    for (int round = 0; round < 4; ++round) {
        VaultProcess vault(arguments);
        QVERIFY2(vault.start(), vault.stderrSoFar().constData());
        if (!last.isEmpty())
            QCOMPARE(dataOf(client(vault.port()).request("GET", vaultPath)), last);
        // A large payload and small ones, each killed right after its answer.
        last = round == 1 ? QByteArray(3 * 1024 * 1024, 'L') : "round " + QByteArray::number(round);
        QCOMPARE(client(vault.port()).request("POST", vaultPath, bodyWith(last)).status, 204);
        ::kill(pid_t(vault.process().processId()), SIGKILL);
        vault.finish();
    }
    VaultProcess vault(arguments);
    QVERIFY2(vault.start(), vault.stderrSoFar().constData());
    QCOMPARE(dataOf(client(vault.port()).request("GET", vaultPath)), last);
}

void TestVaultProcess::sigtermEndsCleanly()
{
    VaultProcess vault(QStringList{u"--data"_s, m_dir.filePath(u"term"_s)} + tlsArguments());
    QVERIFY2(vault.start(), vault.stderrSoFar().constData());
    // A client keeps its connection open: the server does not wait for it.
    TestHttpClient idle = client(vault.port());
    QCOMPARE(idle.request("POST", vaultPath, bodyWith("kept")).status, 204);
    ::kill(pid_t(vault.process().processId()), SIGTERM);
    const QByteArray log = vault.finish();
    QCOMPARE(vault.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(vault.process().exitCode(), 0);
    QVERIFY2(log.endsWith("pinlark-vault: stopped on SIGTERM\n"), log.constData());

    VaultProcess again(QStringList{u"--data"_s, m_dir.filePath(u"term"_s)} + tlsArguments());
    QVERIFY2(again.start(), again.stderrSoFar().constData());
    QCOMPARE(dataOf(client(again.port()).request("GET", vaultPath)), "kept");
}

void TestVaultProcess::badStartsSayWhy_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");
    const QString cert = m_dir.filePath(u"cert.pem"_s);
    const QString key = m_dir.filePath(u"key.pem"_s);
    const QString data = m_dir.filePath(u"bad"_s);
    QTest::newRow("no storage") << QStringList{u"--cert"_s, cert, u"--key"_s, key} << 2
                                << u"--data"_s;
    QTest::newRow("no TLS") << QStringList{u"--data"_s, data} << 2 << u"--plain-http"_s;
    QTest::newRow("plain HTTP for everyone")
        << QStringList{u"--data"_s, data, u"--plain-http"_s, u"--listen"_s, u"0.0.0.0:0"_s} << 1
        << u"loopback"_s;
    QTest::newRow("missing key file")
        << QStringList{u"--data"_s, data, u"--cert"_s, cert, u"--key"_s, data + u"/none.pem"_s} << 1
        << u"none.pem"_s;
    QTest::newRow("key is not PEM")
        << QStringList{u"--data"_s, data,       u"--cert"_s,
                       cert,        u"--key"_s, m_dir.filePath(u"junk.pem"_s)}
        << 1 << u"PEM"_s;
    QTest::newRow("data folder is a file")
        << QStringList{u"--data"_s, cert, u"--cert"_s, cert, u"--key"_s, key} << 1 << cert;
    QTest::newRow("unreachable PostgreSQL")
        << QStringList{u"--postgres"_s, u"postgresql://127.0.0.1:1/none?connect_timeout=2"_s,
                       u"--cert"_s,     cert,
                       u"--key"_s,      key}
        << 1 << u"PostgreSQL"_s;
}

void TestVaultProcess::badStartsSayWhy()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);
    VaultProcess vault(arguments);
    QVERIFY(!vault.start());
    const QString log = QString::fromUtf8(vault.finish());
    QCOMPARE(vault.process().exitCode(), exitCode);
    QVERIFY2(log.startsWith(u"pinlark-vault: "_s) && log.contains(reason), qPrintable(log));
}

void TestVaultProcess::serversShareOnePostgresDatabase()
{
    const QString url = qEnvironmentVariable("PINLARK_TEST_POSTGRES_URL");
    if (url.isEmpty())
        QSKIP("PINLARK_TEST_POSTGRES_URL is not set: no PostgreSQL server to share");
    VaultProcess first(QStringList{u"--postgres"_s, url} + tlsArguments());
    VaultProcess second(QStringList{u"--postgres"_s, url} + tlsArguments());
    QVERIFY2(first.start(), first.stderrSoFar().constData());
    QVERIFY2(second.start(), second.stderrSoFar().constData());
    QVERIFY(first.stderrSoFar().contains("from PostgreSQL"));
    QVERIFY2(!first.stderrSoFar().contains("password"), first.stderrSoFar().constData());

    const QByteArray path = "/vault/pinlark/" + QByteArray(64, 'd');
    TestHttpClient a = client(first.port());
    TestHttpClient b = client(second.port());
    QCOMPARE(a.request("POST", path, bodyWith("from a")).status, 204);
    const TestHttpClient::Answer seen = b.request("GET", path);
    QCOMPARE(dataOf(seen), "from a");
    // The tag one server gave guards a write through the other.
    QCOMPARE(b.request("POST", path, bodyWith("from b"), {{"If-Match", seen.headers.value("etag")}})
                 .status,
             204);
    QCOMPARE(a.request("POST", path, bodyWith("lost"), {{"If-Match", seen.headers.value("etag")}})
                 .status,
             412);
    // One server dying takes nothing with it.
    ::kill(pid_t(second.process().processId()), SIGKILL);
    second.finish();
    QCOMPARE(dataOf(a.request("GET", path)), "from b");
}

void TestVaultProcess::serversShareOneMissBudget()
{
    const QString url = qEnvironmentVariable("PINLARK_TEST_POSTGRES_URL");
    if (url.isEmpty())
        QSKIP("PINLARK_TEST_POSTGRES_URL is not set: no PostgreSQL server to share");
    // Two servers behind one proxy, as a load balancer would spread a guesser over them. The
    // client is an address of its own, so misses other tests left in the database do not count.
    const QStringList arguments{
        u"--postgres"_s,   url,   u"--plain-http"_s, u"--listen"_s, u"127.0.0.1:0"_s,
        u"--miss-limit"_s, u"4"_s};
    VaultProcess first(arguments);
    VaultProcess second(arguments);
    QVERIFY2(first.start(), first.stderrSoFar().constData());
    QVERIFY2(second.start(), second.stderrSoFar().constData());
    TestHttpClient a(first.port(), {});
    TestHttpClient b(second.port(), {});
    const QByteArray address =
        "198.51.100." + QByteArray::number(QRandomGenerator::global()->bounded(1, 255));
    const QList<std::pair<QByteArray, QByteArray>> from{{"X-Forwarded-For", address}};
    const auto path = [](char digit) -> QByteArray {
        return "/vault/pinlark/" + QByteArray(64, digit);
    };

    // Four misses in all, taken in turns: a vault created through one server, and guesses.
    QCOMPARE(a.request("POST", path('e'), bodyWith("mine"), from).status, 204);
    QCOMPARE(b.request("GET", path('1'), {}, from).status, 404);
    QCOMPARE(a.request("GET", path('2'), {}, from).status, 404);
    QCOMPARE(b.request("GET", path('3'), {}, from).status, 404);
    // The budget is spent on both servers, for guesses and for the vault that exists alike.
    for (TestHttpClient *server : {&a, &b}) {
        for (const char digit : {'4', 'e'}) {
            const TestHttpClient::Answer refused = server->request("GET", path(digit), {}, from);
            QCOMPARE(refused.status, 429);
            QVERIFY(refused.headers.value("retry-after").toInt() > 0);
        }
    }
    // Another client still has its own.
    QCOMPARE(a.request("GET", path('e'), {}, {{"X-Forwarded-For", "203.0.113.9"}}).status, 200);
    // Nothing per request in the log, and never a client's address.
    for (VaultProcess *vault : {&first, &second}) {
        const QByteArray log = vault->stderrSoFar();
        QCOMPARE(log.count('\n'), 1);
        QVERIFY2(!log.contains(address), log.constData());
    }
}

QTEST_GUILESS_MAIN(TestVaultProcess)
#include "tst_vaultprocess.moc"
