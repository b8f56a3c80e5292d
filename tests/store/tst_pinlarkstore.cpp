#include "model/NoteJSON.h"
#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaProperty>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::modeOf;
using StoreTest::readBytes;
using StoreTest::writeBytes;

using StoreAction = std::function<void(PinlarkStore &)>;
using OptionalString = std::optional<QString>;

namespace {

const QString loadPrefix = u"Pinlark: error loading notes, starting fresh: "_s;
const QString savePrefix = u"Pinlark: error saving notes: "_s;

qsizetype countStartingWith(const QStringList &lines, const QString &prefix)
{
    return std::count_if(lines.cbegin(), lines.cend(),
                         [&](const QString &line) { return line.startsWith(prefix); });
}

// Cards "c0", "c1", ... with the given texts, unpinned, edited one second apart in order.
QList<NoteCard> cardsWith(const QStringList &contents)
{
    QList<NoteCard> cards;
    for (qsizetype i = 0; i < contents.size(); ++i)
        cards.append(card(u"c"_s + QString::number(i), contents.at(i), 100.0 + double(i)));
    return cards;
}

QStringList contentsOf(const QList<NoteCard> &cards)
{
    QStringList contents;
    for (const NoteCard &each : cards)
        contents.append(each.content);
    return contents;
}

QStringList idsOf(const QList<NoteCard> &cards)
{
    QStringList ids;
    for (const NoteCard &each : cards)
        ids.append(each.id);
    return ids;
}

const QRegularExpression &cardIdPattern()
{
    static const QRegularExpression pattern(u"^card_[0-9A-F]{8}$"_s);
    return pattern;
}

// The debounce is 0.4 s, and the longest a stack waits while edits keep coming is 1 s:
// written here as numbers, not taken from the store, so a changed constant fails the tests.
constexpr int debounceMs = 400;
constexpr int longestWaitMs = 1000;
// These leave room for a loaded machine.
constexpr int debounceSettleMs = 700;
constexpr int debounceTimeoutMs = 5000;

} // namespace

class TestPinlarkStore final : public QObject
{
    Q_OBJECT

public:
    // How a test takes the notes folder away from the store.
    enum class Breakage { ParentIsFile, FolderReplacedByFile, ReadOnlyFolder };

private Q_SLOTS:
    void init();
    void cleanup();

    // Life cycle of the notes file.
    void startsWithWelcomeCard_data();
    void startsWithWelcomeCard();
    void loadsCardsWithoutRewriting();
    void startsFreshFromUnreadableFile_data();
    void startsFreshFromUnreadableFile();
    void neverOverwritesUnmovableFile_data();
    void neverOverwritesUnmovableFile();
    void keepsStackWhenFolderUnwritable_data();
    void keepsStackWhenFolderUnwritable();
    void backsUpByInjectedClock();

    // Debounced and immediate saves.
    void debouncesBurstOfRequests();
    void savesSoonAfterTheLastRequest();
    void savesSteadyTypingWithinTheLongestWait();
    void logsOneLinePerFailedSave();
    void immediateSaveCancelsPendingOne();
    void destroyedStoreDoesNotSave();

    // Change announcements.
    void announcesBeforeEachChange_data();
    void announcesBeforeEachChange();
    void addCardAnnouncesCardsThenFilterThenIndex();
    void tagViewsFollowEveryChange_data();
    void tagViewsFollowEveryChange();

    // Tag filter and navigation.
    void allTags_data();
    void allTags();
    void filtersByTag_data();
    void filtersByTag();
    void steps_data();
    void steps();
    void currentCardNeedsValidIndex_data();
    void currentCardNeedsValidIndex();

    // Editing the current card.
    void addCardAppendsFreshCard();
    void deleteCurrentCard_data();
    void deleteCurrentCard();
    void updateCurrentCard_data();
    void updateCurrentCard();
    void setCurrentCardColor_data();
    void setCurrentCardColor();
    void togglePinSortsStack_data();
    void togglePinSortsStack();
    void toggleChecklist_data();
    void toggleChecklist();
    void invalidIndexChangesNothing_data();
    void invalidIndexChangesNothing();

private:
    [[nodiscard]] std::unique_ptr<PinlarkStore> makeStore();
    // Writes `cards` as the notes file and starts a store on it, with fresh fakes.
    [[nodiscard]] std::unique_ptr<PinlarkStore> storeWith(const QList<NoteCard> &cards);
    [[nodiscard]] QString notesPath() const { return m_folder + u"/notes.json"_s; }
    [[nodiscard]] QByteArray notesBytes() const { return readBytes(notesPath()); }
    void breakFolder(Breakage breakage);
    void repairFolder(Breakage breakage);

    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
    RecordingSoundPlayer m_sounds;
    QStringList m_log;
    Timestamp m_now;
};

void TestPinlarkStore::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + u"/Pinlark"_s;
    m_sounds.played.clear();
    m_log.clear();
    m_now = Timestamp{1000.0};
}

void TestPinlarkStore::cleanup()
{
    // A test that made the folder read-only gives it back before the temporary tree goes.
    if (QFileInfo(m_folder).isDir())
        QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

std::unique_ptr<PinlarkStore> TestPinlarkStore::makeStore()
{
    PinlarkStore::Environment environment;
    environment.sounds = &m_sounds;
    environment.notesFolder = m_folder;
    environment.clock = [this] { return m_now; };
    environment.log = [this](const QString &line) { m_log.append(line); };
    return std::make_unique<PinlarkStore>(std::move(environment));
}

std::unique_ptr<PinlarkStore> TestPinlarkStore::storeWith(const QList<NoteCard> &cards)
{
    if (!QDir().mkpath(m_folder) || !writeBytes(notesPath(), NoteJSON::encodeCards(cards)))
        qFatal("cannot write the notes file of a test");
    auto store = makeStore();
    m_log.clear();
    m_sounds.played.clear();
    return store;
}

void TestPinlarkStore::breakFolder(Breakage breakage)
{
    switch (breakage) {
    case Breakage::ParentIsFile:
        // A regular file where a parent folder should be stops every user, root too.
        QVERIFY(writeBytes(m_dir->path() + u"/blocker"_s, "in the way"));
        break;
    case Breakage::FolderReplacedByFile:
        QVERIFY(QDir().rename(m_folder, m_dir->path() + u"/away"_s));
        QVERIFY(writeBytes(m_folder, "in the way"));
        break;
    case Breakage::ReadOnlyFolder:
        QVERIFY(QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::ExeOwner));
        break;
    }
}

