#include "model/NoteJSON.h"
#include "store/PinlarkStore.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/ScriptedVaultServer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "vault/VaultExchange.h"

#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <memory>
#include <optional>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using Answer = ScriptedVaultServer::Answer;
using StoreTest::card;
using StoreTest::readBytes;
using StoreTest::writeBytes;

Q_DECLARE_METATYPE(ScriptedVaultServer::Answer)

namespace {

const QString code = u"PLK-7KQ2MX"_s;
constexpr int syncWaitMs = 30'000;

// Every answer the completion gave, in order.
struct Completions
{
    QList<std::pair<bool, QString>> answers;
    PinlarkStore::SyncCompletion record()
    {
        return [this](bool success, const QString &message) { answers.append({success, message}); };
    }
};

QString vaultPath()
{
    return u"/vault/pinlark/"_s + PinlarkVaultSync::vaultHash(code);
}

// One machine: its notes folder, its settings, its store.
struct Machine
{
    explicit Machine(const ScriptedVaultServer *server, const QList<NoteCard> &cards = {})
    {
        folder = dir.path() + u"/Pinlark"_s;
        settingsFile = dir.path() + u"/Pinlark.conf"_s;
        if (!cards.isEmpty() &&
            (!QDir().mkpath(folder) || !writeBytes(notesPath(), NoteJSON::encodeCards(cards))))
            qFatal("cannot write the notes file of a test");
        if (server) {
            vault.baseUrl = server->baseUrl();
            vault.caFile = server->caFile();
            vault.timeoutMs = 10'000;
        }
    }

    PinlarkStore &start()
    {
        PinlarkStore::Environment environment;
        environment.sounds = &sounds;
        environment.notesFolder = folder;
        environment.settingsFile = settingsFile;
        environment.vault = vault;
        environment.log = [this](const QString &line) { log.append(line); };
        environment.clock = [this] { return Timestamp{now}; };
        environment.syncSchedule = schedule;
        environment.undoDeleteMs = undoDeleteMs;
        store = std::make_unique<PinlarkStore>(std::move(environment));
        return *store;
    }

    [[nodiscard]] QString notesPath() const { return folder + u"/notes.json"_s; }
    [[nodiscard]] QString syncStatePath() const { return folder + u"/sync-state.json"_s; }
    [[nodiscard]] QString storedCode() const
    {
        return QSettings(settingsFile, QSettings::IniFormat)
            .value(u"pinlark_passport_code"_s)
            .toString();
    }

    QTemporaryDir dir;
    QString folder;
    QString settingsFile;
    PinlarkVaultSync::VaultEndpoint vault;
    RecordingSoundPlayer sounds;
    QStringList log;
    // Whole seconds, so that edits survive the millisecond text of the notes file.
    double now = 1000.0;
    PinlarkStore::SyncSchedule schedule;
    int undoDeleteMs = PinlarkStore::Environment{}.undoDeleteMs;
    std::unique_ptr<PinlarkStore> store;
};

QList<NoteCard> twoCards()
{
    return {card(u"a"_s, u"first #work"_s, 200.0), card(u"b"_s, u"second"_s, 100.0)};
}

bool waitForIdle(const PinlarkStore &store)
{
    return QTest::qWaitFor([&] { return !store.isSyncing(); }, syncWaitMs);
}

// A sync the user asked for, which worked.
bool syncedByHand(PinlarkStore &store)
{
    store.syncWithVault(code, {});
    return waitForIdle(store) &&
           store.syncStatusMessage().value_or(QString()).startsWith(u"Synced "_s);
}

// The automatic sync on a quick schedule, so that its tests take moments.
PinlarkStore::SyncSchedule quickSchedule()
{
    PinlarkStore::SyncSchedule schedule;
    schedule.settleMs = 50;
    schedule.longestSettleMs = 200;
    schedule.periodMs = 600'000;
    schedule.staleMs = 600'000;
    schedule.firstRetryMs = 150;
    schedule.longestRetryMs = 600'000;
    schedule.quitWaitMs = 200;
    return schedule;
}

// Now, in whole seconds: deletions made then are recent enough for the merge to keep.
double recentSecond()
{
    return std::floor(Timestamp::now().secondsSinceReference);
}

// Makes the card of `id` the current one and types `text` into it.
void edit(PinlarkStore &store, const QString &id, const QString &text)
{
    for (qsizetype i = 0; i < store.cards().size(); ++i) {
        if (store.cards().at(i).id == id) {
            store.setActiveIndex(i);
            store.updateCurrentCard(text);
            return;
        }
    }
    qFatal("no such card");
}

QStringList idsOf(const QList<NoteCard> &cards)
{
    QStringList ids;
    for (const NoteCard &each : cards)
        ids.append(each.id);
    ids.sort();
    return ids;
}

QList<NoteCard> conflictCopiesIn(const QList<NoteCard> &cards)
{
    QList<NoteCard> copies;
    for (const NoteCard &each : cards) {
        if (each.content.startsWith(PinlarkVaultSync::conflictTag))
            copies.append(each);
    }
    return copies;
}

// The text of the card of `id`, or a text no card holds.
QString textOf(const QList<NoteCard> &cards, const QString &id)
{
    for (const NoteCard &each : cards) {
        if (each.id == id)
            return each.content;
    }
    return u"(no card "_s + id + u')';
}

qsizetype countOf(const ScriptedVaultServer &server, const QByteArray &method)
{
    const auto requests = server.requests();
    return std::count_if(
        requests.cbegin(), requests.cend(),
        [&](const ScriptedVaultServer::Request &each) { return each.method == method; });
}

// The cards the vault holds; none when it holds nothing readable.
QList<NoteCard> vaultCards(const ScriptedVaultServer &server)
{
    const std::optional<QByteArray> body = server.storedBody(vaultPath());
    if (!body)
        return {};
    const auto data = PinlarkVaultSync::detail::decodeGetAnswer(*body);
    if (!data || !data.value())
        return {};
    const auto cards = PinlarkVaultSync::decrypt(*data.value(), code);
    return cards ? cards.value() : QList<NoteCard>{};
}

QByteArray vaultBodyHolding(const QList<NoteCard> &cards)
{
    return PinlarkVaultSync::detail::encodePostBody(PinlarkVaultSync::encrypt(cards, code).value());
}

} // namespace

