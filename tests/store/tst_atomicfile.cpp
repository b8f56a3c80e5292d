#include "store/AtomicFile.h"
#include "tests/support/StoreTestHelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using StoreTest::readBytes;
using StoreTest::writeBytes;

namespace {

// What the disk was asked to flush, in order, with what the file at the target held then.
struct Flushes
{
    struct Event
    {
        QString what;         // "file" or "folder"
        QString folder;       // for a folder flush: which one
        QByteArray targetNow; // the target's bytes when the flush was asked for
        QByteArray flushed;   // for a file flush: the bytes of the file being flushed
    };

    DiskFlush recorder(const QString &target)
    {
        return DiskFlush{
            [this, target](int fd) {
                struct stat info = {};
                QByteArray bytes;
                if (::fstat(fd, &info) == 0) {
                    bytes.resize(info.st_size);
                    if (::pread(fd, bytes.data(), std::size_t(info.st_size), 0) != info.st_size)
                        bytes = "(unreadable)";
                }
                events.append({u"file"_s, {}, readBytes(target), bytes});
                return 0;
            },
            [this, target](const QString &folder) {
                events.append({u"folder"_s, QDir(folder).canonicalPath(), readBytes(target), {}});
            }};
    }

    QList<Event> events;
};

} // namespace

class TestAtomicFile final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void flushesFileBeforeRenameAndItsFolderAfter_data();
    void flushesFileBeforeRenameAndItsFolderAfter();
    void failedFileFlushLeavesTargetAlone();
};

void TestAtomicFile::flushesFileBeforeRenameAndItsFolderAfter_data()
{
    QTest::addColumn<QString>("link"); // how the target is reached: empty, or a link's text

    QTest::newRow("plain file") << QString();
    QTest::newRow("absolute link to another folder") << u"@real/notes.json"_s;
    QTest::newRow("relative link to another folder") << u"../real/notes.json"_s;
    QTest::newRow("link to a link") << u"@chain"_s;
}

// The new bytes reach the disk before the rename makes them the file, and the rename itself
// is flushed in the folder that really holds the file: through a link, the folder it leads
// to, which is where the rename happened.
void TestAtomicFile::flushesFileBeforeRenameAndItsFolderAfter()
{
    QFETCH(QString, link);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString linkFolder = dir.filePath(u"notes"_s);
    const QString realFolder = link.isEmpty() ? linkFolder : dir.filePath(u"real"_s);
    QVERIFY(QDir().mkpath(linkFolder));
    QVERIFY(QDir().mkpath(realFolder));
    const QString target = linkFolder + u"/notes.json"_s;
    const QString real = realFolder + u"/notes.json"_s;
    QVERIFY(writeBytes(real, "old"));
    if (link == u"@chain"_s) {
        QVERIFY(QFile::link(real, dir.filePath(u"middle.json"_s)));
        QVERIFY(QFile::link(dir.filePath(u"middle.json"_s), target));
    } else if (link.startsWith(u'@')) {
        QVERIFY(QFile::link(dir.filePath(link.mid(1)), target));
    } else if (!link.isEmpty()) {
        QVERIFY(::symlink(QFile::encodeName(link).constData(),
                          QFile::encodeName(target).constData()) == 0);
    }

    Flushes flushes;
    const Result<bool> written = writeFileAtomically(
        target, [](QIODevice &out) { return out.write("new") == 3; }, std::nullopt,
        flushes.recorder(real));
    QVERIFY2(written.ok(), written.ok() ? "" : qPrintable(written.error()));

    QCOMPARE(flushes.events.size(), 2);
    const Flushes::Event &file = flushes.events.at(0);
    QCOMPARE(file.what, u"file"_s);
    QCOMPARE(file.flushed, QByteArray("new"));
    QCOMPARE(file.targetNow, QByteArray("old")); // not renamed yet
    const Flushes::Event &folder = flushes.events.at(1);
    QCOMPARE(folder.what, u"folder"_s);
    QCOMPARE(folder.targetNow, QByteArray("new")); // renamed already
    QCOMPARE(folder.folder, QDir(realFolder).canonicalPath());

    QCOMPARE(readBytes(target), QByteArray("new"));
    if (!link.isEmpty())
        QVERIFY2(QFileInfo(target).isSymLink(), "the link was replaced by a file");
}

void TestAtomicFile::failedFileFlushLeavesTargetAlone()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(u"notes.json"_s);
    QVERIFY(writeBytes(target, "old"));

    bool folderFlushed = false;
    const DiskFlush failing{[](int) {
                                errno = EIO;
                                return -1;
                            },
                            [&folderFlushed](const QString &) { folderFlushed = true; }};
    const Result<bool> written = writeFileAtomically(
        target, [](QIODevice &out) { return out.write("new") == 3; }, std::nullopt, failing);
    QVERIFY(!written.ok());
    QVERIFY2(written.error().startsWith(target + u": "_s), qPrintable(written.error()));
    QCOMPARE(readBytes(target), QByteArray("old"));
    QVERIFY(!folderFlushed);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"notes.json"_s});
}

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