void TestPinlarkStore::repairFolder(Breakage breakage)
{
    switch (breakage) {
    case Breakage::ParentIsFile:
        QVERIFY(QFile::remove(m_dir->path() + u"/blocker"_s));
        break;
    case Breakage::FolderReplacedByFile:
        QVERIFY(QFile::remove(m_folder));
        QVERIFY(QDir().rename(m_dir->path() + u"/away"_s, m_folder));
        break;
    case Breakage::ReadOnlyFolder:
        QVERIFY(QFile::setPermissions(m_folder,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        break;
    }
}

// Life cycle

void TestPinlarkStore::startsWithWelcomeCard_data()
{
    QTest::addColumn<QByteArray>("contents"); // null: no notes folder at all

    QTest::newRow("first start, no folder") << QByteArray();
    QTest::newRow("empty array") << QByteArray("[]");
}

void TestPinlarkStore::startsWithWelcomeCard()
{
    QFETCH(QByteArray, contents);
    if (contents.isNull()) {
        m_folder = m_dir->path() + u"/data/Pinlark"_s; // its parent is missing too
    } else {
        QVERIFY(QDir().mkpath(m_folder));
        QVERIFY(writeBytes(notesPath(), contents));
    }

    const auto store = makeStore();
    QCOMPARE(store->cards().size(), 1);
    const NoteCard welcome = store->cards().first();
    QCOMPARE(welcome.content, NoteCard::welcomeText());
    QCOMPARE(welcome.isPinned, std::optional<bool>(true));
    QCOMPARE(welcome.color, u"yellow"_s);
    QCOMPARE(store->activeIndex(), 0);
    QVERIFY(m_log.isEmpty());
    QVERIFY(m_sounds.played.isEmpty());

    // Written at once, so the next start finds the same card.
    QVERIFY(!store->hasPendingSave());
    if (contents.isNull())
        QCOMPARE(modeOf(m_folder), 0700);
    QCOMPARE(modeOf(notesPath()), 0600);
    const auto written = NoteJSON::decodeCards(notesBytes());
    QVERIFY(written.ok());
    QCOMPARE(written.value().size(), 1);
    QCOMPARE(written.value().first().id, welcome.id);
    QCOMPARE(written.value().first().content, welcome.content);
    QCOMPARE(written.value().first().isPinned, std::optional<bool>(true));
}

void TestPinlarkStore::loadsCardsWithoutRewriting()
{
    // File order is kept as it is, though pin order would put the second card first.
    const QList<NoteCard> cards{card(u"old"_s, u"unpinned #a"_s, 100, false),
                                card(u"new"_s, u"pinned"_s, 300, true),
                                card(u"bare"_s, u"no pin member"_s, 200, std::nullopt)};
    // Indented on purpose: any rewrite by the store would come out compact.
    const QByteArray indented =
        QJsonDocument(NoteJSON::cardsToJson(cards)).toJson(QJsonDocument::Indented);
    QVERIFY(QDir().mkpath(m_folder));
    QVERIFY(writeBytes(notesPath(), indented));
    const QDateTime longAgo(QDate(2020, 1, 1), QTime(12, 0), Qt::UTC);
    {
        QFile file(notesPath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }

    const auto store = makeStore();
    QCOMPARE(store->cards(), cards);
    QCOMPARE(store->activeIndex(), 0);
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), indented);
    QCOMPARE(QFileInfo(notesPath()).lastModified().toUTC(), longAgo);
    QVERIFY(!QFileInfo::exists(m_folder + u"/backups"_s));
    QVERIFY(m_log.isEmpty());
}

void TestPinlarkStore::startsFreshFromUnreadableFile_data()
{
    QTest::addColumn<QByteArray>("contents"); // null: a folder named notes.json

    QTest::newRow("second card lacks updatedAt")
        << QByteArray(R"([{"id":"a","content":"kept","color":"mint","createdAt":0,"updatedAt":0},)"
                      R"({"id":"b","content":"bad","color":"mint","createdAt":0}])");
    QTest::newRow("not JSON") << QByteArray("{ half a card");
    QTest::newRow("folder named notes.json") << QByteArray();
}

void TestPinlarkStore::startsFreshFromUnreadableFile()
{
    QFETCH(QByteArray, contents);
    QVERIFY(QDir().mkpath(m_folder));
    if (contents.isNull())
        QVERIFY(QDir().mkpath(notesPath()));
    else
        QVERIFY(writeBytes(notesPath(), contents));
    m_now = *NoteJSON::parseIsoString(u"2025-03-01T09:15:02.125Z"_s);

    const auto store = makeStore();
    QCOMPARE(store->cards().size(), 1);
    QCOMPARE(store->cards().first().content, NoteCard::welcomeText());
    QCOMPARE(store->activeIndex(), 0);

    // One line, naming where the unreadable file went so the user can recover it.
    const QString movedTo = notesPath() + u".corrupt-20250301T091502Z"_s;
    QCOMPARE(m_log.size(), 1);
    QVERIFY2(m_log.first().startsWith(loadPrefix), qPrintable(m_log.first()));
    QVERIFY2(m_log.first().contains(movedTo), qPrintable(m_log.first()));
    if (contents.isNull())
        QVERIFY(QFileInfo(movedTo).isDir());
    else
        QCOMPARE(readBytes(movedTo), contents);

    // With the old file safe, the fresh stack is written in its place.
    const auto written = NoteJSON::decodeCards(notesBytes());
    QVERIFY(written.ok());
    QCOMPARE(idsOf(written.value()), idsOf(store->cards()));
}

void TestPinlarkStore::neverOverwritesUnmovableFile_data()
{
    QTest::addColumn<bool>("readOnlyFolder"); // otherwise: a name too long for the kernel

    QTest::newRow("read-only folder") << true;
    QTest::newRow("moved-aside name too long") << false;
}

void TestPinlarkStore::neverOverwritesUnmovableFile()
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
    const QByteArray bad = R"([{"id":"a","content":"only copy","color":"mint"}])";
    QVERIFY(writeBytes(notesPath(), bad));
    if (readOnlyFolder)
        QVERIFY(QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::ExeOwner));

    const auto store = makeStore();
    QCOMPARE(store->cards().size(), 1);
    QCOMPARE(store->cards().first().content, NoteCard::welcomeText());
    QCOMPARE(m_log.size(), 1);
    QVERIFY2(m_log.first().startsWith(loadPrefix), qPrintable(m_log.first()));

    // From here on a write would succeed; only the store's refusal protects the file.
    if (readOnlyFolder)
        QVERIFY(QFile::setPermissions(m_folder,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_log.clear();
    store->saveNotesImmediately();
    QCOMPARE(m_log.size(), 1);
    store->addCard();
    QCOMPARE(m_log.size(), 2);
    store->updateCurrentCard(u"typed"_s);
    QTRY_COMPARE_WITH_TIMEOUT(m_log.size(), 3, debounceTimeoutMs);
    QCOMPARE(countStartingWith(m_log, savePrefix), 3);

    QCOMPARE(notesBytes(), bad);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"notes.json"_s});
    QCOMPARE(store->cards().size(), 2); // the edits live on in memory
}