class TestStoreSync final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aFirstStartMakesAndKeepsAPassportCode();
    void aStoredCodeIsShownAsStored();
    void thePassportCodeStaysPrivate_data();
    void thePassportCodeStaysPrivate();
    void anInvalidCodeChangesNothing_data();
    void anInvalidCodeChangesNothing();

    void syncWithAnEmptyVaultPushesTheLocalStack();
    void aFailedSyncLeavesCardsAndFileAlone_data();
    void aFailedSyncLeavesCardsAndFileAlone();
    void twoMachinesWithOneCodeConverge();
    void editsMadeDuringASyncAreKept();
    void aSecondSyncWhileOneRuns();
    void destroyingTheStoreStopsARunningSync();

    void aDeletionReachesTheOtherMachine_data();
    void aDeletionReachesTheOtherMachine();
    void deletionsAreForgottenAfterNinetyDays();
    void anUndoneDeleteStaysOnEveryMachine_data();
    void anUndoneDeleteStaysOnEveryMachine();
    void editsOnBothMachinesKeepBothTexts();

    void anEditSyncsByItself();
    void aDeleteSyncsOnlyOnceItCannotBeUndone_data();
    void aDeleteSyncsOnlyOnceItCannotBeUndone();
    void noAutomaticSync_data();
    void noAutomaticSync();
    void failedAutomaticSyncsWaitLongerEachTime();
    void syncBeforeQuitWaitsAtMostQuitWait();
    void syncBeforeQuitWithNothingChangedAsksNothing();

    void theSyncStateIsPrivate();
    void anUnreadableSyncStateMeansNoBase_data();
    void anUnreadableSyncStateMeansNoBase();
};

void TestStoreSync::aFirstStartMakesAndKeepsAPassportCode()
{
    Machine machine(nullptr);
    const QString first = machine.start().passportCode();
    QVERIFY2(QRegularExpression(u"^PLK-[A-HJ-NP-Z2-9]{6}$"_s).match(first).hasMatch(),
             qPrintable(first));
    QCOMPARE(machine.storedCode(), first);
    // The code never reaches the log.
    for (const QString &line : machine.log)
        QVERIFY(!line.contains(first));

    machine.store.reset();
    QCOMPARE(machine.start().passportCode(), first);
}

void TestStoreSync::thePassportCodeStaysPrivate_data()
{
    QTest::addColumn<QString>("moment");

    QTest::newRow("first start") << u"first start"_s;
    QTest::newRow("sync with a new code") << u"sync"_s;
    QTest::newRow("file an earlier version left open") << u"old file"_s;
}

// The code is the whole secret of a vault: its settings file is the user's alone, and so is
// the folder its writes go through, whatever the umask and whatever was there before.
void TestStoreSync::thePassportCodeStaysPrivate()
{
    QFETCH(QString, moment);
    const mode_t usualMask = ::umask(022);
    const auto restoreMask = qScopeGuard([usualMask] { ::umask(usualMask); });

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server);
    const QString folder = machine.dir.path() + u"/config/Pinlark"_s;
    machine.settingsFile = folder + u"/Pinlark.conf"_s;
    const auto openUp = [&] {
        QVERIFY(QFile::setPermissions(
            folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(machine.settingsFile, QFile::ReadOwner | QFile::WriteOwner |
                                                                QFile::ReadGroup |
                                                                QFile::ReadOther));
    };
    if (moment == u"old file"_s) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeBytes(machine.settingsFile,
                           "[General]\npinlark_passport_code=" + code.toUtf8() + "\n"));
        openUp();
    }

    PinlarkStore &store = machine.start();
    if (moment == u"sync"_s) {
        openUp();
        store.syncWithVault(code, {});
        QVERIFY(waitForIdle(store));
    }
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(StoreTest::modeOf(folder), 0700);
    QCOMPARE(StoreTest::modeOf(machine.settingsFile), 0600);
    if (moment != u"first start"_s)
        QCOMPARE(machine.storedCode(), code);
}

