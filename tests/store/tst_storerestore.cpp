#include "model/NoteJSON.h"
#include "store/PinlarkStore.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "vault/PinlarkVaultSync.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::readBytes;
using StoreTest::writeBytes;

namespace {

constexpr double day = 86'400.0;

QStringList contentsOf(const QList<NoteCard> &cards)
{
    QStringList contents;
    for (const NoteCard &each : cards)
        contents.append(each.content);
    return contents;
}

// Cards "c0", "c1", ... with the given texts.
QList<NoteCard> cardsWith(const QStringList &contents, const QString &idPrefix = u"c"_s)
{
    QList<NoteCard> cards;
    for (qsizetype i = 0; i < contents.size(); ++i)
        cards.append(card(idPrefix + QString::number(i), contents.at(i), 100.0 + double(i)));
    return cards;
}

const QRegularExpression &cardIdPattern()
{
    static const QRegularExpression pattern(u"^card_[0-9A-F]{8}$"_s);
    return pattern;
}

} // namespace

class TestStoreRestore final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void addsWhatTheStackNoLongerHolds_data();
    void addsWhatTheStackNoLongerHolds();
    void unreadableBackupLeavesStack();
    void copiesTheStackAsideFirst();
    void failedCopyRestoresNothing();
    void keepsAnUnreadableNotesFileUntouched();
    void restoredCardOutlivesSyncedDeletion();
    void listsBackupsOffTheGuiThread();

private:
    // Writes `bytes` as the notes file and starts a store on it.
    [[nodiscard]] std::unique_ptr<PinlarkStore> storeOn(const QByteArray &bytes);
    [[nodiscard]] std::unique_ptr<PinlarkStore> storeWith(const QList<NoteCard> &cards)
    {
        return storeOn(NoteJSON::encodeCards(cards));
    }
    [[nodiscard]] QString backupsFolder() const { return m_folder + u"/backups"_s; }
    QString writeBackup(const QList<NoteCard> &cards, const QString &name);
    // Restores and waits for the answer.
    [[nodiscard]] PinlarkStore::RestoreOutcome restore(PinlarkStore &store, const QString &path);
    [[nodiscard]] QStringList restoreCopies() const
    {
        return QDir(backupsFolder()).entryList({u"notes-before-restore-*"_s}, QDir::Files);
    }

    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
    RecordingSoundPlayer m_sounds;
    QStringList m_log;
    Timestamp m_now;
};

void TestStoreRestore::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + u"/Pinlark"_s;
    m_sounds.played.clear();
    m_log.clear();
    m_now = Timestamp{200 * day};
}

void TestStoreRestore::cleanup()
{
    m_dir.reset();
}

std::unique_ptr<PinlarkStore> TestStoreRestore::storeOn(const QByteArray &bytes)
{
    if (!QDir().mkpath(m_folder) || !writeBytes(m_folder + u"/notes.json"_s, bytes))
        qFatal("cannot write the notes file of a test");
    PinlarkStore::Environment environment;
    environment.sounds = &m_sounds;
    environment.notesFolder = m_folder;
    environment.settingsFile = m_dir->path() + u"/Pinlark.conf"_s;
    environment.clock = [this] { return m_now; };
    environment.log = [this](const QString &line) { m_log.append(line); };
    auto store = std::make_unique<PinlarkStore>(std::move(environment));
    m_log.clear();
    m_sounds.played.clear();
    return store;
}

QString TestStoreRestore::writeBackup(const QList<NoteCard> &cards, const QString &name)
{
    const QString path = backupsFolder() + u'/' + name;
    if (!QDir().mkpath(backupsFolder()) || !writeBytes(path, NoteJSON::encodeCards(cards)))
        qFatal("cannot write the backup of a test");
    return path;
}

PinlarkStore::RestoreOutcome TestStoreRestore::restore(PinlarkStore &store, const QString &path)
{
    std::optional<PinlarkStore::RestoreOutcome> outcome;
    int answers = 0;
    store.restoreFromBackup(path, [&](const PinlarkStore::RestoreOutcome &done) {
        outcome = done;
        ++answers;
    });
    // The backup is read on a worker thread; the answer comes through the event loop.
    if (!QTest::qWaitFor([&] { return outcome.has_value(); }))
        qFatal("the restore never answered");
    QCoreApplication::processEvents();
    if (answers != 1)
        qFatal("the restore answered more than once");
    return *outcome;
}