void TestPinlarkStore::keepsStackWhenFolderUnwritable_data()
{
    QTest::addColumn<Breakage>("breakage");

    QTest::newRow("parent is a file from the start") << Breakage::ParentIsFile;
    QTest::newRow("folder replaced by a file") << Breakage::FolderReplacedByFile;
    QTest::newRow("read-only folder") << Breakage::ReadOnlyFolder;
}

void TestPinlarkStore::keepsStackWhenFolderUnwritable()
{
    QFETCH(Breakage, breakage);
    if (breakage == Breakage::ReadOnlyFolder && !StoreTest::permissionBitsBind())
        QSKIP("running as root, which writes into a read-only folder all the same");

    std::unique_ptr<PinlarkStore> store;
    if (breakage == Breakage::ParentIsFile) {
        m_folder = m_dir->path() + u"/blocker/Pinlark"_s;
        breakFolder(breakage);
        store = makeStore();
        // The first start's save of the welcome card is the first failure.
        QCOMPARE(countStartingWith(m_log, savePrefix), 1);
        QCOMPARE(store->cards().size(), 1);
    } else {
        store = storeWith(cardsWith({u"one"_s, u"two"_s}));
        breakFolder(breakage);
    }
    if (QTest::currentTestFailed())
        return;
    m_log.clear();

    const QList<NoteCard> before = store->cards();
    store->saveNotesImmediately();
    QCOMPARE(countStartingWith(m_log, savePrefix), 1);
    QCOMPARE(store->cards(), before);

    store->addCard();
    QCOMPARE(countStartingWith(m_log, savePrefix), 2);
    QCOMPARE(store->cards().size(), before.size() + 1);

    store->updateCurrentCard(u"typed while failing"_s);
    QTRY_COMPARE_WITH_TIMEOUT(countStartingWith(m_log, savePrefix), 3, debounceTimeoutMs);
    QCOMPARE(store->cards().last().content, u"typed while failing"_s);
    QCOMPARE(store->cards().first(), before.first());

    // Nothing is retried on its own; the next save that works writes the whole stack.
    repairFolder(breakage);
    store->saveNotesImmediately();
    QCOMPARE(countStartingWith(m_log, savePrefix), 3);
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
}

void TestPinlarkStore::backsUpByInjectedClock()
{
    const QByteArray original = NoteJSON::encodeCards(cardsWith({u"before"_s}));
    auto store = storeWith(cardsWith({u"before"_s}));

    // A day far from today: the backup's name can only come from the store's clock.
    const QDateTime day(QDate(2031, 7, 4), QTime(12, 0), Qt::LocalTime);
    m_now = Timestamp::fromDateTime(day);
    store->addCard();
    QCOMPARE(readBytes(m_folder + u"/backups/notes-2031-07-04.json"_s), original);
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
}

// Saving

void TestPinlarkStore::debouncesBurstOfRequests()
{
    auto store = storeWith(cardsWith({u"start"_s}));
    const QByteArray untouched = notesBytes();

    // Each request comes with a different stack, so any early write would show on disk.
    QElapsedTimer sinceLast;
    for (int i = 1; i <= 3; ++i) {
        store->setCards(cardsWith({u"keystroke "_s + QString::number(i)}));
        store->saveNotes();
        sinceLast.start();
        QVERIFY(store->hasPendingSave());
        if (i < 3) {
            QTest::qWait(100);
            QCOMPARE(notesBytes(), untouched);
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(notesBytes() != untouched, debounceTimeoutMs);
    const qint64 waited = sinceLast.elapsed();
    QVERIFY2(waited >= 300, qPrintable(u"written %1 ms after the last request"_s.arg(waited)));
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(cardsWith({u"keystroke 3"_s})));
    QVERIFY(!store->hasPendingSave());

    // One write only: a later timer would write this newer stack.
    store->setCards(cardsWith({u"not saved"_s}));
    QTest::qWait(debounceSettleMs);
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(cardsWith({u"keystroke 3"_s})));
}

// The debounce waits 0.4 s, not longer: a longer pause puts more typing at risk. A loaded
// machine can delay any one timer, so the bound must hold in one of a few tries; a longer
// delay fails them all.
void TestPinlarkStore::savesSoonAfterTheLastRequest()
{
    auto store = storeWith(cardsWith({u"start"_s}));
    constexpr qint64 boundMs = debounceMs + 350;
    QList<qint64> delays;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const QByteArray before = notesBytes();
        store->setCards(cardsWith({u"attempt "_s + QString::number(attempt)}));
        store->saveNotes();
        QElapsedTimer sinceRequest;
        sinceRequest.start();
        while (notesBytes() == before && sinceRequest.elapsed() < debounceTimeoutMs)
            QTest::qWait(5);
        delays.append(sinceRequest.elapsed());
        if (delays.last() <= boundMs)
            break;
    }
    QString shown;
    for (const qint64 delay : delays)
        shown += QString::number(delay) + u" ms "_s;
    QVERIFY2(delays.last() <= boundMs, qPrintable(u"written after "_s + shown));
    QVERIFY2(delays.last() >= debounceMs - 50, qPrintable(u"written after "_s + shown));
}

