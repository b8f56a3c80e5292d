#include "SingleInstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

using namespace Qt::StringLiterals;

class TestSingleInstance final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void secondLaunchTogglesTheFirst();
    void separateFoldersAreSeparateInstances();
    void leftoversOfADeadProcessAreTakenOver();
    void silentHolderIsAFailureNotASecondWriter();
    void strangeRequestsAreIgnored_data();
    void strangeRequestsAreIgnored();

private:
    QString m_notes;
    QString m_runtime;
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

// The second launch runs while the first one's event loop serves it, as two processes would.
SingleInstance::Role claimFromAnotherThread(const QString &notes, const QString &runtime)
{
    QFuture<SingleInstance::Role> role = QtConcurrent::run([notes, runtime] {
        SingleInstance later(notes, runtime);
        return later.claim();
    });
    while (!role.isFinished())
        QTest::qWait(5);
    return role.result();
}

} // namespace

void TestSingleInstance::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_notes = m_dir->filePath(u"data/Pinlark"_s);
    m_runtime = m_dir->filePath(u"run"_s);
    QVERIFY(QDir().mkpath(m_notes));
    QVERIFY(QDir().mkpath(m_runtime));
}

void TestSingleInstance::secondLaunchTogglesTheFirst()
{
    SingleInstance first(m_notes, m_runtime);
    QCOMPARE(first.claim(), SingleInstance::Role::Primary);
    QSignalSpy toggles(&first, &SingleInstance::toggleRequested);

    QCOMPARE(claimFromAnotherThread(m_notes, m_runtime), SingleInstance::Role::Forwarded);
    QTRY_COMPARE(toggles.size(), 1);
    // The same folder spelled another way is the same instance.
    QCOMPARE(claimFromAnotherThread(m_notes + u"/../Pinlark/"_s, m_runtime),
             SingleInstance::Role::Forwarded);
    QTRY_COMPARE(toggles.size(), 2);
}

void TestSingleInstance::separateFoldersAreSeparateInstances()
{
    SingleInstance first(m_notes, m_runtime);
    QCOMPARE(first.claim(), SingleInstance::Role::Primary);
    QVERIFY(QDir().mkpath(m_dir->filePath(u"other"_s)));
    SingleInstance other(m_dir->filePath(u"other"_s), m_runtime);
    QCOMPARE(other.claim(), SingleInstance::Role::Primary);
}

void TestSingleInstance::leftoversOfADeadProcessAreTakenOver()
{
    QString socketPath;
    QString lockPath;
    {
        SingleInstance gone(m_notes, m_runtime);
        QCOMPARE(gone.claim(), SingleInstance::Role::Primary);
        socketPath = gone.socketPath();
    }
    // A socket file with nobody listening, and a lock naming a process that does not exist.
    QFile socketLeftover(socketPath);
    QVERIFY(socketLeftover.open(QIODevice::WriteOnly));
    socketLeftover.close();
    lockPath = socketPath.chopped(u".socket"_s.size()) + u".lock"_s;
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write("2147483646\npinlark\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();

    SingleInstance next(m_notes, m_runtime);
    QCOMPARE(next.claim(), SingleInstance::Role::Primary);
    QSignalSpy toggles(&next, &SingleInstance::toggleRequested);
    QCOMPARE(claimFromAnotherThread(m_notes, m_runtime), SingleInstance::Role::Forwarded);
    QTRY_COMPARE(toggles.size(), 1);
}

void TestSingleInstance::silentHolderIsAFailureNotASecondWriter()
{
    // A live process (this one) holds the lock but serves no socket.
    SingleInstance holder(m_notes, m_runtime);
    QCOMPARE(holder.claim(), SingleInstance::Role::Primary);
    QFile::remove(holder.socketPath());

    SingleInstance later(m_notes, m_runtime);
    later.setAnswerTimeout(300);
    QCOMPARE(later.claim(), SingleInstance::Role::Failed);
    QVERIFY2(later.error().contains(QString::number(QCoreApplication::applicationPid())),
             qPrintable(later.error()));
}

void TestSingleInstance::strangeRequestsAreIgnored_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("unknown word") << QByteArray("quit\n");
    QTest::newRow("no line end") << QByteArray("toggle");
    QTest::newRow("endless line") << QByteArray(4096, 'x');
}

void TestSingleInstance::strangeRequestsAreIgnored()
{
    QFETCH(QByteArray, request);
    SingleInstance first(m_notes, m_runtime);
    QCOMPARE(first.claim(), SingleInstance::Role::Primary);
    QSignalSpy toggles(&first, &SingleInstance::toggleRequested);

    QLocalSocket socket;
    socket.connectToServer(first.socketPath());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(request);
    socket.flush();
    if (request.size() > 64)
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
    else
        QTest::qWait(100);
    QCOMPARE(toggles.size(), 0);
    // Still serving.
    QCOMPARE(claimFromAnotherThread(m_notes, m_runtime), SingleInstance::Role::Forwarded);
    QTRY_COMPARE(toggles.size(), 1);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
