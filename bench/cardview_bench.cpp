// Timings of the card view over a large stack, offscreen: one typed character from the key
// event until every part of the view shows the new state (editor, word count, badge, chips),
// stepping to the next card, and finding: Ctrl+F, and one character typed into the find
// field or taken back until the card found and its marks are shown. Figures only; nothing
// here passes or fails.

#include "bench/BenchSupport.h"
#include "bench/StackGenerator.h"
#include "store/PinlarkStore.h"
#include "ui/CardFindBar.h"
#include "ui/FocusableTextView.h"
#include "ui/PinlarkCardView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype stackSize = 10'000;

// A store over a generated stack in a temporary folder, and the view over it, shown.
class Fixture final
{
public:
    Fixture()
    {
        if (writeNotesFile(m_dir.path(), stackSize) <= 0) {
            std::fprintf(stderr, "could not write the stack\n");
            return;
        }
        m_store = std::make_unique<PinlarkStore>(benchEnvironment(m_dir.path()));
        m_view = std::make_unique<PinlarkCardView>(*m_store, PinlarkCardView::Services{});
        m_view->show();
        m_store->setActiveIndex(stackSize / 2);
        QApplication::processEvents();
        m_view->editor()->setFocus();
        m_view->editor()->moveCursor(QTextCursor::End);
    }
    Q_DISABLE_COPY_MOVE(Fixture)

