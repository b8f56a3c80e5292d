#include "app/TerminationSignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class TestTerminationSignals final : public QObject
{
    Q_OBJECT

private slots:
    void signalArrivesOnEventLoop_data();
    void signalArrivesOnEventLoop();
    void handlersGoWithTheWatcher();
};

void TestTerminationSignals::signalArrivesOnEventLoop_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestTerminationSignals::signalArrivesOnEventLoop()
{
    QFETCH(int, signalNumber);
    TerminationSignals watcher;
    QVERIFY(watcher.isWatching());
    QSignalSpy received(&watcher, &TerminationSignals::received);
    // Two in a row, before the loop runs: each is reported, and the process lives on.
    QCOMPARE(::raise(signalNumber), 0);
    QCOMPARE(::raise(signalNumber), 0);
    QCOMPARE(received.size(), 0);
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(0).at(0).toInt(), signalNumber);
}

void TestTerminationSignals::handlersGoWithTheWatcher()
{
    struct sigaction before = {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &before), 0);
    {
        TerminationSignals watcher;
        struct sigaction during = {};
        QCOMPARE(::sigaction(SIGTERM, nullptr, &during), 0);
        QVERIFY(during.sa_handler != before.sa_handler);
    }
    struct sigaction after = {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &after), 0);
    QVERIFY(after.sa_handler == before.sa_handler);
}

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
