#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

int modeOf(const QString &path)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

} // namespace

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
    void otherRuntimeFolderFindsTheRunningOne();
    void silentHolderInOtherRuntimeFolderIsAFailure();
    void runtimeFolderTooDeepForASocket_data();
    void runtimeFolderTooDeepForASocket();

private:
    QString m_notes;
    QString m_runtime;
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

// The second launch runs while the first one's event loop serves it, as two processes would.
SingleInstance::Role claimFromAnotherThread(const QString &notes, const QString &runtime,
                                            const QString &shortFolderParent = u"/tmp"_s)
{
    QFuture<SingleInstance::Role> role = QtConcurrent::run([notes, runtime, shortFolderParent] {
        SingleInstance later(notes, runtime, shortFolderParent);
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

// Two processes whose runtime folders differ (one started without XDG_RUNTIME_DIR, or after
// the folder was cleaned) still find each other through the notes folder: one writer.
void TestSingleInstance::otherRuntimeFolderFindsTheRunningOne()
{
    SingleInstance first(m_notes, m_runtime);
    QCOMPARE(first.claim(), SingleInstance::Role::Primary);
    QSignalSpy toggles(&first, &SingleInstance::toggleRequested);
    const QString otherRuntime = m_dir->filePath(u"other-run"_s);
    QVERIFY(QDir().mkpath(otherRuntime));

    QCOMPARE(claimFromAnotherThread(m_notes, otherRuntime), SingleInstance::Role::Forwarded);
    QTRY_COMPARE(toggles.size(), 1);
    QVERIFY(QFileInfo::exists(m_notes + u'/' + SingleInstance::folderLockName));
}

void TestSingleInstance::silentHolderInOtherRuntimeFolderIsAFailure()
{
    SingleInstance holder(m_notes, m_runtime);
    QCOMPARE(holder.claim(), SingleInstance::Role::Primary);
    QFile::remove(holder.socketPath());
    const QString otherRuntime = m_dir->filePath(u"other-run"_s);
    QVERIFY(QDir().mkpath(otherRuntime));

    SingleInstance later(m_notes, otherRuntime);
    later.setAnswerTimeout(300);
    QCOMPARE(later.claim(), SingleInstance::Role::Failed);
    QVERIFY2(later.error().contains(QString::number(QCoreApplication::applicationPid())),
             qPrintable(later.error()));
    QVERIFY2(later.error().contains(m_notes), qPrintable(later.error()));
    // Failing gave nothing up: the holder still holds the notes against a third process.
    SingleInstance third(m_notes, m_dir->filePath(u"third-run"_s));
    third.setAnswerTimeout(300);
    QVERIFY(QDir().mkpath(m_dir->filePath(u"third-run"_s)));
    QCOMPARE(third.claim(), SingleInstance::Role::Failed);
}

void TestSingleInstance::runtimeFolderTooDeepForASocket_data()
{
    QTest::addColumn<QString>("shortFolder"); // what stands where the short folder goes
    QTest::addColumn<bool>("usable");

    QTest::newRow("nothing yet") << u"nothing"_s << true;
    QTest::newRow("the user's private folder") << u"private"_s << true;
    QTest::newRow("a folder open to all") << u"open"_s << false;
    QTest::newRow("a link to a folder") << u"link"_s << false;
}

void TestSingleInstance::runtimeFolderTooDeepForASocket()
{
    QFETCH(QString, shortFolder);
    QFETCH(bool, usable);
    const QString deep = m_runtime + u'/' + QString(100, u'r');
    QVERIFY(QDir().mkpath(deep));
    const QString parent = m_dir->filePath(u"short"_s);
    const QString folder = parent + u"/pinlark-"_s + QString::number(::getuid());
    QVERIFY(QDir().mkpath(parent));
    if (shortFolder == u"private"_s || shortFolder == u"open"_s) {
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(),
                        shortFolder == u"open"_s ? 0777 : 0700) == 0);
    } else if (shortFolder == u"link"_s) {
        QVERIFY(QDir().mkdir(m_dir->filePath(u"elsewhere"_s)));
        QVERIFY(QFile::link(m_dir->filePath(u"elsewhere"_s), folder));
    }

    SingleInstance first(m_notes, deep, parent);
    if (!usable) {
        QCOMPARE(first.claim(), SingleInstance::Role::Failed);
        QVERIFY2(first.error().contains(folder), qPrintable(first.error()));
        return;
    }
    QCOMPARE(first.claim(), SingleInstance::Role::Primary);
    QVERIFY2(QFile::encodeName(first.socketPath()).size() <= SingleInstance::maxSocketPathBytes,
             qPrintable(first.socketPath()));
    QVERIFY2(first.socketPath().startsWith(folder + u'/'), qPrintable(first.socketPath()));
    QCOMPARE(modeOf(folder), 0700);
    QSignalSpy toggles(&first, &SingleInstance::toggleRequested);
    QCOMPARE(claimFromAnotherThread(m_notes, deep, parent), SingleInstance::Role::Forwarded);
    QTRY_COMPARE(toggles.size(), 1);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