void TestStoreRestore::addsWhatTheStackNoLongerHolds_data()
{
    QTest::addColumn<QList<NoteCard>>("stack");
    QTest::addColumn<QList<NoteCard>>("backup");
    QTest::addColumn<QStringList>("added");

    const QList<NoteCard> stack = cardsWith({u"alpha"_s, u"#work beta"_s});
    QTest::newRow("a deleted card comes back")
        << stack << (stack + QList<NoteCard>{card(u"gone"_s, u"gamma"_s, 90.0, true, u"sky"_s)})
        << QStringList{u"gamma"_s};
    // The card's id is still in the stack, with another text: the old text is a card of
    // its own, and the edited card stays as it is.
    QTest::newRow("an edited card's old text")
        << stack << QList<NoteCard>{card(u"c0"_s, u"alpha, before the edit"_s)}
        << QStringList{u"alpha, before the edit"_s};
    QTest::newRow("a text held under another id is skipped")
        << stack << cardsWith({u"#work beta"_s, u"alpha"_s}, u"other"_s) << QStringList{};
    QTest::newRow("empty cards are skipped")
        << stack << cardsWith({QString(), u"delta"_s, QString()}, u"b"_s)
        << QStringList{u"delta"_s};
    QTest::newRow("in the backup's order, a repeated text once")
        << stack << cardsWith({u"zeta"_s, u"alpha"_s, u"eta"_s, u"zeta"_s}, u"b"_s)
        << QStringList{u"zeta"_s, u"eta"_s};
    QTest::newRow("an empty backup") << stack << QList<NoteCard>{} << QStringList{};
}

// Every text of the backup the stack no longer holds comes back as a new card at the end,
// edited now; the cards of the stack are left as they were, in their order. A second restore
// of the same backup finds nothing more to add.
void TestStoreRestore::addsWhatTheStackNoLongerHolds()
{
    QFETCH(QList<NoteCard>, stack);
    QFETCH(QList<NoteCard>, backup);
    QFETCH(QStringList, added);

    auto store = storeWith(stack);
    store->setSelectedTag(u"#work"_s);
    store->setActiveIndex(1);
    // A find that shows nothing: the cards a restore brings back are shown all the same.
    const QString query = u"no card holds this"_s;
    store->setFindQuery(query);
    const QString path = writeBackup(backup, u"notes-2025-03-01.json"_s);
    m_now = Timestamp{200 * day + 30};
    QSignalSpy changes(store.get(), &PinlarkStore::cardsChanged);

    const PinlarkStore::RestoreOutcome outcome = restore(*store, path);
    QCOMPARE(outcome.error, QString());
    QCOMPARE(outcome.restored, int(added.size()));

    const QList<NoteCard> &cards = store->cards();
    QCOMPARE(cards.mid(0, stack.size()), stack);
    QCOMPARE(contentsOf(cards.mid(stack.size())), added);
    QStringList ids;
    for (const NoteCard &each : cards)
        ids.append(each.id);
    for (const NoteCard &restored : cards.mid(stack.size())) {
        QVERIFY2(cardIdPattern().match(restored.id).hasMatch(), qPrintable(restored.id));
        QCOMPARE(ids.count(restored.id), 1);
        for (const NoteCard &old : backup)
            QVERIFY(restored.id != old.id);
        const NoteCard &original =
            *std::find_if(backup.cbegin(), backup.cend(),
                          [&](const auto &c) { return c.content == restored.content; });
        QCOMPARE(restored.color, original.color);
        QCOMPARE(restored.createdAt, original.createdAt);
        QCOMPARE(restored.updatedAt, m_now);
        QVERIFY(!restored.pinned());
    }
    if (added.isEmpty()) {
        QCOMPARE(changes.count(), 0);
        QCOMPARE(store->selectedTag(), std::optional<QString>(u"#work"_s));
        QCOMPARE(store->activeIndex(), 1);
        QCOMPARE(m_sounds.played, QStringList());
        QCOMPARE(store->findQuery(), std::optional(query));
    } else {
        QCOMPARE(store->selectedTag(), std::nullopt);
        QCOMPARE(store->findQuery(), std::nullopt);
        QCOMPARE(store->activeCardIndices().size(), cards.size());
        QCOMPARE(store->activeIndex(), stack.size());
        QCOMPARE(m_sounds.played, QStringList{u"Pop"_s});
        QCOMPARE(store->allTags(), QStringList{u"#work"_s});
        // On disk at once, with no save waiting.
        QVERIFY(!store->hasPendingSave());
        QCOMPARE(NoteJSON::decodeCards(readBytes(m_folder + u"/notes.json"_s)).value(), cards);
    }

    const QList<NoteCard> afterFirst = cards;
    m_sounds.played.clear();
    const PinlarkStore::RestoreOutcome again = restore(*store, path);
    QCOMPARE(again.error, QString());
    QCOMPARE(again.restored, 0);
    QCOMPARE(store->cards(), afterFirst);
    QCOMPARE(m_sounds.played, QStringList());
    QCOMPARE(m_log, QStringList());
}

