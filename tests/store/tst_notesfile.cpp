#include "model/NoteJSON.h"
#include "store/NotesFile.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::modeOf;
using StoreTest::readBytes;
using StoreTest::writeBytes;

namespace {

Timestamp at(const QString &isoUtc)
{
    return *NoteJSON::parseIsoString(isoUtc);
}

// What stands at a path itself, links not followed: 0 when nothing does.
mode_t kindAt(const QString &path)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & S_IFMT;
}

// Frees a reader stuck in the open of the FIFO at `path` (a writer's open lets it through),
// so a test that found the code blocked reports it and ends.
void releaseFifoReader(const QString &path)
{
    const int writer =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0)
        ::close(writer);
}

// A Unix socket bound at `path`, as a server leaves one; the descriptor, or -1.
int bindSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (fd < 0 || std::size_t(name.size()) >= sizeof address.sun_path)
        return -1;
    std::copy(name.begin(), name.end(), address.sun_path);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

class TestNotesFile final : public QObject
{
    Q_OBJECT

public:
    // How a test takes the notes folder away from the file for a while.
    enum class Breakage { ReadOnlyFolder, FolderReplacedByFile };

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void createsPrivateFolder_data();
    void createsPrivateFolder();
    void savesWholeStackPrivately_data();
    void savesWholeStackPrivately();
    void reportsSaveFailure();
    void loads_data();
    void loads();
    void movesUnreadableFileAside_data();
    void movesUnreadableFileAside();
    void keepsFileThatCannotBeMovedAside_data();
    void keepsFileThatCannotBeMovedAside();
    void refusesWhatIsNotARegularFile_data();
    void refusesWhatIsNotARegularFile();
    void refusesFileOverLimit();

    void backsUpBeforeFirstSaveOfLocalDay();
    void keepsBackupOfEarlierRun();
    void keepsNewestSevenBackups_data();
    void keepsNewestSevenBackups();
    void failedSaveKeepsDaysBackupDue_data();
    void failedSaveKeepsDaysBackupDue();
    void backsUpOnlyARegularFile();
    void describesEveryFailureOfASaveAtOnce();

    void listsDailyBackupsNewestFirst();
    void listsWhatIsNotARegularFileUnopened();
    void copiesBeforeRestoreApartFromDailies_data();
    void copiesBeforeRestoreApartFromDailies();

private:
    [[nodiscard]] NotesFile makeFile(const QString &folder);
    [[nodiscard]] NotesFile makeFile() { return makeFile(m_folder); }
    [[nodiscard]] QString notesPath() const { return m_folder + u"/notes.json"_s; }
    [[nodiscard]] QString backupPath(const QString &day) const
    {
        return m_folder + u"/backups/notes-"_s + day + u".json"_s;
    }

    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
    Timestamp m_now;
};

void TestNotesFile::initTestCase()
{
    // Backups are named by the local day and moved-aside files by UTC time. A zone ten
    // hours east of UTC makes the two days differ in the evening (UTC), so a test can tell
    // which one the code used.
    qputenv("TZ", "PLK-10");
    ::tzset();
    const QDateTime evening(QDate(2025, 3, 1), QTime(20, 0), Qt::UTC);
    QVERIFY2(evening.toLocalTime().date() == QDate(2025, 3, 2),
             "the test's time zone (UTC+10) did not take effect");
}

void TestNotesFile::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + u"/Pinlark"_s;
    m_now = at(u"2025-03-01T01:00:00Z"_s);
}