void TestStoreSync::aStoredCodeIsShownAsStored()
{
    Machine machine(nullptr);
    QSettings(machine.settingsFile, QSettings::IniFormat)
        .setValue(u"pinlark_passport_code"_s, u" plk-7kq2mx "_s);
    QCOMPARE(machine.start().passportCode(), u" plk-7kq2mx "_s);
    QCOMPARE(machine.storedCode(), u" plk-7kq2mx "_s);
}

void TestStoreSync::anInvalidCodeChangesNothing_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("typed");
    QTest::newRow("punctuation") << u"PLK-AAAAAA"_s << u"!!!"_s;
    QTest::newRow("empty") << u"PLK-AAAAAA"_s << QString();
    // Blanks are a stored code, shown as they are, but not a code one can sync with.
    QTest::newRow("stored blanks") << u"   "_s << u"   "_s;
}

void TestStoreSync::anInvalidCodeChangesNothing()
{
    QFETCH(QString, stored);
    QFETCH(QString, typed);
    Machine machine(nullptr, twoCards());
    QSettings(machine.settingsFile, QSettings::IniFormat)
        .setValue(u"pinlark_passport_code"_s, stored);
    PinlarkStore &store = machine.start();
    const QByteArray before = readBytes(machine.notesPath());
    QSignalSpy changes(&store, &PinlarkStore::aboutToChange);

    Completions completions;
    store.syncWithVault(typed, completions.record());
    // Answered before the call returned.
    QCOMPARE(completions.answers,
             (QList<std::pair<bool, QString>>{{false, u"Please enter a valid passport code"_s}}));
    QCOMPARE(changes.count(), 0);
    QVERIFY(!store.isSyncing());
    QVERIFY(!store.syncStatusMessage());
    QCOMPARE(store.passportCode(), stored);
    QCOMPARE(machine.storedCode(), stored);
    QCOMPARE(readBytes(machine.notesPath()), before);
}

void TestStoreSync::syncWithAnEmptyVaultPushesTheLocalStack()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, {card(u"only"_s, u"one card"_s)});
    PinlarkStore &store = machine.start();
    QVERIFY(QFile::remove(machine.notesPath()));
    QSignalSpy syncing(&store, &PinlarkStore::isSyncingChanged);

    Completions completions;
    store.syncWithVault(u"  plk-7kq2mx\t"_s, completions.record());
    // Normalised and remembered before anything is sent; the work goes on elsewhere.
    QCOMPARE(store.passportCode(), code);
    QCOMPARE(machine.storedCode(), code);
    QVERIFY(store.isSyncing());
    QCOMPARE(store.syncStatusMessage(), std::optional(u"Syncing with Vault\u2026"_s));
    QVERIFY(completions.answers.isEmpty());

    QVERIFY(waitForIdle(store));
    QCOMPARE(completions.answers,
             (QList<std::pair<bool, QString>>{{true, u"Synced 1 cards with Vault!"_s}}));
    QCOMPARE(store.syncStatusMessage(), std::optional(u"Synced 1 cards!"_s));
    QCOMPARE(machine.sounds.played, QStringList{u"Glass"_s});
    QCOMPARE(syncing.count(), 2);
    QCOMPARE(store.cards(), (QList<NoteCard>{card(u"only"_s, u"one card"_s)}));
    // Written at once, not after the debounce.
    QVERIFY(!store.hasPendingSave());
    QCOMPARE(NoteJSON::decodeCards(readBytes(machine.notesPath())).value(), store.cards());
    QVERIFY(server.storedBody(vaultPath()));
}

