// Timings of the store over a large stack: loading, saving, the derived state one redraw
// reads, and one keystroke's edit. Figures only; nothing here passes or fails.

#include "bench/BenchSupport.h"
#include "bench/StackGenerator.h"
#include "model/NoteJSON.h"
#include "store/NotesFile.h"
#include "store/PinlarkStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype stackSize = 10'000;

// A temporary folder holding notes.json with the generated stack, removed at exit. Loads
// read one such folder and saves write to another, so a load always reads the generated
// file and never a backups/ folder a save made.
class NotesFolder final
{
public:
    NotesFolder()
    {
        if (!m_dir.isValid()) {
            std::fprintf(stderr, "no temporary folder: %s\n", qUtf8Printable(m_dir.errorString()));
            return;
        }
        m_fileSize = writeNotesFile(m_dir.path(), stackSize);
    }
    Q_DISABLE_COPY_MOVE(NotesFolder)

    [[nodiscard]] bool ok() const { return m_fileSize > 0; }
    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] qint64 fileSize() const { return m_fileSize; }

private:
    QTemporaryDir m_dir;
    qint64 m_fileSize = -1;
};

NotesFolder &readFolder()
{
    static NotesFolder folder;
    return folder;
}

// Saves write the same stack again, so one folder serves every repetition.
NotesFolder &writeFolder()
{
    static NotesFolder folder;
    return folder;
}

const QList<NoteCard> &generatedStack()
{
    static const QList<NoteCard> cards = StackGenerator().stack(stackSize);
    return cards;
}

// Stops a benchmark whose notes file could not be made; returns whether it may go on.
bool folderReady(benchmark::State &state, const NotesFolder &folder)
{
    if (folder.ok())
        return true;
    state.SkipWithError("the notes file could not be written");
    return false;
}

// Voids a figure measured while the store logged a failure (a save that did not happen).
void reportStoreLog(benchmark::State &state, int linesBefore)
{
    if (storeLogLines() != linesBefore)
        state.SkipWithError("the store logged a failure; the figure is void");
}

void addFileCounters(benchmark::State &state, const NotesFolder &folder)
{
    state.counters["cards"] = double(stackSize);
    state.counters["file_MB"] = double(folder.fileSize()) / (1024.0 * 1024.0);
}

// Loading