    [[nodiscard]] bool ok() const { return m_view != nullptr; }
    PinlarkStore &store() { return *m_store; }
    PinlarkCardView &view() { return *m_view; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PinlarkStore> m_store;
    std::unique_ptr<PinlarkCardView> m_view;
};

// Made on first use and gone before the application object, as widgets must be.
std::unique_ptr<Fixture> theFixture;

Fixture &fixture()
{
    if (!theFixture)
        theFixture = std::make_unique<Fixture>();
    return *theFixture;
}

void sendKey(QWidget *target, int key, const QString &text,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(target, &release);
}

// Lets Qt do what it does before the next frame: the layout and the repaint of what changed.
void settle()
{
    QApplication::processEvents();
}

// Each iteration types a character and then deletes it, so the card keeps its length; the
// "per_key" counter is the time of one of the two. With `paint`, each key is followed by the
// layout and repaint it caused, as the event loop would do next.
void typeAndErase(benchmark::State &state, bool paint)
{
    Fixture &f = fixture();
    if (!f.ok()) {
        state.SkipWithError("no fixture");
        return;
    }
    FocusableTextView *editor = f.view().editor();
    const QString before = f.store().currentCard()->content;
    for (auto _ : state) {
        sendKey(editor, Qt::Key_X, u"x"_s);
        if (paint)
            settle();
        sendKey(editor, Qt::Key_Backspace, QString());
        if (paint)
            settle();
    }
    if (f.store().currentCard()->content != before)
        state.SkipWithError("the card did not come back to its text");
    state.counters["per_key"] = benchmark::Counter(
        2, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_TypeCharacter(benchmark::State &state)
{
    fixture().store().setSelectedTag(std::nullopt);
    typeAndErase(state, false);
}
BENCHMARK(BM_TypeCharacter)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TypeCharacterAndPaint(benchmark::State &state)
{
    fixture().store().setSelectedTag(std::nullopt);
    typeAndErase(state, true);
}
BENCHMARK(BM_TypeCharacterAndPaint)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same under a tag filter, where the badge walks the filtered list.
void BM_TypeCharacterTagFilter(benchmark::State &state)
{
    Fixture &f = fixture();
    const QStringList tags = f.store().currentCard()->hashtags();
    f.store().setSelectedTag(tags.isEmpty() ? std::nullopt : std::optional(tags.first()));
    typeAndErase(state, false);
    f.store().setSelectedTag(std::nullopt);
}
BENCHMARK(BM_TypeCharacterTagFilter)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Ctrl+] then Ctrl+[: two card switches per iteration; "per_switch" is one of them.
void switchCards(benchmark::State &state, bool paint)
{
    Fixture &f = fixture();
    if (!f.ok()) {
        state.SkipWithError("no fixture");
        return;
    }
    f.store().setSelectedTag(std::nullopt);
    FocusableTextView *editor = f.view().editor();
    const qint64 start = f.store().activeIndex();
    for (auto _ : state) {
        sendKey(editor, Qt::Key_BracketRight, QString(), Qt::ControlModifier);
        if (paint)
            settle();
        sendKey(editor, Qt::Key_BracketLeft, QString(), Qt::ControlModifier);
        if (paint)
            settle();
    }
    if (f.store().activeIndex() != start)
        state.SkipWithError("the shortcuts did not step");
    state.counters["per_switch"] = benchmark::Counter(
        2, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_SwitchCard(benchmark::State &state)
{
    switchCards(state, false);
}
BENCHMARK(BM_SwitchCard)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SwitchCardAndPaint(benchmark::State &state)
{
    switchCards(state, true);
}
BENCHMARK(BM_SwitchCardAndPaint)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Ctrl+F and Escape: the first folds every card's text for the search, the second lets it go.
void BM_FindOpenAndClose(benchmark::State &state)
{
    Fixture &f = fixture();
    if (!f.ok()) {
        state.SkipWithError("no fixture");
        return;
    }
    for (auto _ : state) {
        sendKey(f.view().editor(), Qt::Key_F, QString(), Qt::ControlModifier);
        settle();
        f.view().leaveWithEscape();
        settle();
    }
    if (f.store().findQuery())
        state.SkipWithError("the find did not end");
}
BENCHMARK(BM_FindOpenAndClose)->Unit(benchmark::kMillisecond)->UseRealTime();

// The words typed: two that a generated card holds, so some cards are found at every step.
QString findQuery(PinlarkStore &store)
{
    const QStringList words = store.cards()
                                  .at(stackSize / 3)
                                  .content.split(u' ', Qt::SkipEmptyParts)
                                  .filter(QRegularExpression(u"^[a-z]{5,}$"_s));
    return words.size() >= 2 ? words.at(0) + u' ' + words.at(1) : u"lorem ipsum"_s;
}

// Types `query` into the find field a key at a time, each key followed by the layout and
// repaint it caused, adding each key's time to `perKey`.
void typeKeys(QLineEdit *field, const QString &query, std::vector<double> *perKey)
{
    for (qsizetype i = 0; i < query.size(); ++i) {
        QElapsedTimer timer;
        timer.start();
        const QChar letter = query.at(i);
        sendKey(field, letter.toUpper().unicode(), QString(letter));
        settle();
        if (perKey)
            (*perKey)[std::size_t(i)] += double(timer.nsecsElapsed()) / 1e9;
    }
}

// A fresh find each iteration (Ctrl+F not timed), the query typed a key at a time. Typing
// on looks only at the cards found so far, from where the word typed was found in each.
// "per_key" is the mean of every key, "slowest_key" the mean of the dearest position;
// PINLARK_BENCH_KEYS=1 prints the mean of each position.
void BM_FindType(benchmark::State &state)
{
    Fixture &f = fixture();
    if (!f.ok()) {
        state.SkipWithError("no fixture");
        return;
    }
    QLineEdit *field = f.view().findBar()->field();
    const QString query = findQuery(f.store());
    std::vector<double> perKey(std::size_t(query.size()), 0.0);
    for (auto _ : state) {
        state.PauseTiming();
        f.view().leaveWithEscape();
        f.view().openFind();
        settle();
        state.ResumeTiming();
        typeKeys(field, query, &perKey);
    }
    const double iterations = double(state.iterations());
    double total = 0;
    double slowest = 0;
    for (const double seconds : perKey) {
        total += seconds;
        slowest = std::max(slowest, seconds / iterations);
    }
    if (qEnvironmentVariableIsSet("PINLARK_BENCH_KEYS")) {
        for (std::size_t i = 0; i < perKey.size(); ++i)
            std::fprintf(stderr, "key %zu '%c': %.3f ms\n", i,
                         char(query.at(qsizetype(i)).unicode()), perKey[i] / iterations * 1e3);
    }
    state.counters["per_key"] = total / iterations / double(query.size());
    state.counters["slowest_key"] = slowest;
    state.counters["found"] = double(f.store().activeCardIndices().size());
    state.SetLabel(QString(u"query \""_s + query + u'"').toStdString());
    f.view().leaveWithEscape();
    settle();
}
BENCHMARK(BM_FindType)->Unit(benchmark::kMillisecond)->UseRealTime();

// Backspace over the whole query after typing it (not timed): each shorter query was found
// a moment before.
void BM_FindTakeBack(benchmark::State &state)
{
    Fixture &f = fixture();
    if (!f.ok()) {
        state.SkipWithError("no fixture");
        return;
    }
    QLineEdit *field = f.view().findBar()->field();
    const QString query = findQuery(f.store());
    for (auto _ : state) {
        state.PauseTiming();
        f.view().leaveWithEscape();
        f.view().openFind();
        typeKeys(field, query, nullptr);
        state.ResumeTiming();
        for (qsizetype i = 0; i < query.size(); ++i) {
            sendKey(field, Qt::Key_Backspace, QString());
            settle();
        }
    }
    state.counters["per_key"] =
        benchmark::Counter(double(query.size()), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
    f.view().leaveWithEscape();
    settle();
}
BENCHMARK(BM_FindTakeBack)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    theFixture.reset();
    return 0;
}