void TestNotesFile::cleanup()
{
    // A test that made a folder read-only gives it back before the temporary tree goes.
    if (QFileInfo(m_folder).isDir())
        QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

NotesFile TestNotesFile::makeFile(const QString &folder)
{
    return NotesFile(folder, [this] { return m_now; });
}

void TestNotesFile::createsPrivateFolder_data()
{
    QTest::addColumn<QString>("relativeFolder");

    QTest::newRow("missing folder") << u"Pinlark"_s;
    QTest::newRow("missing parents too") << u"data/home/Pinlark"_s;
}

void TestNotesFile::createsPrivateFolder()
{
    QFETCH(QString, relativeFolder);
    const QString folder = m_dir->path() + u'/' + relativeFolder;

    const NotesFile file = makeFile(folder);
    QCOMPARE(file.folder(), folder);
    QVERIFY(QFileInfo(folder).isDir());
    // Notes are private: nobody but the user may list the folder.
    QCOMPARE(modeOf(folder), 0700);
    QCOMPARE(file.path(), folder + u"/notes.json"_s);
}

void TestNotesFile::savesWholeStackPrivately_data()
{
    QTest::addColumn<QByteArray>("previous");

    QTest::newRow("first file") << QByteArray();
    QTest::newRow("replaces a world-readable file") << QByteArray("[]");
}

void TestNotesFile::savesWholeStackPrivately()
{
    QFETCH(QByteArray, previous);
    if (!previous.isNull()) {
        QVERIFY(QDir().mkpath(m_folder));
        QVERIFY(writeBytes(notesPath(), previous));
        QVERIFY(QFile::setPermissions(notesPath(), QFile::ReadOwner | QFile::WriteOwner |
                                                       QFile::ReadGroup | QFile::ReadOther));
    }
    const QList<NoteCard> cards{card(u"b"_s, u"second #x"_s, 300, true),
                                card(u"a"_s, u"first\nline"_s, 200, std::nullopt)};

    NotesFile file = makeFile();
    const Result<bool> saved = file.save(cards);
    QVERIFY2(saved.ok(), saved.ok() ? "" : qPrintable(saved.error()));

    QCOMPARE(readBytes(notesPath()), NoteJSON::encodeCards(cards));
    // A save replaces the file's mode too: the notes stay private whatever was there.
    QCOMPARE(modeOf(notesPath()), 0600);
    // The atomic write leaves no temporary file behind.
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"notes.json"_s});

    const NotesFile::Loaded loaded = makeFile().load();
    QCOMPARE(loaded.status, NotesFile::Loaded::Status::Loaded);
    QCOMPARE(loaded.cards, cards);
}

void TestNotesFile::reportsSaveFailure()
{
    // A regular file where a parent folder should be: no user, root included, can create
    // the notes folder below it.
    const QString blocker = m_dir->path() + u"/blocker"_s;
    QVERIFY(writeBytes(blocker, "not a folder"));
    const QString folder = blocker + u"/Pinlark"_s;

    NotesFile file = makeFile(folder);
    const Result<bool> saved = file.save({card(u"a"_s, u"text"_s)});
    QVERIFY(!saved.ok());
    // The description says which file could not be written.
    QVERIFY2(saved.error().contains(folder + u"/notes.json"_s), qPrintable(saved.error()));
    QCOMPARE(readBytes(blocker), QByteArray("not a folder"));
}

void TestNotesFile::loads_data()
{
    QTest::addColumn<QByteArray>("contents"); // null: no file at all
    QTest::addColumn<NotesFile::Loaded::Status>("status");
    QTest::addColumn<QList<NoteCard>>("cards");

    using Status = NotesFile::Loaded::Status;
    const QList<NoteCard> two{card(u"b"_s, u"unpinned first"_s, 100, false),
                              card(u"a"_s, u"pinned second"_s, 300, true)};
    const QByteArray good = R"({"id":"a","content":"","color":"mint","createdAt":0,"updatedAt":0})";
    const QByteArray noUpdatedAt = R"({"id":"b","content":"","color":"mint","createdAt":0})";

    QTest::newRow("no file") << QByteArray() << Status::Missing << QList<NoteCard>();
    QTest::newRow("empty array") << QByteArray("[]") << Status::Loaded << QList<NoteCard>();
    QTest::newRow("two cards in file order") << NoteJSON::encodeCards(two) << Status::Loaded << two;
    QTest::newRow("second card lacks updatedAt") << QByteArray("[" + good + "," + noUpdatedAt + "]")
                                                 << Status::Unreadable << QList<NoteCard>();
    QTest::newRow("bad timestamp")
        << QByteArray(R"([{"id":"a","content":"","color":"mint","createdAt":"yesterday",)"
                      R"("updatedAt":0}])")
        << Status::Unreadable << QList<NoteCard>();
    QTest::newRow("content is a number")
        << QByteArray(R"([{"id":"a","content":7,"color":"mint","createdAt":0,"updatedAt":0}])")
        << Status::Unreadable << QList<NoteCard>();
    QTest::newRow("object, not array") << good << Status::Unreadable << QList<NoteCard>();
    QTest::newRow("not JSON") << QByteArray("yo! welcome") << Status::Unreadable
                              << QList<NoteCard>();
    QTest::newRow("cut off") << QByteArray("[" + good.left(20)) << Status::Unreadable
                             << QList<NoteCard>();
    QTest::newRow("empty file") << QByteArray("") << Status::Unreadable << QList<NoteCard>();
}