void TestStoreSync::aFailedSyncLeavesCardsAndFileAlone_data()
{
    QTest::addColumn<QList<Answer>>("answers");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("timeoutMs");

    QByteArray altered;
    {
        auto payload = PinlarkVaultSync::encrypt(twoCards(), code);
        altered = PinlarkVaultSync::detail::encodePostBody(payload.value());
        // A base64 letter or digit, never the backslash of an escaped "/": that would spoil
        // the base64 text rather than the ciphertext.
        qsizetype middle = altered.size() / 2;
        while (!QChar::isLetterOrNumber(char32_t(uchar(altered.at(middle)))))
            ++middle;
        altered[middle] = altered.at(middle) == 'A' ? 'B' : 'A';
    }
    const int normal = 10'000;
    QTest::newRow("pull 500") << QList{Answer::json(500, {})} << u"Vault pull HTTP 500"_s << normal;
    QTest::newRow("pull 403") << QList{Answer::json(403, {})} << u"Vault pull HTTP 403"_s << normal;
    QTest::newRow("data empty") << QList{Answer::json(200, R"({"data":""})")}
                                << u"Corrupted vault payload"_s << normal;
    QTest::newRow("not JSON") << QList{Answer::json(200, "<html>")}
                              << u"The Vault's answer could not be read"_s << normal;
    QTest::newRow("altered payload") << QList{Answer::json(200, altered)}
                                     << u"The Vault payload could not be opened"_s << normal;
    QTest::newRow("push 413") << QList{Answer::json(404, {}), Answer::json(413, {})}
                              << u"Vault push failed"_s << normal;
    QTest::newRow("push 500") << QList{Answer::json(404, {}), Answer::json(500, {})}
                              << u"Vault push failed"_s << normal;
    QTest::newRow("silent vault") << QList{Answer::hang()}
                                  << u"The Vault did not answer within 0.5 seconds"_s << 500;
}

void TestStoreSync::aFailedSyncLeavesCardsAndFileAlone()
{
    QFETCH(QList<Answer>, answers);
    QFETCH(QString, message);
    QFETCH(int, timeoutMs);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setVaultBehaviour(false);
    for (const Answer &answer : answers)
        server.enqueue(answer);
    Machine machine(&server, twoCards());
    machine.vault.timeoutMs = timeoutMs;
    PinlarkStore &store = machine.start();
    store.setActiveIndex(1);
    const QByteArray before = readBytes(machine.notesPath());

    Completions completions;
    store.syncWithVault(code, completions.record());
    QVERIFY(waitForIdle(store));

    QCOMPARE(completions.answers.size(), 1);
    QCOMPARE(completions.answers.first().first, false);
    QVERIFY2(completions.answers.first().second.startsWith(message),
             qPrintable(completions.answers.first().second));
    QCOMPARE(store.syncStatusMessage(),
             std::optional(u"Sync error: "_s + completions.answers.first().second));
    QCOMPARE(store.cards(), twoCards());
    QCOMPARE(store.activeIndex(), 1);
    QVERIFY(!store.hasPendingSave());
    QCOMPARE(readBytes(machine.notesPath()), before);
    QVERIFY(machine.sounds.played.isEmpty());
    // The code that failed is still the remembered one.
    QCOMPARE(machine.storedCode(), code);
}

void TestStoreSync::twoMachinesWithOneCodeConverge()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine laptop(&server, {card(u"shared"_s, u"old text"_s, 100.0),
                             card(u"laptop"_s, u"from the laptop"_s, 150.0)});
    Machine desktop(&server, {card(u"shared"_s, u"newer text"_s, 300.0),
                              card(u"desktop"_s, u"from the desktop"_s, 120.0, true)});
    PinlarkStore &first = laptop.start();
    PinlarkStore &second = desktop.start();

    for (PinlarkStore *store : {&first, &second, &first}) {
        store->syncWithVault(u"plk-7kq2mx"_s, {});
        QVERIFY(waitForIdle(*store));
        QVERIFY2(store->syncStatusMessage()->startsWith(u"Synced "_s),
                 qPrintable(*store->syncStatusMessage()));
    }

    const QList<NoteCard> expected = {card(u"desktop"_s, u"from the desktop"_s, 120.0, true),
                                      card(u"shared"_s, u"newer text"_s, 300.0),
                                      card(u"laptop"_s, u"from the laptop"_s, 150.0)};
    // Neither machine had synced "shared" before, so neither can tell which text replaced
    // the other: the later one stays the card and the other is kept as a conflict copy.
    QCOMPARE(first.cards(), second.cards());
    QCOMPARE(first.cards().size(), 4);
    QCOMPARE(first.cards().first(3), expected);
    QVERIFY(first.cards().last().content.startsWith(u"#conflict "_s));
    QVERIFY(first.cards().last().content.endsWith(u"\nold text"_s));
    QCOMPARE(first.syncStatusMessage(), std::optional(u"Synced 4 cards!"_s));
    QCOMPARE(NoteJSON::decodeCards(readBytes(laptop.notesPath())).value(), first.cards());
    QCOMPARE(NoteJSON::decodeCards(readBytes(desktop.notesPath())).value(), first.cards());
}