// Keys that keep coming less than 0.4 s apart never give the debounce its pause: the stack is
// still written within the longest wait of the first unsaved key, and only when something
// changed.
void TestPinlarkStore::savesSteadyTypingWithinTheLongestWait()
{
    auto store = storeWith(cardsWith({u"start"_s}));
    // Each atomic save makes a new file, so a new inode counts a write, even of equal bytes.
    const auto inode = [this] {
        struct stat info = {};
        return ::stat(QFile::encodeName(notesPath()).constData(), &info) == 0 ? info.st_ino
                                                                              : ino_t(0);
    };
    QList<qint64> writes; // when, since the first key
    ino_t last = inode();
    const auto watch = [&](const QElapsedTimer &clock) {
        if (inode() != last) {
            last = inode();
            writes.append(clock.elapsed());
        }
    };

    QElapsedTimer sinceFirstKey;
    sinceFirstKey.start();
    int keys = 0;
    while (sinceFirstKey.elapsed() < 2500) {
        store->updateCurrentCard(u"typed "_s + QString::number(++keys));
        QTest::qWait(100);
        watch(sinceFirstKey);
    }
    QVERIFY2(!writes.isEmpty(), "nothing was written while the keys kept coming");
    QVERIFY2(writes.first() >= longestWaitMs - 150 && writes.first() <= longestWaitMs + 700,
             qPrintable(u"first write after %1 ms"_s.arg(writes.first())));
    QVERIFY2(writes.size() <= 3, qPrintable(u"%1 writes"_s.arg(writes.size())));

    // Once the keys stop, the debounce writes the last of them, and nothing more follows.
    const QString lastText = u"typed "_s + QString::number(keys);
    QTRY_VERIFY_WITH_TIMEOUT(
        NoteJSON::decodeCards(notesBytes()).value().first().content == lastText, debounceTimeoutMs);
    watch(sinceFirstKey);
    const qsizetype settled = writes.size();
    const QElapsedTimer idle = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    while (idle.elapsed() < longestWaitMs + 500) {
        QTest::qWait(50);
        watch(sinceFirstKey);
    }
    QCOMPARE(writes.size(), settled);
}

// However many things go wrong in one save (here the day's backup and the write, since a
// folder stands at the notes' name), the log gets one line.
void TestPinlarkStore::logsOneLinePerFailedSave()
{
    auto store = storeWith(cardsWith({u"start"_s}));
    QVERIFY(QFile::remove(notesPath()));
    QVERIFY(QDir().mkdir(notesPath()));

    store->saveNotesImmediately();
    QCOMPARE(m_log.size(), 1);
    QVERIFY2(m_log.first().startsWith(savePrefix), qPrintable(m_log.first()));
    QVERIFY2(m_log.first().contains(u"backup"_s), qPrintable(m_log.first()));
}

void TestPinlarkStore::immediateSaveCancelsPendingOne()
{
    auto store = storeWith(cardsWith({u"start"_s}));

    store->setCards(cardsWith({u"typed"_s}));
    store->saveNotes();
    QVERIFY(store->hasPendingSave());
    store->setCards(cardsWith({u"closed"_s}));
    store->saveNotesImmediately();
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(cardsWith({u"closed"_s})));
    QVERIFY(!store->hasPendingSave());

    // The cancelled timer must not write again.
    store->setCards(cardsWith({u"not saved"_s}));
    QTest::qWait(debounceSettleMs);
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(cardsWith({u"closed"_s})));
}

void TestPinlarkStore::destroyedStoreDoesNotSave()
{
    auto store = storeWith(cardsWith({u"start"_s}));
    const QByteArray untouched = notesBytes();

    store->updateCurrentCard(u"pending"_s);
    QVERIFY(store->hasPendingSave());
    store.reset(); // the owner decides about the last save; teardown never writes
    QTest::qWait(debounceSettleMs);
    QCOMPARE(notesBytes(), untouched);
    QVERIFY(m_log.isEmpty());
}

// Change announcements

void TestPinlarkStore::announcesBeforeEachChange_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("cards") << QByteArray("cards")
                           << QVariant::fromValue(cardsWith({u"replaced"_s}));
    QTest::newRow("activeIndex") << QByteArray("activeIndex") << QVariant::fromValue(qint64(1));
    QTest::newRow("passportCode") << QByteArray("passportCode")
                                  << QVariant::fromValue(u"PLK-ABC234"_s);
    QTest::newRow("isSyncing") << QByteArray("isSyncing") << QVariant::fromValue(true);
    QTest::newRow("showSync") << QByteArray("showSync") << QVariant::fromValue(true);
    QTest::newRow("syncStatusMessage") << QByteArray("syncStatusMessage")
                                       << QVariant::fromValue(OptionalString(u"Synced 2 cards!"_s));
    QTest::newRow("selectedTag") << QByteArray("selectedTag")
                                 << QVariant::fromValue(OptionalString(u"#work"_s));
}

void TestPinlarkStore::announcesBeforeEachChange()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    auto store = storeWith(cardsWith({u"one"_s, u"two"_s}));

    const QMetaObject *meta = store->metaObject();
    const QMetaProperty field = meta->property(meta->indexOfProperty(property.constData()));
    QVERIFY(field.isValid());
    QVERIFY(field.hasNotifySignal());
    const QVariant before = field.read(store.get());
    QVERIFY(before != value);

    QSignalSpy changed(store.get(), field.notifySignal());
    QVariantList seenWhenAnnounced;
    qsizetype changedWhenAnnounced = -1;
    connect(store.get(), &PinlarkStore::aboutToChange, this, [&] {
        seenWhenAnnounced.append(field.read(store.get()));
        changedWhenAnnounced = changed.size();
    });

    QVERIFY(field.write(store.get(), value));
    // Observers hear of the change while the old value is still in place...
    QCOMPARE(seenWhenAnnounced, QVariantList{before});
    QCOMPARE(changedWhenAnnounced, 0);
    // ...and then get the new one through the field's own signal.
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.first().first(), value);
    QCOMPARE(field.read(store.get()), value);
    // Assigning a field is not an edit: nothing is saved.
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(cardsWith({u"one"_s, u"two"_s})));
}

void TestPinlarkStore::addCardAnnouncesCardsThenFilterThenIndex()
{
    auto store = storeWith(cardsWith({u"#a one"_s, u"two"_s}));
    store->setSelectedTag(u"#a"_s);

    QStringList events;
    connect(store.get(), &PinlarkStore::aboutToChange, this, [&] { events << u"about"_s; });
    connect(store.get(), &PinlarkStore::cardsChanged, this, [&](const QList<NoteCard> &cards) {
        events << u"cards "_s + QString::number(cards.size());
    });
    connect(store.get(), &PinlarkStore::selectedTagChanged, this,
            [&](const OptionalString &tag) { events << u"tag "_s + tag.value_or(u"none"_s); });
    connect(store.get(), &PinlarkStore::activeIndexChanged, this,
            [&](qint64 index) { events << u"index "_s + QString::number(index); });

    store->addCard();
    QCOMPARE(events, (QStringList{u"about"_s, u"cards 3"_s, u"about"_s, u"tag none"_s, u"about"_s,
                                  u"index 2"_s}));
}

