// Timings of the card view over a large stack, offscreen: one typed character from the key
// event until every part of the view shows the new state (editor, word count, badge, chips),
// and stepping to the next card. Figures only; nothing here passes or fails.

#include "bench/BenchSupport.h"
#include "bench/StackGenerator.h"
#include "store/PinlarkStore.h"
#include "ui/FocusableTextView.h"
#include "ui/PinlarkCardView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>

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

Fixture &fixture()
{
    static Fixture instance;
    return instance;
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
    return 0;
}