void TestNotesFile::loads()
{
    QFETCH(QByteArray, contents);
    QFETCH(NotesFile::Loaded::Status, status);
    QFETCH(QList<NoteCard>, cards);
    QVERIFY(QDir().mkpath(m_folder));
    if (!contents.isNull())
        QVERIFY(writeBytes(notesPath(), contents));

    const NotesFile::Loaded loaded = makeFile().load();
    QCOMPARE(loaded.status, status);
    QCOMPARE(loaded.cards, cards);

    if (status == NotesFile::Loaded::Status::Unreadable) {
        QVERIFY(!loaded.error.isEmpty());
        // Never deleted: the same bytes now live under the moved-aside name.
        QVERIFY(!loaded.movedTo.isEmpty());
        QVERIFY(!QFileInfo::exists(notesPath()));
        QCOMPARE(readBytes(loaded.movedTo), contents);
    } else {
        QVERIFY(loaded.error.isEmpty());
        QVERIFY(loaded.movedTo.isEmpty());
        QCOMPARE(readBytes(notesPath()), contents);
    }
}

void TestNotesFile::movesUnreadableFileAside_data()
{
    QTest::addColumn<int>("takenNames");
    QTest::addColumn<QString>("expectedName");

    // 20:05:09.750 UTC is already 2 March in the test's zone; the name keeps UTC and whole
    // seconds.
    const QString base = u"notes.json.corrupt-20250301T200509Z"_s;
    QTest::newRow("free name") << 0 << base;
    QTest::newRow("name taken") << 1 << base + u"-1"_s;
    QTest::newRow("two names taken") << 2 << base + u"-2"_s;
}

void TestNotesFile::movesUnreadableFileAside()
{
    QFETCH(int, takenNames);
    QFETCH(QString, expectedName);
    QVERIFY(QDir().mkpath(m_folder));
    const QByteArray bad = R"([{"id":"a","content":"keep me","color":"mint","createdAt":0}])";
    QVERIFY(writeBytes(notesPath(), bad));
    m_now = at(u"2025-03-01T20:05:09.750Z"_s);

    const QString base = notesPath() + u".corrupt-20250301T200509Z"_s;
    QStringList taken;
    for (int i = 0; i < takenNames; ++i) {
        taken.append(i == 0 ? base : base + u'-' + QString::number(i));
        QVERIFY(writeBytes(taken.last(), QByteArray("earlier " + QByteArray::number(i))));
    }

    const NotesFile::Loaded loaded = makeFile().load();
    QCOMPARE(loaded.status, NotesFile::Loaded::Status::Unreadable);
    QCOMPARE(loaded.movedTo, m_folder + u'/' + expectedName);
    QCOMPARE(readBytes(loaded.movedTo), bad);
    QVERIFY(!QFileInfo::exists(notesPath()));
    // Files moved aside by earlier runs are never written over.
    for (int i = 0; i < takenNames; ++i)
        QCOMPARE(readBytes(taken.at(i)), QByteArray("earlier " + QByteArray::number(i)));
}

void TestNotesFile::keepsFileThatCannotBeMovedAside_data()
{
    QTest::addColumn<bool>("readOnlyFolder"); // otherwise: a name too long for the kernel

    QTest::newRow("read-only folder") << true;
    QTest::newRow("moved-aside name too long") << false;
}