void TestPinlarkStore::tagViewsFollowEveryChange_data()
{
    QTest::addColumn<qint64>("activeIndex");
    QTest::addColumn<StoreAction>("action");
    QTest::addColumn<QStringList>("tags");
    QTest::addColumn<QList<qint64>>("taggedB"); // the cards tagged #b afterwards

    // The stack is "#a one", "#b two", "three", edited in that order.
    QTest::newRow("tag typed into a card")
        << qint64(2) << StoreAction([](PinlarkStore &s) { s.updateCurrentCard(u"three #b #c"_s); })
        << QStringList{u"#a"_s, u"#b"_s, u"#c"_s} << QList<qint64>{1, 2};
    QTest::newRow("tag typed away")
        << qint64(1) << StoreAction([](PinlarkStore &s) { s.updateCurrentCard(u"two"_s); })
        << QStringList{u"#a"_s} << QList<qint64>{};
    QTest::newRow("tag renamed") << qint64(1) << StoreAction([](PinlarkStore &s) {
        s.updateCurrentCard(u"#bee"_s);
    }) << QStringList{u"#a"_s, u"#bee"_s}
                                 << QList<qint64>{};
    QTest::newRow("checklist line")
        << qint64(1) << StoreAction([](PinlarkStore &s) { s.toggleChecklist(); })
        << QStringList{u"#a"_s, u"#b"_s} << QList<qint64>{1};
    QTest::newRow("tagged card deleted")
        << qint64(0) << StoreAction([](PinlarkStore &s) { s.deleteCurrentCard(); })
        << QStringList{u"#b"_s} << QList<qint64>{0};
    QTest::newRow("pin sort moves tags along")
        << qint64(0) << StoreAction([](PinlarkStore &s) { s.togglePinCurrentCard(); })
        << QStringList{u"#a"_s, u"#b"_s} << QList<qint64>{2};
    QTest::newRow("card added") << qint64(0) << StoreAction([](PinlarkStore &s) { s.addCard(); })
                                << QStringList{u"#a"_s, u"#b"_s} << QList<qint64>{1};
    QTest::newRow("stack replaced") << qint64(0) << StoreAction([](PinlarkStore &s) {
        s.setCards(cardsWith({u"#z"_s, u"#B again"_s}));
    }) << QStringList{u"#b"_s, u"#z"_s}
                                    << QList<qint64>{1};
}

void TestPinlarkStore::tagViewsFollowEveryChange()
{
    QFETCH(qint64, activeIndex);
    QFETCH(StoreAction, action);
    QFETCH(QStringList, tags);
    QFETCH(QList<qint64>, taggedB);

    auto store = storeWith(cardsWith({u"#a one"_s, u"#b two"_s, u"three"_s}));
    store->setActiveIndex(activeIndex);
    // Read the tag views first, so that the change has something stale to correct.
    store->setSelectedTag(u"#b"_s);
    QCOMPARE(store->allTags(), (QStringList{u"#a"_s, u"#b"_s}));
    QCOMPARE(store->activeCardIndices(), QList<qint64>{1});

    // A view redraws its tag chips and position when `cards` is announced; what it reads
    // then must already match the new stack.
    QStringList tagsWhenAnnounced;
    QList<qint64> taggedWhenAnnounced;
    // (Every action here announces `cards` while the filter is still #b.)
    bool cardsAnnounced = false;
    connect(store.get(), &PinlarkStore::cardsChanged, this, [&] {
        cardsAnnounced = true;
        tagsWhenAnnounced = store->allTags();
        taggedWhenAnnounced = store->activeCardIndices();
    });
    // Before that, observers are warned while the old stack is still in place.
    const QList<NoteCard> initial = store->cards();
    int warnings = 0;
    bool oldStackWhenWarned = true;
    connect(store.get(), &PinlarkStore::aboutToChange, this, [&] {
        if (cardsAnnounced)
            return;
        ++warnings;
        oldStackWhenWarned = oldStackWhenWarned && store->cards() == initial;
    });

    action(*store);
    QVERIFY(cardsAnnounced);
    QVERIFY(warnings > 0);
    QVERIFY(oldStackWhenWarned);
    QCOMPARE(tagsWhenAnnounced, tags);
    QCOMPARE(taggedWhenAnnounced, taggedB);

    store->setSelectedTag(u"#b"_s);
    QCOMPARE(store->allTags(), tags);
    QCOMPARE(store->activeCardIndices(), taggedB);
}

// Tag filter and navigation

void TestPinlarkStore::allTags_data()
{
    QTest::addColumn<QStringList>("contents"); // empty: the welcome card of a first start
    QTest::addColumn<QStringList>("tags");

    QTest::newRow("welcome card") << QStringList()
                                  << QStringList{u"#hashtags"_s, u"#ideas"_s, u"#todo"_s};
    // Plain code-point order: "-" before digits before "_" before letters, and a tag
    // before any longer tag it begins.
    QTest::newRow("byte order") << QStringList{u"#b"_s, u"#a-1"_s, u"#a"_s, u"#a_2"_s, u"#a2"_s}
                                << QStringList{u"#a"_s, u"#a-1"_s, u"#a2"_s, u"#a_2"_s, u"#b"_s};
    QTest::newRow("shared tag once")
        << QStringList{u"milk #todo"_s, u"#todo call"_s} << QStringList{u"#todo"_s};
    QTest::newRow("case folded once")
        << QStringList{u"#Work"_s, u"#WORK #work"_s} << QStringList{u"#work"_s};
    QTest::newRow("no tags") << QStringList{u"plain"_s, QString()} << QStringList();
}

void TestPinlarkStore::allTags()
{
    QFETCH(QStringList, contents);
    QFETCH(QStringList, tags);

    const auto store = contents.isEmpty() ? makeStore() : storeWith(cardsWith(contents));
    QCOMPARE(store->allTags(), tags);
}