void TestStoreSync::editsMadeDuringASyncAreKept()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    PinlarkStore &store = machine.start();
    store.syncWithVault(code, {});
    QVERIFY(waitForIdle(store));

    // Another machine edits "b" and syncs; this one types into "a" while its next sync runs.
    const QList<NoteCard> remote = {card(u"a"_s, u"first #work"_s, 200.0),
                                    card(u"b"_s, u"second, edited elsewhere"_s, 400.0)};
    server.setStoredBody(vaultPath(), PinlarkVaultSync::detail::encodePostBody(
                                          PinlarkVaultSync::encrypt(remote, code).value()));
    Answer slowPull = Answer::json(200, *server.storedBody(vaultPath()));
    slowPull.delayMs = 300;
    server.enqueue(slowPull);
    const int requestsBefore = int(server.requests().size());
    store.setActiveIndex(0);
    store.syncWithVault(code, {});
    QVERIFY(server.waitForRequestCount(requestsBefore + 1, syncWaitMs));
    store.updateCurrentCard(u"typed while syncing"_s);
    QVERIFY(waitForIdle(store));

    QCOMPARE(store.syncStatusMessage(), std::optional(u"Synced 2 cards!"_s));
    QCOMPARE(store.cards().size(), 2);
    const auto find = [&](const QString &id) {
        return *std::find_if(store.cards().cbegin(), store.cards().cend(),
                             [&](const NoteCard &each) { return each.id == id; });
    };
    QCOMPARE(find(u"a"_s).content, u"typed while syncing"_s);
    QCOMPARE(find(u"b"_s).content, u"second, edited elsewhere"_s);
    QCOMPARE(NoteJSON::decodeCards(readBytes(machine.notesPath())).value(), store.cards());
}

void TestStoreSync::aSecondSyncWhileOneRuns()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Answer slowPull = Answer::json(404, {});
    slowPull.delayMs = 400;
    server.enqueue(slowPull);

    Machine machine(&server, twoCards());
    PinlarkStore &store = machine.start();
    QList<bool> syncingStates;
    connect(&store, &PinlarkStore::isSyncingChanged, this,
            [&](bool syncing) { syncingStates.append(syncing); });

    Completions completions;
    store.syncWithVault(code, completions.record());
    store.syncWithVault(code, completions.record());
    QVERIFY(QTest::qWaitFor([&] { return completions.answers.size() == 2; }, syncWaitMs));
    QTest::qWait(50);

    // Each answered once, both succeeded, and the store read as syncing until the last one
    // ended.
    QCOMPARE(completions.answers.size(), 2);
    for (const auto &[success, message] : completions.answers)
        QVERIFY2(success, qPrintable(message));
    QVERIFY(!store.isSyncing());
    QCOMPARE(syncingStates.last(), false);
    QCOMPARE(syncingStates.count(false), 1);
    QCOMPARE(store.cards(), twoCards());
    QCOMPARE(store.syncStatusMessage(), std::optional(u"Synced 2 cards!"_s));
}

void TestStoreSync::destroyingTheStoreStopsARunningSync()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.enqueue(Answer::hang());
    Machine machine(&server, twoCards());
    machine.vault.timeoutMs = 600'000;
    PinlarkStore &store = machine.start();
    const QByteArray before = readBytes(machine.notesPath());

    Completions completions;
    store.syncWithVault(code, completions.record());
    QVERIFY(server.waitForRequestCount(1, syncWaitMs));
    // Returns although the Vault would keep it waiting for ten minutes.
    machine.store.reset();
    QCoreApplication::processEvents();
    QVERIFY(completions.answers.isEmpty());
    QCOMPARE(readBytes(machine.notesPath()), before);
}

void TestStoreSync::aDeletionReachesTheOtherMachine_data()
{
    QTest::addColumn<bool>("editedElsewhere"); // on the desktop, before it saw the deletion
    QTest::addColumn<QStringList>("ids");      // what both machines keep
    QTest::newRow("not edited elsewhere") << false << QStringList{u"b"_s};
    QTest::newRow("edited elsewhere") << true << QStringList{u"a"_s, u"b"_s};
}

void TestStoreSync::aDeletionReachesTheOtherMachine()
{
    QFETCH(bool, editedElsewhere);
    QFETCH(QStringList, ids);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine laptop(&server, twoCards());
    Machine desktop(&server, twoCards());
    laptop.now = desktop.now = recentSecond();
    PinlarkStore &first = laptop.start();
    PinlarkStore &second = desktop.start();
    QVERIFY(syncedByHand(first));
    QVERIFY(syncedByHand(second));

    if (editedElsewhere) {
        desktop.now += 10;
        edit(second, u"a"_s, u"edited on the desktop"_s);
    }
    laptop.now += 5;
    first.setActiveIndex(0);
    QCOMPARE(first.currentCard()->id, u"a"_s);
    first.deleteCurrentCard();

    // Both sync, then both again: what is gone stays gone.
    for (PinlarkStore *store : {&first, &second, &first, &second})
        QVERIFY(syncedByHand(*store));
    QCOMPARE(idsOf(first.cards()), ids);
    QCOMPARE(second.cards(), first.cards());
    QCOMPARE(idsOf(vaultCards(server)), ids);
    if (editedElsewhere)
        QCOMPARE(textOf(first.cards(), u"a"_s), u"edited on the desktop"_s);
    QCOMPARE(NoteJSON::decodeCards(readBytes(desktop.notesPath())).value(), second.cards());
}