void TestStoreRestore::unreadableBackupLeavesStack()
{
    const QList<NoteCard> stack = cardsWith({u"alpha"_s});
    auto store = storeWith(stack);
    QVERIFY(QDir().mkpath(backupsFolder()));
    const QString path = backupsFolder() + u"/notes-2025-03-01.json"_s;
    QVERIFY(writeBytes(path, "[{\"id\": 3"));
    const QByteArray notes = readBytes(m_folder + u"/notes.json"_s);
    QSignalSpy changes(store.get(), &PinlarkStore::cardsChanged);

    const PinlarkStore::RestoreOutcome outcome = restore(*store, path);
    QCOMPARE(outcome.restored, 0);
    QVERIFY2(outcome.error.contains(path), qPrintable(outcome.error));
    QCOMPARE(store->cards(), stack);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(readBytes(m_folder + u"/notes.json"_s), notes);
    QCOMPARE(restoreCopies(), QStringList());
    // Listing and restoring move nothing aside.
    QCOMPARE(readBytes(path), QByteArray("[{\"id\": 3"));
}

// The stack as it was, with the edit still waiting for its save, is copied aside before
// anything is added.
void TestStoreRestore::copiesTheStackAsideFirst()
{
    auto store = storeWith(cardsWith({u"alpha"_s}));
    store->updateCurrentCard(u"alpha, typed just now"_s);
    QVERIFY(store->hasPendingSave());
    const QList<NoteCard> before = store->cards();
    const QString path = writeBackup(cardsWith({u"beta"_s}, u"b"_s), u"notes-2025-03-01.json"_s);

    const PinlarkStore::RestoreOutcome outcome = restore(*store, path);
    QCOMPARE(outcome.restored, 1);
    const QStringList copies = restoreCopies();
    QCOMPARE(copies.size(), 1);
    QCOMPARE(NoteJSON::decodeCards(readBytes(backupsFolder() + u'/' + copies.first())).value(),
             before);
}

// Without the copy there is no way back from a restore, so none takes place.
void TestStoreRestore::failedCopyRestoresNothing()
{
    const QList<NoteCard> stack = cardsWith({u"alpha"_s});
    auto store = storeWith(stack);
    const QString path = m_dir->path() + u"/elsewhere.json"_s;
    QVERIFY(writeBytes(path, NoteJSON::encodeCards(cardsWith({u"beta"_s}, u"b"_s))));
    // A file where the backups folder should be: nothing can be written into it.
    QVERIFY(writeBytes(backupsFolder(), "in the way"));
    QSignalSpy changes(store.get(), &PinlarkStore::cardsChanged);

    const PinlarkStore::RestoreOutcome outcome = restore(*store, path);
    QCOMPARE(outcome.restored, 0);
    QVERIFY2(outcome.error.contains(u"before the restore"_s), qPrintable(outcome.error));
    QCOMPARE(store->cards(), stack);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(m_sounds.played, QStringList());
    QCOMPARE(NoteJSON::decodeCards(readBytes(m_folder + u"/notes.json"_s)).value(), stack);
}