void BM_NotesFileLoad(benchmark::State &state)
{
    NotesFolder &folder = readFolder();
    if (!folderReady(state, folder))
        return;
    NotesFile file(folder.path(), [] { return Timestamp{}; });
    for (auto _ : state) {
        NotesFile::Loaded loaded = file.load();
        if (loaded.status != NotesFile::Loaded::Status::Loaded ||
            loaded.cards.size() != stackSize) {
            state.SkipWithError("the notes file did not load");
            break;
        }
        benchmark::DoNotOptimize(loaded);
    }
    addFileCounters(state, folder);
}
BENCHMARK(BM_NotesFileLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StoreConstruct(benchmark::State &state)
{
    NotesFolder &folder = readFolder();
    if (!folderReady(state, folder))
        return;
    SilentSoundPlayer sounds;
    const int linesBefore = storeLogLines();
    for (auto _ : state) {
        PinlarkStore store(benchEnvironment(folder.path(), &sounds));
        benchmark::DoNotOptimize(store.cards().size());
    }
    reportStoreLog(state, linesBefore);
    addFileCounters(state, folder);
}
BENCHMARK(BM_StoreConstruct)->Unit(benchmark::kMillisecond)->UseRealTime();

// Saving

void BM_SaveNotesImmediately(benchmark::State &state)
{
    NotesFolder &folder = writeFolder();
    if (!folderReady(state, folder))
        return;
    SilentSoundPlayer sounds;
    PinlarkStore store(benchEnvironment(folder.path(), &sounds));
    // The first save of a day also copies the old file into backups/; that happens once a
    // day, so it is done here, outside the measured loop.
    store.saveNotesImmediately();
    const int linesBefore = storeLogLines();
    for (auto _ : state)
        store.saveNotesImmediately();
    reportStoreLog(state, linesBefore);
    addFileCounters(state, folder);
}
BENCHMARK(BM_SaveNotesImmediately)->Unit(benchmark::kMillisecond)->UseRealTime();

// One redraw

// What a view reads to draw the current card, its position and the tag bar.
void readDerivedState(const PinlarkStore &store)
{
    QStringList tags = store.allTags();
    benchmark::DoNotOptimize(tags);
    QList<qint64> indices = store.activeCardIndices();
    benchmark::DoNotOptimize(indices);
    qint64 position = store.currentFilteredIndex();
    benchmark::DoNotOptimize(position);
    std::optional<NoteCard> card = store.currentCard();
    benchmark::DoNotOptimize(card);
}

// A loaded store whose current card sits in the middle of the stack, or in the middle of
// the cards that carry `tag` when a filter is given.
std::unique_ptr<PinlarkStore> storeForRedraw(const NotesFolder &folder, SoundPlayer *sounds,
                                             const std::optional<QString> &tag)
{
    auto store = std::make_unique<PinlarkStore>(benchEnvironment(folder.path(), sounds));
    store->setSelectedTag(tag);
    const QList<qint64> indices = store->activeCardIndices();
    store->setActiveIndex(indices.isEmpty() ? 0 : indices.at(indices.size() / 2));
    return store;
}

void redraw(benchmark::State &state, const std::optional<QString> &tag)
{
    NotesFolder &folder = readFolder();
    if (!folderReady(state, folder))
        return;
    SilentSoundPlayer sounds;
    const std::unique_ptr<PinlarkStore> store = storeForRedraw(folder, &sounds, tag);
    // The first redraw after a load derives every card's tags; that one is measured apart.
    readDerivedState(*store);
    for (auto _ : state)
        readDerivedState(*store);
    state.counters["shown"] = double(store->activeCardIndices().size());
}

void BM_RedrawDerivedState(benchmark::State &state)
{
    redraw(state, std::nullopt);
}
BENCHMARK(BM_RedrawDerivedState)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RedrawDerivedStateTagFilter(benchmark::State &state)
{
    // One of the most used tags, so the filter keeps many cards: the costly case.
    redraw(state, u"#work"_s);
}
BENCHMARK(BM_RedrawDerivedStateTagFilter)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The first redraw after the whole list was replaced (a load, a sync): the tag cache is
// built from every card's text here.
void BM_FirstRedrawAfterLoad(benchmark::State &state)
{
    NotesFolder &folder = readFolder();
    if (!folderReady(state, folder))
        return;
    SilentSoundPlayer sounds;
    const std::unique_ptr<PinlarkStore> store = storeForRedraw(folder, &sounds, std::nullopt);
    for (auto _ : state) {
        store->setCards(store->cards()); // replaces the list: the tag cache is dropped
        readDerivedState(*store);
    }
}
BENCHMARK(BM_FirstRedrawAfterLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

// One keystroke

// The texts the current card goes through while someone types a line at its end, one
// keystroke (one character, or one emoji) at a time. Made before the measured loop.
QStringList typingSequence(const QString &start)
{
    const QString typed = u"\nPick up the parcel \u2014 before friday #errands \u2615"_s;
    QStringList texts;
    QString text = start;
    for (qsizetype i = 0; i < typed.size(); ++i) {
        text += typed.at(i);
        if (typed.at(i).isHighSurrogate() && i + 1 < typed.size())
            text += typed.at(++i);
        texts.append(text);
    }
    return texts;
}

void BM_UpdateCurrentCard(benchmark::State &state)
{
    NotesFolder &folder = readFolder();
    if (!folderReady(state, folder))
        return;
    SilentSoundPlayer sounds;
    const std::unique_ptr<PinlarkStore> store = storeForRedraw(folder, &sounds, std::nullopt);
    readDerivedState(*store); // the view has drawn once, so the tag cache exists
    const QStringList texts = typingSequence(store->currentCard()->content);
    const int linesBefore = storeLogLines();
    qsizetype next = 0;
    for (auto _ : state) {
        store->updateCurrentCard(texts.at(next));
        next = (next + 1) % texts.size();
    }
    reportStoreLog(state, linesBefore);
    state.counters["card_chars"] = double(texts.first().size());
}
BENCHMARK(BM_UpdateCurrentCard)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Where load and save time goes

void BM_DecodeCards(benchmark::State &state)
{
    NotesFolder &folder = readFolder();
    if (!folderReady(state, folder))
        return;
    QFile file(folder.path() + u"/notes.json"_s);
    if (!file.open(QIODevice::ReadOnly)) {
        state.SkipWithError("the notes file could not be read");
        return;
    }
    const QByteArray bytes = file.readAll();
    for (auto _ : state) {
        auto decoded = NoteJSON::decodeCards(bytes);
        benchmark::DoNotOptimize(decoded);
    }
}
BENCHMARK(BM_DecodeCards)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeCards(benchmark::State &state)
{
    const QList<NoteCard> &cards = generatedStack();
    for (auto _ : state) {
        QByteArray bytes = NoteJSON::encodeCards(cards);
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_EncodeCards)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // Timers (the debounced save) and QTemporaryDir want an application object.
    QCoreApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