void TestNotesFile::keepsFileThatCannotBeMovedAside()
{
    QFETCH(bool, readOnlyFolder);
    if (readOnlyFolder && !StoreTest::permissionBitsBind())
        QSKIP("running as root, which renames files in a read-only folder all the same");

    const StoreTest::LongNameMessagesMuted muted;
    if (!readOnlyFolder) {
        m_folder = StoreTest::folderTooDeepToMoveAside(m_dir->path());
        if (m_folder.isEmpty())
            QSKIP("the file system refused the deep folder this case needs");
    }
    QVERIFY(QDir().mkpath(m_folder));
    const QByteArray bad = "not JSON at all";
    QVERIFY(writeBytes(notesPath(), bad));
    if (readOnlyFolder)
        QVERIFY(QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::ExeOwner));

    const NotesFile::Loaded loaded = makeFile().load();
    QCOMPARE(loaded.status, NotesFile::Loaded::Status::Unreadable);
    QVERIFY(!loaded.error.isEmpty());
    QVERIFY(loaded.movedTo.isEmpty());
    QCOMPARE(readBytes(notesPath()), bad);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"notes.json"_s});
}

void TestNotesFile::refusesWhatIsNotARegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("described"); // what the load's error calls it

    QTest::newRow("FIFO") << u"fifo"_s << u"named pipe"_s;
    QTest::newRow("link to a FIFO") << u"link to fifo"_s << u"named pipe"_s;
    QTest::newRow("link to /dev/zero") << u"link to /dev/zero"_s << u"device"_s;
    QTest::newRow("socket") << u"socket"_s << u"socket"_s;
    QTest::newRow("folder") << u"folder"_s << u"folder"_s;
}

// Only a regular file is read. Anything else at the name is unreadable, which the load must
// find out without blocking (a FIFO's open waits for a writer) or reading for ever
// (/dev/zero), and moves aside like any unreadable file.
void TestNotesFile::refusesWhatIsNotARegularFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, described);
    QVERIFY(QDir().mkpath(m_folder));
    const QString fifo = m_dir->filePath(u"pipe"_s);
    int socket = -1;
    const auto closeSocket = qScopeGuard([&socket] {
        if (socket >= 0)
            ::close(socket);
    });
    if (kind == u"fifo"_s) {
        QVERIFY(::mkfifo(QFile::encodeName(notesPath()).constData(), 0600) == 0);
    } else if (kind == u"link to fifo"_s) {
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(QFile::link(fifo, notesPath()));
    } else if (kind == u"link to /dev/zero"_s) {
        QVERIFY(QFile::link(u"/dev/zero"_s, notesPath()));
    } else if (kind == u"socket"_s) {
        socket = bindSocket(notesPath());
        QVERIFY(socket >= 0);
    } else {
        QVERIFY(QDir().mkdir(notesPath()));
    }
    const mode_t before = kindAt(notesPath());

    auto loading = std::async(std::launch::async, [this] { return makeFile().load(); });
    if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        releaseFifoReader(notesPath());
        releaseFifoReader(fifo);
        loading.wait();
        QFAIL("the load blocked");
    }
    const NotesFile::Loaded loaded = loading.get();
    QCOMPARE(loaded.status, NotesFile::Loaded::Status::Unreadable);
    QVERIFY2(loaded.error.contains(described), qPrintable(loaded.error));
    QVERIFY2(loaded.error.contains(u"not a regular file"_s), qPrintable(loaded.error));
    // Kept aside as it was, never deleted: the same kind of thing now has the other name.
    QVERIFY(!loaded.movedTo.isEmpty());
    QCOMPARE(kindAt(notesPath()), mode_t(0));
    QCOMPARE(kindAt(loaded.movedTo), before);
}

void TestNotesFile::refusesFileOverLimit()
{
    // A sparse file: one byte over the limit without writing a quarter of a gigabyte.
    QVERIFY(QDir().mkpath(m_folder));
    QFile big(notesPath());
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(NotesFile::maxFileBytes + 1));
    big.close();

    const NotesFile::Loaded loaded = makeFile().load();
    QCOMPARE(loaded.status, NotesFile::Loaded::Status::Unreadable);
    QVERIFY2(loaded.error.contains(u"larger than 256 MiB"_s), qPrintable(loaded.error));
    QVERIFY(!loaded.movedTo.isEmpty());
    QCOMPARE(QFileInfo(loaded.movedTo).size(), NotesFile::maxFileBytes + 1);
}