void TestPinlarkStore::filtersByTag_data()
{
    QTest::addColumn<OptionalString>("filter");
    QTest::addColumn<qint64>("activeIndex");
    QTest::addColumn<QList<qint64>>("indices");
    QTest::addColumn<qint64>("position");

    // The stack: "plain", "#work a", "#home", "#WORK b", "#work #home".
    QTest::newRow("no filter") << OptionalString() << qint64(3) << QList<qint64>{0, 1, 2, 3, 4}
                               << qint64(3);
    QTest::newRow("tag, shown card matches")
        << OptionalString(u"#work"_s) << qint64(3) << QList<qint64>{1, 3, 4} << qint64(1);
    QTest::newRow("tag, shown card outside")
        << OptionalString(u"#home"_s) << qint64(1) << QList<qint64>{2, 4} << qint64(0);
    QTest::newRow("upper-case filter")
        << OptionalString(u"#WORK"_s) << qint64(3) << QList<qint64>{} << qint64(0);
    QTest::newRow("prefix of a tag")
        << OptionalString(u"#wor"_s) << qint64(1) << QList<qint64>{} << qint64(0);
    QTest::newRow("without hash") << OptionalString(u"work"_s) << qint64(1) << QList<qint64>{}
                                  << qint64(0);
    QTest::newRow("empty filter") << OptionalString(u""_s) << qint64(0) << QList<qint64>{}
                                  << qint64(0);
    QTest::newRow("index past the end")
        << OptionalString() << qint64(5) << QList<qint64>{0, 1, 2, 3, 4} << qint64(0);
}

void TestPinlarkStore::filtersByTag()
{
    QFETCH(OptionalString, filter);
    QFETCH(qint64, activeIndex);
    QFETCH(QList<qint64>, indices);
    QFETCH(qint64, position);

    const QList<NoteCard> cards =
        cardsWith({u"plain"_s, u"#work a"_s, u"#home"_s, u"#WORK b"_s, u"#work #home"_s});
    auto store = storeWith(cards);
    store->setSelectedTag(filter);
    store->setActiveIndex(activeIndex);

    QCOMPARE(store->activeCardIndices(), indices);
    QCOMPARE(store->currentFilteredIndex(), position);
    // The filter narrows stepping, never what is shown.
    const std::optional<NoteCard> current = store->currentCard();
    QCOMPARE(current.has_value(), activeIndex < cards.size());
    if (current)
        QCOMPARE(*current, cards.at(activeIndex));
}

void TestPinlarkStore::steps_data()
{
    QTest::addColumn<QStringList>("contents"); // empty: the welcome card of a first start
    QTest::addColumn<OptionalString>("filter");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<bool>("forward");
    QTest::addColumn<qint64>("to"); // a move plays "Tink"; staying put plays nothing

    const QStringList five{u"zero"_s, u"one #work"_s, u"two"_s, u"three #work"_s, u"four"_s};
    const OptionalString all;
    const OptionalString work(u"#work"_s);

    QTest::newRow("welcome card, next") << QStringList() << all << qint64(0) << true << qint64(0);
    QTest::newRow("welcome card, prev") << QStringList() << all << qint64(0) << false << qint64(0);
    QTest::newRow("last card, next") << five << all << qint64(4) << true << qint64(4);
    QTest::newRow("last card, prev") << five << all << qint64(4) << false << qint64(3);
    QTest::newRow("first card, prev") << five << all << qint64(0) << false << qint64(0);
    QTest::newRow("first card, next") << five << all << qint64(0) << true << qint64(1);
    QTest::newRow("filter, prev skips") << five << work << qint64(3) << false << qint64(1);
    QTest::newRow("filter, first match, prev") << five << work << qint64(1) << false << qint64(1);
    QTest::newRow("filter, next skips") << five << work << qint64(1) << true << qint64(3);
    QTest::newRow("filter, last match, next") << five << work << qint64(3) << true << qint64(3);
    QTest::newRow("shown card outside filter, next")
        << five << work << qint64(2) << true << qint64(2);
    QTest::newRow("shown card outside filter, prev")
        << five << work << qint64(2) << false << qint64(2);
    QTest::newRow("filter matches nothing")
        << five << OptionalString(u"#none"_s) << qint64(2) << true << qint64(2);
    QTest::newRow("index past the end") << five << all << qint64(5) << false << qint64(5);
    QTest::newRow("negative index") << five << all << qint64(-1) << true << qint64(-1);
}

void TestPinlarkStore::steps()
{
    QFETCH(QStringList, contents);
    QFETCH(OptionalString, filter);
    QFETCH(qint64, from);
    QFETCH(bool, forward);
    QFETCH(qint64, to);

    auto store = contents.isEmpty() ? makeStore() : storeWith(cardsWith(contents));
    m_sounds.played.clear();
    store->setSelectedTag(filter);
    store->setActiveIndex(from);
    const QList<NoteCard> cards = store->cards();
    const QByteArray onDisk = notesBytes();

    if (forward)
        store->nextCard();
    else
        store->prevCard();

    QCOMPARE(store->activeIndex(), to);
    QCOMPARE(m_sounds.played, to != from ? QStringList{u"Tink"_s} : QStringList());
    QCOMPARE(store->cards(), cards);
    QCOMPARE(store->selectedTag(), filter);
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), onDisk);
}

void TestPinlarkStore::currentCardNeedsValidIndex_data()
{
    QTest::addColumn<qint64>("activeIndex");

    QTest::newRow("negative") << qint64(-1);
    QTest::newRow("first") << qint64(0);
    QTest::newRow("last") << qint64(2);
    QTest::newRow("count") << qint64(3);
    QTest::newRow("far past the end") << qint64(1000);
}

void TestPinlarkStore::currentCardNeedsValidIndex()
{
    QFETCH(qint64, activeIndex);
    const QList<NoteCard> cards = cardsWith({u"zero"_s, u"one"_s, u"two"_s});
    auto store = storeWith(cards);
    store->setActiveIndex(activeIndex);

    const std::optional<NoteCard> current = store->currentCard();
    if (activeIndex >= 0 && activeIndex < cards.size()) {
        QVERIFY(current.has_value());
        QCOMPARE(*current, cards.at(activeIndex));
    } else {
        QVERIFY(!current.has_value());
        QCOMPARE(store->currentFilteredIndex(), 0);
    }
}

// Editing