void TestStoreSync::anUndoneDeleteStaysOnEveryMachine_data()
{
    QTest::addColumn<bool>("deletionLeft"); // a sync carried the deletion before the undo
    QTest::newRow("undone before any sync") << false;
    QTest::newRow("undone after the other machine deleted it too") << true;
}

void TestStoreSync::anUndoneDeleteStaysOnEveryMachine()
{
    QFETCH(bool, deletionLeft);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine laptop(&server, twoCards());
    Machine desktop(&server, twoCards());
    laptop.now = desktop.now = recentSecond();
    PinlarkStore &first = laptop.start();
    PinlarkStore &second = desktop.start();
    QVERIFY(syncedByHand(first));
    QVERIFY(syncedByHand(second));

    laptop.now += 5;
    first.setActiveIndex(0);
    const NoteCard deleted = *first.currentCard();
    first.deleteCurrentCard();
    if (deletionLeft) {
        QVERIFY(syncedByHand(first));
        QVERIFY(syncedByHand(second));
        QCOMPARE(idsOf(second.cards()), QStringList{u"b"_s});
    }
    laptop.now += 2;
    QVERIFY(first.undoDelete());
    // Where the deletion may be in the vault, the card comes back as an edit of now, which
    // wins over it; otherwise exactly as it was.
    NoteCard expected = deleted;
    if (deletionLeft)
        expected.updatedAt = Timestamp{laptop.now};
    QCOMPARE(first.cards().first(), expected);

    for (PinlarkStore *store : {&first, &second, &first, &second})
        QVERIFY(syncedByHand(*store));
    QCOMPARE(idsOf(first.cards()), (QStringList{u"a"_s, u"b"_s}));
    QCOMPARE(second.cards(), first.cards());
    QCOMPARE(textOf(second.cards(), u"a"_s), deleted.content);
    QVERIFY(conflictCopiesIn(second.cards()).isEmpty());
}

// Also on a machine that never syncs: its deletions do not pile up.
void TestStoreSync::deletionsAreForgottenAfterNinetyDays()
{
    Machine machine(nullptr, {card(u"a"_s, u"one"_s, 10.0), card(u"b"_s, u"two"_s, 20.0),
                              card(u"c"_s, u"three"_s, 30.0)});
    machine.now = 1000.0;
    PinlarkStore &store = machine.start();
    store.setActiveIndex(0);
    store.deleteCurrentCard();
    machine.now += 91 * 86'400.0;
    store.setActiveIndex(0);
    const QString second = store.currentCard()->id;
    store.deleteCurrentCard();

    QCOMPARE(store.syncState().deletions.size(), 1);
    QCOMPARE(store.syncState().deletions.first().id, second);
    // And the file says so too.
    QCOMPARE(SyncStateFile(machine.folder).load().deletions, store.syncState().deletions);
}

void TestStoreSync::editsOnBothMachinesKeepBothTexts()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine laptop(&server, twoCards());
    Machine desktop(&server, twoCards());
    PinlarkStore &first = laptop.start();
    PinlarkStore &second = desktop.start();
    QVERIFY(syncedByHand(first));
    QVERIFY(syncedByHand(second));

    laptop.now += 10;
    edit(first, u"a"_s, u"from the laptop"_s);
    desktop.now += 20;
    edit(second, u"a"_s, u"from the desktop, later"_s);

    for (PinlarkStore *store : {&first, &second, &first}) {
        QVERIFY(syncedByHand(*store));
    }
    // The later edit stays the card, the other is one copy, the same on both machines; and
    // another round makes no second one.
    for (PinlarkStore *store : {&second, &first}) {
        QCOMPARE(store->cards().size(), 3);
        QCOMPARE(textOf(store->cards(), u"a"_s), u"from the desktop, later"_s);
        const QList<NoteCard> copies = conflictCopiesIn(store->cards());
        QCOMPARE(copies.size(), 1);
        QVERIFY2(copies.first().content.endsWith(u"\nfrom the laptop"_s),
                 qPrintable(copies.first().content));
        QVERIFY(syncedByHand(*store));
    }
    QCOMPARE(second.cards(), first.cards());
    QCOMPARE(first.cards().size(), 3);
}