// A notes file that could be neither read nor moved aside is never written over: a restore,
// which would have to save, is refused with the reason.
void TestStoreRestore::keepsAnUnreadableNotesFileUntouched()
{
    const StoreTest::LongNameMessagesMuted muted;
    m_folder = StoreTest::folderTooDeepToMoveAside(m_dir->path());
    if (m_folder.isEmpty())
        QSKIP("the file system refused the deep folder this case needs");
    const QByteArray bad = R"([{"id":"a","content":"only copy"})";
    auto store = storeOn(bad);
    QCOMPARE(store->cards().size(), 1);
    const QString path = m_dir->path() + u"/backup.json"_s;
    QVERIFY(writeBytes(path, NoteJSON::encodeCards(cardsWith({u"beta"_s}, u"b"_s))));

    const PinlarkStore::RestoreOutcome outcome = restore(*store, path);
    QCOMPARE(outcome.restored, 0);
    QVERIFY2(outcome.error.contains(u"could not be moved aside"_s), qPrintable(outcome.error));
    QCOMPARE(store->cards().size(), 1);
    QCOMPARE(readBytes(m_folder + u"/notes.json"_s), bad);
    QCOMPARE(m_sounds.played, QStringList());
}

// Another machine deleted the card, and its deletion names the id and the version it saw.
// The restored copy is another card, edited later, so a merge with that deletion keeps it.
void TestStoreRestore::restoredCardOutlivesSyncedDeletion()
{
    const NoteCard kept = card(u"c0"_s, u"alpha"_s);
    const NoteCard deleted = card(u"c1"_s, u"beta"_s, 120.0);
    auto store = storeWith({kept});
    const QString path = writeBackup({kept, deleted}, u"notes-2025-03-01.json"_s);
    QCOMPARE(restore(*store, path).restored, 1);

    const PinlarkVaultSync::VaultStack remote{{kept},
                                              {{deleted.id, Timestamp{199 * day}, deleted.updatedAt,
                                                PinlarkVaultSync::cardDigest(deleted)}}};
    const PinlarkVaultSync::Reconciled merged =
        PinlarkVaultSync::reconcile({store->cards(), store->syncState().deletions}, remote,
                                    PinlarkVaultSync::exchangedVersions({kept, deleted}),
                                    Timestamp{200 * day + 60}, u"laptop"_s);
    QStringList contents = contentsOf(merged.stack.cards);
    contents.sort();
    QCOMPARE(contents, (QStringList{u"alpha"_s, u"beta"_s}));
}

// The list comes through the event loop, never from within the call.
void TestStoreRestore::listsBackupsOffTheGuiThread()
{
    auto store = storeWith(cardsWith({u"alpha"_s}));
    writeBackup(cardsWith({u"a"_s, u"b"_s}, u"b"_s), u"notes-2025-03-01.json"_s);
    writeBackup(cardsWith({u"a"_s}, u"b"_s), u"notes-2025-03-02.json"_s);

    std::optional<QList<NotesFile::Backup>> listed;
    int answers = 0;
    store->listBackups([&](const QList<NotesFile::Backup> &backups) {
        listed = backups;
        ++answers;
    });
    QVERIFY(!listed);
    QTRY_VERIFY(listed.has_value());
    QCoreApplication::processEvents();
    QCOMPARE(answers, 1);
    QCOMPARE(listed->size(), 2);
    QCOMPARE(listed->at(0).day, QDate(2025, 3, 2));
    QCOMPARE(listed->at(0).cardCount, 1);
    QCOMPARE(listed->at(1).cardCount, 2);

    // A store gone before the answer drops it.
    bool answeredLate = false;
    store->listBackups([&](const QList<NotesFile::Backup> &) { answeredLate = true; });
    store.reset();
    QCoreApplication::processEvents();
    QVERIFY(!answeredLate);
}

QTEST_GUILESS_MAIN(TestStoreRestore)
#include "tst_storerestore.moc"