void TestNotesFile::backsUpBeforeFirstSaveOfLocalDay()
{
    const auto stack = [](const QString &text) { return QList<NoteCard>{card(u"c"_s, text)}; };
    NotesFile file = makeFile();

    // 23:00 local on 1 March. There is no earlier file, so nothing to back up.
    m_now = at(u"2025-03-01T13:00:00Z"_s);
    QVERIFY(file.save(stack(u"A"_s)).ok());
    m_now = at(u"2025-03-01T13:59:00Z"_s);
    QVERIFY(file.save(stack(u"B"_s)).ok());
    QCOMPARE(QDir(m_folder + u"/backups"_s).entryList(QDir::Files), QStringList());

    // 00:01 local on 2 March, still 1 March in UTC: a new day begins by keeping the state
    // the day started from.
    m_now = at(u"2025-03-01T14:01:00Z"_s);
    QVERIFY(file.save(stack(u"C"_s)).ok());
    QCOMPARE(readBytes(backupPath(u"2025-03-02"_s)), NoteJSON::encodeCards(stack(u"B"_s)));
    QCOMPARE(readBytes(notesPath()), NoteJSON::encodeCards(stack(u"C"_s)));
    QCOMPARE(modeOf(backupPath(u"2025-03-02"_s)), 0600);

    // Later saves of the same day leave the day's backup alone.
    m_now = at(u"2025-03-01T20:00:00Z"_s);
    QVERIFY(file.save(stack(u"D"_s)).ok());
    QCOMPARE(readBytes(backupPath(u"2025-03-02"_s)), NoteJSON::encodeCards(stack(u"B"_s)));
    QCOMPARE(QDir(m_folder + u"/backups"_s).entryList(QDir::Files),
             QStringList{u"notes-2025-03-02.json"_s});
}

void TestNotesFile::keepsBackupOfEarlierRun()
{
    // An earlier run of the same day already kept the day's first state; a restart must not
    // replace it with a later one.
    QVERIFY(QDir().mkpath(m_folder + u"/backups"_s));
    QVERIFY(writeBytes(notesPath(), NoteJSON::encodeCards({card(u"c"_s, u"later"_s)})));
    QVERIFY(writeBytes(backupPath(u"2025-03-02"_s), "first state of the day"));
    m_now = at(u"2025-03-01T20:00:00Z"_s);

    NotesFile file = makeFile();
    const QList<NoteCard> latest{card(u"c"_s, u"latest"_s)};
    QVERIFY(file.save(latest).ok());
    QCOMPARE(readBytes(backupPath(u"2025-03-02"_s)), QByteArray("first state of the day"));
    QCOMPARE(readBytes(notesPath()), NoteJSON::encodeCards(latest));
}

void TestNotesFile::keepsNewestSevenBackups_data()
{
    QTest::addColumn<QStringList>("earlierDays");
    QTest::addColumn<QStringList>("keptDays");

    QTest::newRow("fewer than seven")
        << QStringList{u"2025-02-27"_s, u"2025-02-28"_s, u"2025-03-01"_s}
        << QStringList{u"2025-02-27"_s, u"2025-02-28"_s, u"2025-03-01"_s, u"2025-03-02"_s};
    const QStringList lastWeek{u"2025-02-24"_s, u"2025-02-25"_s, u"2025-02-26"_s,
                               u"2025-02-27"_s, u"2025-02-28"_s, u"2025-03-01"_s};
    QTest::newRow("seven with today's") << lastWeek << (lastWeek + QStringList{u"2025-03-02"_s});
    QTest::newRow("oldest go") << (QStringList{u"2025-02-20"_s, u"2025-02-22"_s, u"2025-02-23"_s} +
                                   lastWeek)
                               << (lastWeek + QStringList{u"2025-03-02"_s});
    QTest::newRow("across a new year")
        << QStringList{u"2024-12-29"_s, u"2024-12-30"_s, u"2024-12-31"_s, u"2025-01-01"_s,
                       u"2025-01-02"_s, u"2025-01-03"_s, u"2025-01-04"_s, u"2025-02-01"_s}
        << QStringList{u"2024-12-31"_s, u"2025-01-01"_s, u"2025-01-02"_s, u"2025-01-03"_s,
                       u"2025-01-04"_s, u"2025-02-01"_s, u"2025-03-02"_s};
}

