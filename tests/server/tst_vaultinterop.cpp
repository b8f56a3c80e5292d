#include "model/NoteJSON.h"
#include "store/PinlarkStore.h"
#include "tests/server/VaultFixture.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "vault/PinlarkVaultSync.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::readBytes;
using StoreTest::writeBytes;

namespace {

constexpr int syncWaitMs = 30'000;

// One machine running Pinlark: its notes folder, its settings, its store.
struct Machine
{
    Machine(const VaultFixture &vault, const QString &caFile, const QList<NoteCard> &cards)
    {
        folder = dir.path() + u"/Pinlark"_s;
        if (!QDir().mkpath(folder) || !writeBytes(notesPath(), NoteJSON::encodeCards(cards)))
            qFatal("cannot write the notes file of a test");
        PinlarkStore::Environment environment;
        environment.sounds = &sounds;
        environment.notesFolder = folder;
        environment.settingsFile = dir.path() + u"/Pinlark.conf"_s;
        PinlarkVaultSync::VaultEndpoint endpoint;
        endpoint.baseUrl = QUrl(vault.server->url());
        endpoint.caFile = caFile;
        endpoint.timeoutMs = 10'000;
        environment.vault = endpoint;
        environment.clock = [] { return Timestamp{1000.0}; };
        store = std::make_unique<PinlarkStore>(std::move(environment));
    }

    bool sync(const QString &code)
    {
        store->syncWithVault(code, {});
        return QTest::qWaitFor([this] { return !store->isSyncing(); }, syncWaitMs);
    }

    [[nodiscard]] QString notesPath() const { return folder + u"/notes.json"_s; }

    QTemporaryDir dir;
    QString folder;
    RecordingSoundPlayer sounds;
    std::unique_ptr<PinlarkStore> store;
};

} // namespace

// Pinlark's own client against the real server: what the two must agree on end to end.
class TestVaultInterop final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void twoMachinesConvergeThroughTheServer();
};

void TestVaultInterop::twoMachinesConvergeThroughTheServer()
{
    VaultFixture vault;
    QVERIFY2(vault.server, qPrintable(vault.error));
    const QString caFile = vault.dir.filePath(u"ca.pem"_s);
    QFile ca(caFile);
    QVERIFY(ca.open(QIODevice::WriteOnly) && ca.write(vault.material.caPem) > 0);
    ca.close();

    Machine laptop(vault, caFile,
                   {card(u"shared"_s, u"old text"_s, 100.0),
                    card(u"laptop"_s, u"from the laptop #secret"_s, 150.0)});
    Machine desktop(vault, caFile,
                    {card(u"shared"_s, u"newer text"_s, 300.0),
                     card(u"desktop"_s, u"from the desktop"_s, 120.0, true)});
    // Typed differently on each machine: the same vault all the same.
    for (auto [machine, code] :
         {std::pair(&laptop, u"plk-7kq2mx"_s), std::pair(&desktop, u" PLK-7KQ2MX "_s),
          std::pair(&laptop, u"PLK-7KQ2MX"_s)}) {
        QVERIFY(machine->sync(code));
        QVERIFY2(machine->store->syncStatusMessage()->startsWith(u"Synced "_s),
                 qPrintable(*machine->store->syncStatusMessage()));
    }

    const QList<NoteCard> expected = {card(u"desktop"_s, u"from the desktop"_s, 120.0, true),
                                      card(u"shared"_s, u"newer text"_s, 300.0),
                                      card(u"laptop"_s, u"from the laptop #secret"_s, 150.0)};
    // Without a common history of "shared", the older text is kept as a conflict copy.
    QCOMPARE(laptop.store->cards(), desktop.store->cards());
    QCOMPARE(laptop.store->cards().size(), 4);
    QCOMPARE(laptop.store->cards().first(3), expected);
    QVERIFY(laptop.store->cards().last().content.endsWith(u"\nold text"_s));
    QCOMPARE(NoteJSON::decodeCards(readBytes(desktop.notesPath())).value(), desktop.store->cards());

    // The server holds one vault, under the code's identity, and nothing readable.
    const QByteArray id = PinlarkVaultSync::vaultHash(u"PLK-7KQ2MX"_s).toLatin1();
    const VaultServer::LoadResult stored = vault.storage->load(id);
    QVERIFY(stored.value());
    QVERIFY(!stored.value()->data.contains("secret") && !stored.value()->data.contains("laptop"));
    const QByteArray database = readBytes(vault.sqlite->databasePath()) +
                                readBytes(vault.sqlite->databasePath() + u"-wal"_s);
    QVERIFY(!database.isEmpty());
    QVERIFY(!database.contains("secret") && !database.contains("PLK-7KQ2MX"));
}

QTEST_GUILESS_MAIN(TestVaultInterop)
#include "tst_vaultinterop.moc"