void TestPinlarkStore::addCardAppendsFreshCard()
{
    const QList<NoteCard> cards = cardsWith({u"#work one"_s, u"two"_s, u"#work three"_s});
    auto store = storeWith(cards);
    store->setSelectedTag(u"#work"_s);
    store->setActiveIndex(2);

    m_now = Timestamp{2000.0};
    store->addCard();
    QCOMPARE(store->selectedTag(), OptionalString());
    QCOMPARE(store->cards().size(), 4);
    QCOMPARE(store->cards().mid(0, 3), cards);
    QCOMPARE(store->activeIndex(), 3);
    const NoteCard first = store->cards().last();
    QVERIFY2(first.id.contains(cardIdPattern()), qPrintable(first.id));
    QCOMPARE(first.content, QString());
    QCOMPARE(first.isPinned, std::optional<bool>(false));
    QVERIFY2(NotePastel::allKeys().contains(first.color), qPrintable(first.color));
    QCOMPARE(first.createdAt, m_now);
    QCOMPARE(first.updatedAt, m_now);
    // A structural change is written at once.
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
    QCOMPARE(m_sounds.played, QStringList{u"Pop"_s});

    store->addCard();
    QCOMPARE(store->cards().size(), 5);
    QCOMPARE(store->cards().at(3), first);
    const NoteCard second = store->cards().last();
    QVERIFY2(second.id.contains(cardIdPattern()), qPrintable(second.id));
    QVERIFY(second.id != first.id);
    QCOMPARE(store->activeIndex(), 4);
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
    QCOMPARE(m_sounds.played, (QStringList{u"Pop"_s, u"Pop"_s}));
}

void TestPinlarkStore::deleteCurrentCard_data()
{
    QTest::addColumn<QStringList>("contents");
    QTest::addColumn<qint64>("activeIndex");
    QTest::addColumn<QStringList>("remaining");
    QTest::addColumn<qint64>("activeAfter");

    const QStringList three{u"c0"_s, u"c1"_s, u"c2"_s};
    QTest::newRow("only card") << QStringList{u"c0"_s} << qint64(0) << QStringList{u"c0"_s}
                               << qint64(0);
    QTest::newRow("last of three")
        << three << qint64(2) << QStringList{u"c0"_s, u"c1"_s} << qint64(1);
    QTest::newRow("first of three")
        << three << qint64(0) << QStringList{u"c1"_s, u"c2"_s} << qint64(0);
    QTest::newRow("middle of three")
        << three << qint64(1) << QStringList{u"c0"_s, u"c2"_s} << qint64(1);
    QTest::newRow("past the end") << three << qint64(5) << three << qint64(5);
    QTest::newRow("negative") << three << qint64(-1) << three << qint64(-1);
}

void TestPinlarkStore::deleteCurrentCard()
{
    QFETCH(QStringList, contents);
    QFETCH(qint64, activeIndex);
    QFETCH(QStringList, remaining);
    QFETCH(qint64, activeAfter);

    auto store = storeWith(cardsWith(contents));
    store->setSelectedTag(u"#kept"_s);
    store->setActiveIndex(activeIndex);
    const QByteArray onDisk = notesBytes();

    store->deleteCurrentCard();
    QCOMPARE(contentsOf(store->cards()), remaining);
    QCOMPARE(store->activeIndex(), activeAfter);
    QCOMPARE(store->selectedTag(), OptionalString(u"#kept"_s));
    QVERIFY(!store->hasPendingSave());
    if (remaining.size() < contents.size()) {
        QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
        QCOMPARE(m_sounds.played, QStringList{u"Basso"_s});
    } else {
        QCOMPARE(notesBytes(), onDisk);
        QCOMPARE(m_sounds.played, QStringList());
    }
}

void TestPinlarkStore::updateCurrentCard_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("new text") << u"one, edited\nwith a second line"_s;
    QTest::newRow("identical text") << u"one"_s; // still an edit
    QTest::newRow("emptied") << QString();
}

void TestPinlarkStore::updateCurrentCard()
{
    QFETCH(QString, text);
    const QList<NoteCard> cards{card(u"p"_s, u"pinned"_s, 300, true), card(u"e"_s, u"one"_s, 100),
                                card(u"o"_s, u"other"_s, 200)};
    auto store = storeWith(cards);
    store->setActiveIndex(1);
    const QByteArray onDisk = notesBytes();

    m_now = Timestamp{5000.0};
    store->updateCurrentCard(text);
    NoteCard expected = cards.at(1);
    expected.content = text;
    expected.updatedAt = m_now;
    // Now the newest card, yet it stays where it is: only pinning sorts.
    QCOMPARE(store->cards(), (QList<NoteCard>{cards.at(0), expected, cards.at(2)}));
    QCOMPARE(store->activeIndex(), 1);
    QVERIFY(m_sounds.played.isEmpty());

    // Typing is saved after a pause, not on every keystroke.
    QVERIFY(store->hasPendingSave());
    QCOMPARE(notesBytes(), onDisk);
    QTRY_COMPARE_WITH_TIMEOUT(notesBytes(), NoteJSON::encodeCards(store->cards()),
                              debounceTimeoutMs);
}

void TestPinlarkStore::setCurrentCardColor_data()
{
    QTest::addColumn<QString>("key");

    QTest::newRow("palette key") << u"lavender"_s;
    QTest::newRow("unknown key") << u"chartreuse"_s; // shown as yellow, stored as given
    QTest::newRow("upper case") << u"Mint"_s;
}

void TestPinlarkStore::setCurrentCardColor()
{
    QFETCH(QString, key);
    const QList<NoteCard> cards = cardsWith({u"zero"_s, u"one"_s});
    auto store = storeWith(cards);
    store->setActiveIndex(1);

    m_now = Timestamp{5000.0};
    store->setCurrentCardColor(key);
    QCOMPARE(store->cards().at(1).color, key);
    QCOMPARE(store->cards().at(1).updatedAt, m_now);
    QCOMPARE(store->cards().at(0), cards.at(0));
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
    QVERIFY(m_sounds.played.isEmpty());

    // The next start reads the key back unchanged.
    const auto restarted = makeStore();
    QCOMPARE(restarted->cards().at(1).color, key);
}