void TestStoreSync::anEditSyncsByItself()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    machine.schedule = quickSchedule();
    PinlarkStore &store = machine.start();
    QVERIFY(!store.autoSyncActive());
    QVERIFY(syncedByHand(store));
    QVERIFY(store.autoSyncActive());
    const qsizetype posts = countOf(server, "POST");

    edit(store, u"b"_s, u"typed, then left alone"_s);
    QTRY_VERIFY_WITH_TIMEOUT(countOf(server, "POST") > posts, syncWaitMs);
    QVERIFY(waitForIdle(store));
    QCOMPARE(textOf(vaultCards(server), u"b"_s), u"typed, then left alone"_s);
    QCOMPARE(store.syncStatusMessage(), std::optional(u"Synced 2 cards!"_s));
    // The sound was the sync asked for; the automatic one is silent.
    QCOMPARE(machine.sounds.played, QStringList{u"Glass"_s});
}

void TestStoreSync::aDeleteSyncsOnlyOnceItCannotBeUndone_data()
{
    QTest::addColumn<bool>("undone");
    QTest::newRow("left alone") << false;
    QTest::newRow("undone") << true;
}

// The automatic sync waits while a delete can be taken back, so a delete undone at once
// never leaves the machine.
void TestStoreSync::aDeleteSyncsOnlyOnceItCannotBeUndone()
{
    QFETCH(bool, undone);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    machine.now = recentSecond();
    machine.schedule = quickSchedule();
    machine.undoDeleteMs = 1500; // well past the settle time of 50 ms, on a slow machine too
    PinlarkStore &store = machine.start();
    QVERIFY(syncedByHand(store));
    const qsizetype posts = countOf(server, "POST");

    bool syncedWhileUndoable = false;
    connect(&store, &PinlarkStore::isSyncingChanged, this,
            [&] { syncedWhileUndoable = syncedWhileUndoable || store.canUndoDelete(); });
    store.setActiveIndex(0);
    const NoteCard deleted = *store.currentCard();
    store.deleteCurrentCard();
    if (undone) {
        QTest::qWait(150);
        QVERIFY(store.undoDelete());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!store.canUndoDelete(), syncWaitMs);
    }
    QTRY_VERIFY_WITH_TIMEOUT(countOf(server, "POST") > posts, syncWaitMs);
    QVERIFY(waitForIdle(store));
    QVERIFY(!syncedWhileUndoable);
    if (undone) {
        QCOMPARE(vaultCards(server).size(), 2);
        QCOMPARE(store.cards().first(), deleted); // never left, so not even its time changed
    } else {
        QCOMPARE(idsOf(vaultCards(server)), QStringList{u"b"_s});
    }
}

void TestStoreSync::noAutomaticSync_data()
{
    QTest::addColumn<QString>("why");
    QTest::newRow("turned off") << u"off"_s;
    QTest::newRow("never synced on this machine") << u"never"_s;
    QTest::newRow("another code since") << u"code"_s;
}

void TestStoreSync::noAutomaticSync()
{
    QFETCH(QString, why);
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    machine.schedule = quickSchedule();
    PinlarkStore &store = machine.start();
    if (why != u"never"_s)
        QVERIFY(syncedByHand(store));
    if (why == u"off"_s)
        store.setSyncAutomatically(false);
    if (why == u"code"_s)
        store.setPassportCode(u"PLK-AAAAAA"_s);
    const qsizetype requests = server.requests().size();

    edit(store, u"b"_s, u"typed"_s);
    // Far past the longest settle time: a sync would have started by now.
    QTest::qWait(5 * machine.schedule.longestSettleMs);
    QCOMPARE(server.requests().size(), requests);
    QVERIFY(!store.isSyncing());
    QVERIFY(!store.autoSyncActive());
}

void TestStoreSync::failedAutomaticSyncsWaitLongerEachTime()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    machine.schedule = quickSchedule();
    PinlarkStore &store = machine.start();
    QVERIFY(syncedByHand(store));
    server.setStandingAnswer(Answer::json(500, {}));
    const qsizetype before = server.requests().size();

    edit(store, u"b"_s, u"typed"_s);
    // When each attempt reached the Vault, to the nearest poll.
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivals;
    QVERIFY(QTest::qWaitFor(
        [&] {
            while (arrivals.size() < server.requests().size() - before)
                arrivals.append(clock.elapsed());
            return arrivals.size() >= 4;
        },
        syncWaitMs));
    const qint64 firstGap = arrivals.at(1) - arrivals.at(0);
    const qint64 thirdGap = arrivals.at(3) - arrivals.at(2);
    // Each retry waits twice as long as the one before: the third gap is three first waits
    // longer than the first, whatever each attempt itself takes.
    QVERIFY2(thirdGap - firstGap > machine.schedule.firstRetryMs,
             qPrintable(u"gaps of %1 and %2 ms"_s.arg(firstGap).arg(thirdGap)));
    for (const auto &request : server.requests().mid(before))
        QCOMPARE(request.method, QByteArray("GET"));
    QTRY_COMPARE_WITH_TIMEOUT(store.syncStatusMessage(),
                              std::optional(u"Sync error: Vault pull HTTP 500"_s), syncWaitMs);
    QCOMPARE(machine.sounds.played, QStringList{u"Glass"_s});
}

