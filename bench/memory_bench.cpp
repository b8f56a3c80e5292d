// Peak memory of a process that holds a large stack, against the size of its notes file.
//
//   memory_bench                     generates a stack in a child process, then measures it
//                                    in another, fresh one
//   memory_bench --generate FOLDER   writes notes.json with the generated stack into FOLDER
//   memory_bench --measure FOLDER    loads FOLDER's notes.json, draws once, saves, and prints
//                                    the resident sizes along the way
//
// The stack is made in a process of its own so that generating it does not raise the peak
// of the process measured. Figures only; the exit status says whether the run worked, not
// whether the goal was met.

#include "bench/BenchSupport.h"
#include "store/PinlarkStore.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype stackSize = 10'000;
// The goal: peak ≤ empty process + this many times the notes file.
constexpr double allowedFileMultiple = 3.0;

struct Resident
{
    qint64 currentKiB = -1; // VmRSS
    qint64 peakKiB = -1;    // VmHWM
};

Resident readResident()
{
    Resident resident;
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return resident;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        long long kib = 0;
        if (std::sscanf(line, "VmRSS: %lld kB", &kib) == 1)
            resident.currentKiB = kib;
        else if (std::sscanf(line, "VmHWM: %lld kB", &kib) == 1)
            resident.peakKiB = kib;
    }
    std::fclose(status);
    return resident;
}

double mib(qint64 kib)
{
    return double(kib) / 1024.0;
}

void printStep(const char *step, const Resident &resident, const Resident &empty)
{
    std::printf("%-28s VmRSS %8.1f MiB   VmHWM %8.1f MiB   peak above empty %8.1f MiB\n", step,
                mib(resident.currentKiB), mib(resident.peakKiB),
                mib(resident.peakKiB - empty.peakKiB));
}

int generate(const QString &folder)
{
    const qint64 size = writeNotesFile(folder, stackSize);
    return size > 0 ? 0 : 1;
}

int measure(const QString &folder)
{
    const Resident empty = readResident();
    const qint64 fileBytes = QFileInfo(folder + u"/notes.json"_s).size();
    if (empty.peakKiB < 0 || fileBytes <= 0) {
        std::fprintf(stderr, "nothing to measure: no /proc/self/status or no notes file\n");
        return 1;
    }
    const double fileMiB = double(fileBytes) / (1024.0 * 1024.0);
    std::printf("cards                        %lld\n", static_cast<long long>(stackSize));
    std::printf("notes file                   %8.2f MiB (%lld bytes)\n", fileMiB,
                static_cast<long long>(fileBytes));
    printStep("empty (QCoreApplication)", empty, empty);

    SilentSoundPlayer sounds;
    PinlarkStore store(benchEnvironment(folder, &sounds));
    if (store.cards().size() != stackSize) {
        std::fprintf(stderr, "the notes file did not load (%lld cards)\n",
                     static_cast<long long>(store.cards().size()));
        return 1;
    }
    printStep("after load", readResident(), empty);

    // One redraw: the store derives every card's tags, which it then keeps.
    const QStringList tags = store.allTags();
    const qsizetype shown = store.activeCardIndices().size();
    const qint64 position = store.currentFilteredIndex();
    const std::optional<NoteCard> current = store.currentCard();
    if (tags.isEmpty() || shown != stackSize || position != 0 || !current) {
        std::fprintf(stderr, "the derived state is not what the stack holds\n");
        return 1;
    }
    printStep("after first redraw", readResident(), empty);

    store.saveNotesImmediately();
    store.saveNotesImmediately(); // the second one skips the day's backup copy
    if (storeLogLines() != 0) {
        std::fprintf(stderr, "the store logged a failure while loading or saving\n");
        return 1;
    }
    const Resident afterSave = readResident();
    printStep("after save", afterSave, empty);

    const double aboveEmptyMiB = mib(afterSave.peakKiB - empty.peakKiB);
    const double budgetMiB = allowedFileMultiple * fileMiB;
    std::printf("\npeak above empty / notes file = %.2f  (goal <= %.1f: peak <= %.1f MiB, "
                "measured %.1f MiB, %s)\n",
                aboveEmptyMiB / fileMiB, allowedFileMultiple, mib(empty.peakKiB) + budgetMiB,
                mib(afterSave.peakKiB), aboveEmptyMiB <= budgetMiB ? "within" : "OVER");
    return 0;
}

// Runs this program again with `arguments`, passing its output through.
int runSelf(const QStringList &arguments)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "%s did not finish: %s\n", qUtf8Printable(arguments.join(u' ')),
                     qUtf8Printable(child.errorString()));
        return 1;
    }
    return child.exitCode();
}

int drive()
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder: %s\n", qUtf8Printable(dir.errorString()));
        return 1;
    }
    if (const int status = runSelf({u"--generate"_s, dir.path()}); status != 0)
        return status;
    std::fflush(stdout);
    return runSelf({u"--measure"_s, dir.path()});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == u"--generate")
        return generate(arguments.at(2));
    if (arguments.size() == 3 && arguments.at(1) == u"--measure")
        return measure(arguments.at(2));
    if (arguments.size() == 1)
        return drive();
    std::fprintf(stderr, "usage: %s [--generate FOLDER | --measure FOLDER]\n", argv[0]);
    return 2;
}