void TestPinlarkStore::togglePinSortsStack_data()
{
    QTest::addColumn<QList<NoteCard>>("cards");
    QTest::addColumn<qint64>("activeIndex");
    QTest::addColumn<int>("toggles");
    QTest::addColumn<QStringList>("order");

    QTest::newRow("pinned under a later-edited pinned card")
        << QList<NoteCard>{card(u"A"_s, u""_s, 50, true), card(u"B"_s, u""_s, 10),
                           card(u"C"_s, u""_s, 30)}
        << qint64(1) << 1 << QStringList{u"A"_s, u"B"_s, u"C"_s};
    QTest::newRow("only pinned card unpinned")
        << QList<NoteCard>{card(u"A"_s, u""_s, 20, true), card(u"B"_s, u""_s, 30),
                           card(u"C"_s, u""_s, 10)}
        << qint64(0) << 1 << QStringList{u"B"_s, u"A"_s, u"C"_s};
    QTest::newRow("pinned first, newest first")
        << QList<NoteCard>{card(u"A"_s, u""_s, 10), card(u"B"_s, u""_s, 5, true),
                           card(u"C"_s, u""_s, 40), card(u"D"_s, u""_s, 30, true),
                           card(u"E"_s, u""_s, 20)}
        << qint64(0) << 1 << QStringList{u"D"_s, u"A"_s, u"B"_s, u"C"_s, u"E"_s};
    // Enough cards of equal time that an unstable sort would really move them.
    QList<NoteCard> tied;
    QStringList tiedOrder{u"Z"_s};
    for (int i = 0; i < 24; ++i) {
        tied.append(card(u"t"_s + QString::number(23 - i), u""_s, 10));
        tiedOrder.append(tied.last().id);
    }
    tied.append(card(u"Z"_s, u""_s, 20));
    QTest::newRow("equal times keep their order")
        << tied << qint64(tied.size() - 1) << 3 << tiedOrder;
    QTest::newRow("absent flag counts as unpinned")
        << QList<NoteCard>{card(u"A"_s, u""_s, 40, std::nullopt), card(u"B"_s, u""_s, 50),
                           card(u"C"_s, u""_s, 10, true)}
        << qint64(0) << 1 << QStringList{u"A"_s, u"C"_s, u"B"_s};
}

void TestPinlarkStore::togglePinSortsStack()
{
    QFETCH(QList<NoteCard>, cards);
    QFETCH(qint64, activeIndex);
    QFETCH(int, toggles);
    QFETCH(QStringList, order);

    auto store = storeWith(cards);
    store->setActiveIndex(activeIndex);
    const NoteCard toggled = cards.at(activeIndex);

    m_now = Timestamp{5000.0};
    for (int i = 0; i < toggles; ++i)
        store->togglePinCurrentCard(); // after the first, the top card is current

    QCOMPARE(idsOf(store->cards()), order);
    QCOMPARE(store->activeIndex(), 0);
    // Pinning is not an edit: every card keeps its time.
    for (const NoteCard &each : store->cards()) {
        const auto original = std::find_if(cards.cbegin(), cards.cend(),
                                           [&](const NoteCard &c) { return c.id == each.id; });
        QCOMPARE(each.updatedAt, original->updatedAt);
        QCOMPARE(each.content, original->content);
    }
    if (toggles == 1) {
        const qsizetype at = idsOf(store->cards()).indexOf(toggled.id);
        QCOMPARE(store->cards().at(at).isPinned, std::optional<bool>(!toggled.pinned()));
    }
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), NoteJSON::encodeCards(store->cards()));
    QCOMPARE(m_sounds.played, QStringList(toggles, u"Tink"_s));
}

void TestPinlarkStore::toggleChecklist_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");

    QTest::newRow("empty card") << QString() << u"- [ ] "_s;
    QTest::newRow("no final line feed") << u"milk"_s << u"milk\n- [ ] "_s;
    QTest::newRow("final line feed") << u"milk\n"_s << u"milk\n- [ ] "_s;
    QTest::newRow("after an unticked item") << u"- [ ] "_s << u"- [ ] \n- [ ] "_s;
    QTest::newRow("ticked items stay") << u"- [x] done\n"_s << u"- [x] done\n- [ ] "_s;
}

void TestPinlarkStore::toggleChecklist()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    auto store = storeWith(cardsWith({u"other"_s, before}));
    store->setActiveIndex(1);
    const QByteArray onDisk = notesBytes();

    m_now = Timestamp{5000.0};
    store->toggleChecklist();
    QCOMPARE(store->cards().at(1).content, after);
    QCOMPARE(store->cards().at(1).updatedAt, m_now);
    QCOMPARE(store->cards().at(0).content, u"other"_s);
    QCOMPARE(m_sounds.played, QStringList{u"Pop"_s});
    // Saved like typing: after a pause.
    QVERIFY(store->hasPendingSave());
    QCOMPARE(notesBytes(), onDisk);
    QTRY_COMPARE_WITH_TIMEOUT(notesBytes(), NoteJSON::encodeCards(store->cards()),
                              debounceTimeoutMs);
}

void TestPinlarkStore::invalidIndexChangesNothing_data()
{
    QTest::addColumn<qint64>("activeIndex");
    QTest::addColumn<StoreAction>("action");

    const QList<std::pair<const char *, StoreAction>> actions{
        {"delete", [](PinlarkStore &s) { s.deleteCurrentCard(); }},
        {"update", [](PinlarkStore &s) { s.updateCurrentCard(u"lost"_s); }},
        {"colour", [](PinlarkStore &s) { s.setCurrentCardColor(u"sky"_s); }},
        {"pin", [](PinlarkStore &s) { s.togglePinCurrentCard(); }},
        {"checklist", [](PinlarkStore &s) { s.toggleChecklist(); }},
    };
    for (const auto &[name, action] : actions) {
        QTest::addRow("%s, index = count", name) << qint64(3) << action;
        QTest::addRow("%s, negative index", name) << qint64(-1) << action;
    }
}

void TestPinlarkStore::invalidIndexChangesNothing()
{
    QFETCH(qint64, activeIndex);
    QFETCH(StoreAction, action);
    // Left out of range, for example by a sync that shortened the stack.
    const QList<NoteCard> cards{card(u"A"_s, u"#a"_s, 30), card(u"B"_s, u"b"_s, 20, true),
                                card(u"C"_s, u"c"_s, 10)};
    auto store = storeWith(cards);
    store->setActiveIndex(activeIndex);
    const QByteArray onDisk = notesBytes();
    QSignalSpy announced(store.get(), &PinlarkStore::aboutToChange);

    m_now = Timestamp{5000.0};
    action(*store);
    QCOMPARE(store->cards(), cards);
    QCOMPARE(store->activeIndex(), activeIndex);
    QCOMPARE(announced.size(), 0);
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(notesBytes(), onDisk);
    QVERIFY(m_sounds.played.isEmpty());
    QVERIFY(m_log.isEmpty());
}

QTEST_GUILESS_MAIN(TestPinlarkStore)
#include "tst_pinlarkstore.moc"
