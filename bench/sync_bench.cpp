// A whole Vault sync of a 1,000-card stack against a Vault on loopback, next to the cost of
// two key derivations measured in the same run, just before and just after it (the machine's
// speed drifts, and the derivations are nearly all of a sync's work). Measured twice: the
// exchange alone (PinlarkVaultSync::sync), and through the store as the sync panel drives it,
// which adds saving the synced stack; for the latter also the longest the GUI thread went
// without running its event loop while the sync was on.
//
//   sync_bench [runs] [cards]   (default 7 runs of 1,000 cards; medians and the worst stall
//                               are printed)
//
// Against the loopback Vault in this process, or against a real one: PINLARK_BENCH_VAULT_URL
// (and PINLARK_BENCH_VAULT_CA for its certificate), as bench/sync-vs-server.sh runs it.
//
// The Vault already holds another machine's version of the stack (every fifth card edited
// there later, a hundred cards only there), and this machine last exchanged its own, so each
// run pulls, decrypts, merges against that base, encrypts and pushes. Figures only: nothing
// is compared against a goal here.

#include "bench/BenchSupport.h"
#include "bench/StackGenerator.h"
#include "store/PinlarkStore.h"
#include "tests/support/ScriptedVaultServer.h"
#include "vault/VaultExchange.h"
#include "vault/VaultPayload.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

qsizetype stackSize = 1'000;
const QString code = u"PLK-7KQ2MX"_s;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Milliseconds of one key derivation.
double deriveOnce()
{
    const QByteArray salt(PinlarkVaultSync::detail::saltBytes, '\x5a');
    QElapsedTimer timer;
    timer.start();
    const auto key = PinlarkVaultSync::detail::deriveKey(code, salt);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (!key)
        qFatal("key derivation failed");
    return ms;
}

QList<NoteCard> otherMachinesVersion(QList<NoteCard> cards, StackGenerator &generator)
{
    for (qsizetype i = 0; i < cards.size(); i += 5) {
        cards[i].content = generator.content(300, 2);
        cards[i].updatedAt.secondsSinceReference += 3600.0;
    }
    const QList<NoteCard> extra = StackGenerator(7).stack(100);
    cards.append(extra);
    return cards;
}

// One sync through a fresh store holding `local`, as the sync panel starts it.
struct StoreRun
{
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<PinlarkStore> store;
    double elapsedMs = 0;
    double longestGapMs = 0; // with `watch`: the longest the GUI thread was away
};

// Puts a stack in the vault, outside the timings: straight into the loopback Vault, or pushed
// to a real one (PINLARK_BENCH_VAULT_URL, with PINLARK_BENCH_VAULT_CA).
using Seed = std::function<void(const QList<NoteCard> &cards, const QByteArray &body)>;