void TestNotesFile::keepsNewestSevenBackups()
{
    QFETCH(QStringList, earlierDays);
    QFETCH(QStringList, keptDays);

    const QString backups = m_folder + u"/backups"_s;
    QVERIFY(QDir().mkpath(backups));
    for (const QString &day : earlierDays)
        QVERIFY(writeBytes(backupPath(day), day.toUtf8()));
    // Files that only look like backups belong to the user and are never pruned.
    const QStringList unrelated{u"notes-old.json"_s,
                                u"readme.txt"_s,
                                u"notes-2000-01-01.json.bak"_s,
                                u"notes-2000-1-1.json"_s,
                                u"Notes-2000-01-01.json"_s,
                                u"notes-2000-01-01.jsonx"_s};
    for (const QString &name : unrelated)
        QVERIFY(writeBytes(backups + u'/' + name, name.toUtf8()));
    QVERIFY(QDir().mkpath(backups + u"/notes-2000-01-02.json"_s)); // a folder, not a backup
    QVERIFY(writeBytes(notesPath(), NoteJSON::encodeCards({card(u"c"_s, u"yesterday"_s)})));

    m_now = at(u"2025-03-01T20:00:00Z"_s); // 2 March, local
    NotesFile file = makeFile();
    QVERIFY(file.save({card(u"c"_s, u"today"_s)}).ok());

    QStringList expected;
    for (const QString &day : keptDays)
        expected.append(u"notes-"_s + day + u".json"_s);
    expected += unrelated;
    expected.sort();
    QCOMPARE(QDir(backups).entryList(QDir::Files), expected);
    for (const QString &day : keptDays) {
        if (day != u"2025-03-02"_s)
            QCOMPARE(readBytes(backupPath(day)), day.toUtf8());
    }
    for (const QString &name : unrelated)
        QCOMPARE(readBytes(backups + u'/' + name), name.toUtf8());
    QVERIFY(QFileInfo(backups + u"/notes-2000-01-02.json"_s).isDir());
}

void TestNotesFile::failedSaveKeepsDaysBackupDue_data()
{
    QTest::addColumn<Breakage>("breakage");

    QTest::newRow("read-only folder") << Breakage::ReadOnlyFolder;
    QTest::newRow("folder replaced by a file") << Breakage::FolderReplacedByFile;
}

