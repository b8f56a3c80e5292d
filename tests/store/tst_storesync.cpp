#include "model/NoteJSON.h"
#include "store/PinlarkStore.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/ScriptedVaultServer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "vault/VaultExchange.h"

#include <QDir>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
        // Whole seconds, so that edits survive the millisecond text of the notes file.
        environment.clock = [] { return Timestamp{1000.0}; };
        store = std::make_unique<PinlarkStore>(std::move(environment));
        return *store;
    }

    [[nodiscard]] QString notesPath() const { return folder + u"/notes.json"_s; }
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

QTEST_GUILESS_MAIN(TestStoreSync)
#include "tst_storesync.moc"