void TestStoreSync::syncBeforeQuitWaitsAtMostQuitWait()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    machine.schedule = quickSchedule();
    // Only the quit syncs the edit, and that sync never ends.
    machine.schedule.settleMs = machine.schedule.longestSettleMs = 600'000;
    machine.vault.timeoutMs = 600'000;
    PinlarkStore &store = machine.start();
    QVERIFY(syncedByHand(store));
    server.setStandingAnswer(Answer::hang());
    const qsizetype before = server.requests().size();

    edit(store, u"b"_s, u"typed just before quitting"_s);
    int finished = 0;
    store.syncBeforeQuit([&] { ++finished; });
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, syncWaitMs);
    QVERIFY(server.requests().size() > before);
    QVERIFY(store.isSyncing());
    QCOMPARE(textOf(NoteJSON::decodeCards(readBytes(machine.notesPath())).value(), u"b"_s),
             u"typed just before quitting"_s);
    QTest::qWait(2 * machine.schedule.quitWaitMs);
    QCOMPARE(finished, 1);
}

void TestStoreSync::syncBeforeQuitWithNothingChangedAsksNothing()
{
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    machine.schedule = quickSchedule();
    PinlarkStore &store = machine.start();
    QVERIFY(syncedByHand(store));
    const qsizetype before = server.requests().size();

    int finished = 0;
    store.syncBeforeQuit([&] { ++finished; });
    QCOMPARE(finished, 1);
    QVERIFY(!store.isSyncing());
    QCOMPARE(server.requests().size(), before);
}

void TestStoreSync::theSyncStateIsPrivate()
{
    const mode_t usualMask = ::umask(022);
    const auto restoreMask = qScopeGuard([usualMask] { ::umask(usualMask); });
    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    PinlarkStore &store = machine.start();
    QVERIFY(syncedByHand(store));
    QCOMPARE(StoreTest::modeOf(machine.syncStatePath()), 0600);

    // Written again, on this thread, for a deletion.
    const QByteArray synced = readBytes(machine.syncStatePath());
    store.deleteCurrentCard();
    QCOMPARE_NE(readBytes(machine.syncStatePath()), synced);
    QCOMPARE(StoreTest::modeOf(machine.syncStatePath()), 0600);
}

void TestStoreSync::anUnreadableSyncStateMeansNoBase_data()
{
    QTest::addColumn<QByteArray>("state"); // empty: left as the sync wrote it
    QTest::addColumn<int>("copies");
    QTest::newRow("as written") << QByteArray() << 0;
    QTest::newRow("not JSON") << QByteArray(R"({"version":1,"vault")") << 1;
    QTest::newRow("another format") << QByteArray(R"({"version":2})") << 1;
}

// The vault's copy of "a" changed elsewhere after this machine synced it. With its base the
// machine knows it did not edit "a" itself; without one it cannot tell and keeps both texts.
void TestStoreSync::anUnreadableSyncStateMeansNoBase()
{
    QFETCH(QByteArray, state);
    QFETCH(int, copies);

    ScriptedVaultServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    Machine machine(&server, twoCards());
    QVERIFY(syncedByHand(machine.start()));
    server.setStoredBody(vaultPath(), vaultBodyHolding({card(u"a"_s, u"edited elsewhere"_s, 300.0),
                                                        card(u"b"_s, u"second"_s, 100.0)}));
    machine.store.reset();
    if (!state.isEmpty())
        QVERIFY(writeBytes(machine.syncStatePath(), state));

    PinlarkStore &store = machine.start();
    const QString complaint = u"Pinlark: error keeping the sync state: "_s +
                              machine.syncStatePath() + u" is not readable"_s;
    const bool complained =
        std::any_of(machine.log.cbegin(), machine.log.cend(),
                    [&](const QString &line) { return line.startsWith(complaint); });
    QCOMPARE(complained, copies > 0);
    QCOMPARE(store.syncState().lastSyncAt.has_value(), copies == 0);

    QVERIFY(syncedByHand(store));
    QCOMPARE(store.cards().size(), 2 + copies);
    QCOMPARE(textOf(store.cards(), u"a"_s), u"edited elsewhere"_s);
    const QList<NoteCard> made = conflictCopiesIn(store.cards());
    QCOMPARE(made.size(), copies);
    if (copies > 0)
        QVERIFY(made.first().content.endsWith(u"\nfirst #work"_s));
}

QTEST_GUILESS_MAIN(TestStoreSync)
#include "tst_storesync.moc"