StoreRun syncThroughStore(const PinlarkVaultSync::VaultEndpoint &vault,
                          const QList<NoteCard> &local, qsizetype expectedCards, bool watch,
                          const Seed &seed, const QList<NoteCard> &remote,
                          const QByteArray &localBody, const QByteArray &remoteBody)
{
    StoreRun run;
    run.dir = std::make_unique<QTemporaryDir>();
    if (writeNotesFile(run.dir->path(), 0) < 0)
        qFatal("cannot write the notes folder");
    PinlarkStore::Environment environment = benchEnvironment(run.dir->path());
    environment.settingsFile = run.dir->filePath(u"Pinlark.conf"_s);
    environment.vault = vault;
    // Syncing with the code already remembered, as on every sync but the first.
    QSettings(environment.settingsFile, QSettings::IniFormat)
        .setValue(PinlarkStore::passportCodeKey, code);
    run.store = std::make_unique<PinlarkStore>(std::move(environment));
    run.store->setCards(local);
    // A machine that synced this stack before: a first sync gives it its base, then the other
    // machine's edits arrive.
    seed(local, localBody);
    bool first = false;
    run.store->syncWithVault(code, [&](bool, const QString &) { first = true; });
    while (!first)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    seed(remote, remoteBody);

    // The GUI thread's pulse: the longest gap between two ticks of a 1 ms timer.
    QElapsedTimer pulse;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, run.store.get(), [&] {
        run.longestGapMs = std::max(run.longestGapMs, double(pulse.nsecsElapsed()) / 1e6);
        pulse.restart();
    });

    bool done = false;
    QString outcome;
    QElapsedTimer timer;
    timer.start();
    if (watch) {
        pulse.start();
        ticker.start();
    }
    run.store->syncWithVault(code, [&](bool success, const QString &message) {
        done = true;
        outcome = success ? QString() : message;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    run.elapsedMs = double(timer.nsecsElapsed()) / 1e6;
    ticker.stop();
    if (!outcome.isEmpty())
        qFatal("sync failed: %s", qPrintable(outcome));
    if (run.store->cards().size() != expectedCards)
        qFatal("sync gave %lld cards, not %lld", qlonglong(run.store->cards().size()),
               qlonglong(expectedCards));
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 7;
    if (argc > 2)
        stackSize = std::max(1, QString::fromLocal8Bit(argv[2]).toInt());

    StackGenerator generator;
    const QList<NoteCard> local = generator.stack(stackSize);
    const QList<NoteCard> remote = otherMachinesVersion(local, generator);
    const auto remotePayload = PinlarkVaultSync::encrypt(remote, code);
    if (!remotePayload)
        qFatal("encrypt failed");
    const QByteArray remoteBody = PinlarkVaultSync::detail::encodePostBody(remotePayload.value());
    const QByteArray localBody =
        PinlarkVaultSync::detail::encodePostBody(PinlarkVaultSync::encrypt(local, code).value());
    const QString path = u"/vault/pinlark/"_s + PinlarkVaultSync::vaultHash(code);

    ScriptedVaultServer server;
    if (!server.isListening())
        qFatal("the loopback Vault did not start: %s", qPrintable(server.errorString()));

    PinlarkVaultSync::VaultEndpoint vault;
    vault.baseUrl = server.baseUrl();
    vault.caFile = server.caFile();
    Seed seed = [&](const QList<NoteCard> &, const QByteArray &body) {
        server.setStoredBody(path, body);
    };
    if (const QString external = qEnvironmentVariable("PINLARK_BENCH_VAULT_URL");
        !external.isEmpty()) {
        vault.baseUrl = QUrl(external);
        vault.caFile = qEnvironmentVariable("PINLARK_BENCH_VAULT_CA");
        seed = [&](const QList<NoteCard> &cards, const QByteArray &) {
            if (!PinlarkVaultSync::push(vault, cards, code))
                qFatal("cannot seed the Vault at %s", qPrintable(vault.baseUrl.toString()));
        };
        std::printf("against the Vault at %s\n", qPrintable(external));
    }

    std::vector<double> exchangeMs;
    std::vector<double> exchangeRatios;
    std::vector<double> syncMs;
    std::vector<double> kdfMs;
    std::vector<double> ratios;
    double worstStallMs = 0;
    std::vector<double> stalls;
    std::vector<double> saveMs;

    for (int run = 0; run < runs; ++run) {
        // The exchange alone, blocking this thread.
        seed(remote, remoteBody);
        const double kdfBeforeExchange = deriveOnce() + deriveOnce();
        QElapsedTimer exchangeTimer;
        exchangeTimer.start();
        // As a machine that last exchanged `local`: the remembering sync, with its base.
        const auto exchanged = PinlarkVaultSync::syncStack(
            vault, {local, {}}, PinlarkVaultSync::exchangedVersions(local), code, u"bench"_s);
        const double exchangeElapsed = double(exchangeTimer.nsecsElapsed()) / 1e6;
        const double kdfAfterExchange = deriveOnce() + deriveOnce();
        if (!exchanged)
            qFatal("sync failed: %s", qPrintable(exchanged.error().localizedDescription()));
        const double exchangeKdf = (kdfBeforeExchange + kdfAfterExchange) / 2;
        exchangeMs.push_back(exchangeElapsed);
        exchangeRatios.push_back(exchangeElapsed / exchangeKdf);

        // Through the store, timed without watching the GUI thread (a 1 ms timer costs a core
        // its share on a small machine), then once more with the watch, for the gap alone.
        seed(remote, remoteBody);
        const double kdfBefore = deriveOnce() + deriveOnce();
        const StoreRun timed = syncThroughStore(vault, local, remote.size(), false, seed, remote,
                                                localBody, remoteBody);
        const double elapsed = timed.elapsedMs;
        const double kdf = (kdfBefore + deriveOnce() + deriveOnce()) / 2;
        // What the store adds to the exchange: above all writing the synced stack to disk,
        // flushed before it replaces the old file. Timed again on its own, same stack.
        QElapsedTimer saveTimer;
        saveTimer.start();
        timed.store->saveNotesImmediately();
        saveMs.push_back(double(saveTimer.nsecsElapsed()) / 1e6);
        seed(remote, remoteBody);
        const double longestGapMs =
            syncThroughStore(vault, local, remote.size(), true, seed, remote, localBody, remoteBody)
                .longestGapMs;
        syncMs.push_back(elapsed);
        kdfMs.push_back(kdf);
        ratios.push_back(elapsed / kdf);
        stalls.push_back(longestGapMs);
        worstStallMs = std::max(worstStallMs, longestGapMs);
        std::printf("run %d: exchange %.1f ms (ratio %.3f); through the store %.1f ms, two key "
                    "derivations %.1f ms, ratio %.3f, longest GUI-thread gap %.2f ms\n",
                    run + 1, exchangeElapsed, exchangeElapsed / exchangeKdf, elapsed, kdf,
                    elapsed / kdf, longestGapMs);
    }

    std::printf("\n%lld local cards, %lld in the Vault, payload %.1f KiB\n", qlonglong(stackSize),
                qlonglong(remote.size()), double(remoteBody.size()) / 1024.0);
    std::printf("median exchange alone       %8.1f ms, ratio %.3f\n", median(exchangeMs),
                median(exchangeRatios));
    std::printf("median sync through store   %8.1f ms, of which saving the stack about %.1f ms\n",
                median(syncMs), median(saveMs));
    std::printf("median two key derivations  %8.1f ms\n", median(kdfMs));
    std::printf("median ratio                %8.3f   (goal: at most 2)\n", median(ratios));
    std::printf("median longest GUI gap      %8.2f ms\n", median(stalls));
    std::printf("worst longest GUI gap       %8.2f ms  (goal: at most 16)\n", worstStallMs);
    return 0;
}