void TestNotesFile::failedSaveKeepsDaysBackupDue()
{
    QFETCH(Breakage, breakage);
    if (breakage == Breakage::ReadOnlyFolder && !StoreTest::permissionBitsBind())
        QSKIP("running as root, which writes into a read-only folder all the same");

    const QList<NoteCard> yesterday{card(u"c"_s, u"yesterday"_s)};
    NotesFile file = makeFile();
    QVERIFY(file.save(yesterday).ok());

    // The next day's first save fails: nothing on disk changed, so the state the day
    // started from still has to be kept before the first save that does replace it.
    m_now = at(u"2025-03-01T20:00:00Z"_s); // 2 March, local
    const QString away = m_dir->path() + u"/away"_s;
    if (breakage == Breakage::ReadOnlyFolder) {
        QVERIFY(QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QVERIFY(QDir().rename(m_folder, away));
        QVERIFY(writeBytes(m_folder, "in the way"));
    }
    QVERIFY(!file.save({card(u"c"_s, u"lost"_s)}).ok());

    if (breakage == Breakage::ReadOnlyFolder) {
        QVERIFY(QFile::setPermissions(m_folder,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    } else {
        QVERIFY(QFile::remove(m_folder));
        QVERIFY(QDir().rename(away, m_folder));
    }
    const QList<NoteCard> today{card(u"c"_s, u"today"_s)};
    QVERIFY(file.save(today).ok());
    QCOMPARE(readBytes(notesPath()), NoteJSON::encodeCards(today));
    QCOMPARE(readBytes(backupPath(u"2025-03-02"_s)), NoteJSON::encodeCards(yesterday));
}

// A FIFO put at the name while Pinlark runs: the day's backup must neither block in it nor
// copy it. The save itself goes on, and the one description of the save says what happened.
void TestNotesFile::backsUpOnlyARegularFile()
{
    QVERIFY(QDir().mkpath(m_folder));
    QVERIFY(::mkfifo(QFile::encodeName(notesPath()).constData(), 0600) == 0);
    m_now = at(u"2025-03-01T20:00:00Z"_s); // 2 March, local

    const QList<NoteCard> today{card(u"c"_s, u"today"_s)};
    auto saving = std::async(std::launch::async, [this, today] {
        NotesFile file = makeFile();
        return file.save(today);
    });
    if (saving.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        releaseFifoReader(notesPath());
        saving.wait();
        QFAIL("the backup blocked");
    }
    const Result<bool> saved = saving.get();
    QVERIFY(!saved.ok());
    QVERIFY2(saved.error().contains(u"backup"_s) && saved.error().contains(u"named pipe"_s),
             qPrintable(saved.error()));
    QCOMPARE(readBytes(notesPath()), NoteJSON::encodeCards(today));
    QVERIFY(!QFileInfo::exists(backupPath(u"2025-03-02"_s)));
}

void TestNotesFile::describesEveryFailureOfASaveAtOnce()
{
    // A folder at the notes' name: neither the day's backup can copy it nor the save replace
    // it, for every user, root too.
    QVERIFY(QDir().mkpath(notesPath()));

    NotesFile file = makeFile();
    const Result<bool> saved = file.save({card(u"c"_s, u"lost"_s)});
    QVERIFY(!saved.ok());
    QVERIFY2(saved.error().contains(u"backup"_s), qPrintable(saved.error()));
    QVERIFY2(saved.error().startsWith(notesPath() + u": "_s), qPrintable(saved.error()));
    QVERIFY(QFileInfo(notesPath()).isDir());
}

// The daily backups, newest first, each with its count of cards; one that cannot be used is
// listed with the reason. Nothing else in the folder is a backup.
void TestNotesFile::listsDailyBackupsNewestFirst()
{
    const QString backups = m_folder + u"/backups"_s;
    QVERIFY(QDir().mkpath(backups));
    QVERIFY(
        writeBytes(backupPath(u"2025-02-27"_s), NoteJSON::encodeCards({card(u"a"_s, u"one"_s)})));
    QVERIFY(writeBytes(backupPath(u"2025-03-01"_s),
                       NoteJSON::encodeCards({card(u"a"_s, u"one"_s), card(u"b"_s, u"two"_s),
                                              card(u"c"_s, u"three"_s)})));
    QVERIFY(writeBytes(backupPath(u"2025-02-28"_s), "{ not a stack"));
    QVERIFY(writeBytes(backupPath(u"2025-02-26"_s), NoteJSON::encodeCards({})));
    const QByteArray stack = NoteJSON::encodeCards({card(u"x"_s, u"x"_s)});
    for (const QString &name :
         {u"notes-old.json"_s, u"notes-2025-03-02.json.bak"_s,
          u"notes-before-restore-2025-03-02-101500.json"_s, u"notes-2025-02-30.json"_s})
        QVERIFY(writeBytes(backups + u'/' + name, stack));
    QVERIFY(QDir().mkpath(backupPath(u"2025-03-02"_s))); // a folder, not a backup

    const QList<NotesFile::Backup> listed = makeFile().listBackups();
    QList<QDate> days;
    QList<qsizetype> counts;
    for (const NotesFile::Backup &backup : listed) {
        days.append(backup.day);
        counts.append(backup.cardCount);
        QCOMPARE(backup.path, backupPath(backup.day.toString(u"yyyy-MM-dd"_s)));
    }
    QCOMPARE(days, (QList<QDate>{QDate(2025, 3, 1), QDate(2025, 2, 28), QDate(2025, 2, 27),
                                 QDate(2025, 2, 26)}));
    QCOMPARE(counts, (QList<qsizetype>{3, 0, 1, 0}));
    QVERIFY(listed.at(0).error.isEmpty());
    QVERIFY2(listed.at(1).error.contains(backupPath(u"2025-02-28"_s)),
             qPrintable(listed.at(1).error));
    QVERIFY(listed.at(2).error.isEmpty());
    QVERIFY(listed.at(3).error.isEmpty());
    // Listing reads and never moves: the unreadable one stays where it is.
    QCOMPARE(readBytes(backupPath(u"2025-02-28"_s)), QByteArray("{ not a stack"));
}

// A FIFO under a backup's name is listed as unreadable without the listing waiting for a
// writer; a readable backup beside it still counts.
void TestNotesFile::listsWhatIsNotARegularFileUnopened()
{
    QVERIFY(QDir().mkpath(m_folder + u"/backups"_s));
    const QString fifo = backupPath(u"2025-03-01"_s);
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QVERIFY(writeBytes(backupPath(u"2025-02-28"_s),
                       NoteJSON::encodeCards({card(u"a"_s, u"one"_s), card(u"b"_s, u"two"_s)})));

    auto listing = std::async(std::launch::async, [this] { return makeFile().listBackups(); });
    if (listing.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        releaseFifoReader(fifo);
        listing.wait();
        QFAIL("the listing blocked");
    }
    const QList<NotesFile::Backup> listed = listing.get();
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed.at(0).day, QDate(2025, 3, 1));
    QVERIFY2(listed.at(0).error.contains(u"named pipe"_s), qPrintable(listed.at(0).error));
    QCOMPARE(listed.at(1).cardCount, 2);
    QVERIFY(listed.at(1).error.isEmpty());
    QCOMPARE(kindAt(fifo), mode_t(S_IFIFO));
}

void TestNotesFile::copiesBeforeRestoreApartFromDailies_data()
{
    QTest::addColumn<int>("earlierCopies");
    QTest::addColumn<int>("keptCopies");

    QTest::newRow("first") << 0 << 1;
    QTest::newRow("seven with this one") << 6 << 7;
    QTest::newRow("oldest go") << 9 << 7;
}

// Each restore first copies the notes file aside, private and whole, under a name of its
// own. Those copies are pruned to the newest seven among themselves and leave the daily
// backups alone, however many restores there are.
void TestNotesFile::copiesBeforeRestoreApartFromDailies()
{
    QFETCH(int, earlierCopies);
    QFETCH(int, keptCopies);

    const QString backups = m_folder + u"/backups"_s;
    QVERIFY(QDir().mkpath(backups));
    QStringList dailies;
    for (int day = 20; day <= 26; ++day) {
        const QString name = u"notes-2025-02-"_s + QString::number(day) + u".json"_s;
        dailies.append(name);
        QVERIFY(writeBytes(backups + u'/' + name, name.toUtf8()));
    }
    QStringList copies;
    for (int i = 0; i < earlierCopies; ++i) {
        // Earlier in the same day, and a day before, in a mixed order of writing.
        const QString name = u"notes-before-restore-2025-02-2"_s + QString::number(7 + i % 2) +
                             u"-0"_s + QString::number(i) + u"0000.json"_s;
        copies.append(name);
        QVERIFY(writeBytes(backups + u'/' + name, name.toUtf8()));
    }
    const QByteArray current = NoteJSON::encodeCards({card(u"c"_s, u"now"_s)});
    QVERIFY(writeBytes(notesPath(), current));

    m_now = at(u"2025-03-01T01:02:03Z"_s); // 11:02:03 on 1 March, local
    NotesFile file = makeFile();
    const Result<QString> copy = file.backUpBeforeRestore();
    if (!copy)
        QFAIL(qPrintable(copy.error()));
    QCOMPARE(copy.value(), backups + u"/notes-before-restore-2025-03-01-110203.json"_s);
    QCOMPARE(readBytes(copy.value()), current);
    QCOMPARE(modeOf(copy.value()), 0600);
    QCOMPARE(readBytes(notesPath()), current);

    copies.append(QFileInfo(copy.value()).fileName());
    copies.sort();
    const QStringList keptNames = copies.mid(copies.size() - keptCopies);
    QStringList expected = dailies + keptNames;
    expected.sort();
    QCOMPARE(QDir(backups).entryList(QDir::Files), expected);
    // The daily backups are as they were, and a day's backup is still due.
    for (const QString &name : dailies)
        QCOMPARE(readBytes(backups + u'/' + name), name.toUtf8());
    // The day's backup that follows pushes out the oldest day, and no copy.
    QVERIFY(file.save({card(u"c"_s, u"later"_s)}).ok());
    QCOMPARE(readBytes(backupPath(u"2025-03-01"_s)), current);
    expected = dailies.mid(1) + QStringList{u"notes-2025-03-01.json"_s} + keptNames;
    expected.sort();
    QCOMPARE(QDir(backups).entryList(QDir::Files), expected);
}

QTEST_GUILESS_MAIN(TestNotesFile)
#include "tst_notesfile.moc"
