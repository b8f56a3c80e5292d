#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "tests/support/FakeClipboard.h"
#include "tests/support/FakeSaveDialog.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/ManualScheduler.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "ui/CardButton.h"
#include "ui/CardFindBar.h"
#include "ui/CardUndoNotice.h"
#include "ui/ColorDot.h"
#include "ui/FocusableTextView.h"
#include "ui/PillLabel.h"
#include "ui/PinlarkCardView.h"
#include "ui/PinlarkSyncPanel.h"
#include "ui/WordCount.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGraphicsEffect>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// A card of the view's tests: mint unless told, unpinned, edited at `updatedAt`.
NoteCard makeCard(const QString &id, const QString &content, const QString &color = u"mint"_s,
                  bool pinned = false, double updatedAt = 100.0)
{
    return StoreTest::card(id, content, updatedAt, pinned, color);
}

} // namespace

class TestPinlarkCardView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void wordCount_data();
    void wordCount();
    void wordCountLabel_data();
    void wordCountLabel();

    void navigationTable_data();
    void navigationTable();
    void previousAtFirstMatchLeavesCard();

    void chipsSelectAndClear();
    void chipRowOnlyWithTags();

    void deleteButtonFollowsCardCount();
    void findNarrowsMarksAndSteps();
    void findLeavesTheCaretToTheUser();
    void undoNoticeAndCtrlZ();
    void deleteShortcutWinsOverEditorOnlyWhenPresent();
    void unknownColourShowsYellowWithoutSelectedDot();
    void dotsAndPinCallTheStore();

    void typingWritesThroughTheStore();
    void caretKeptAcrossPinResort();
    void shortcutsStepAndAdd();

    void copyNoticeIsNotExtended();
    void noticesOverlap();

    void exportShowsNoticeAndFile();
    void cancelledExportShowsNothing();
    void menuItems();
    void menuCommands();
    void quitSavesPendingEdits();

    void syncOverlayFollowsShowSync();
    void syncOverlayCoversEveryBand();
    void keyboardGoesToPanelAndBack();
    void panelOpenAtStartHasTheKeyboard();
    void cardKeysWaitUnderPanel_data();
    void cardKeysWaitUnderPanel();

    void everyControlIsNamedAndReachable();
    void textsNameOnlyLinuxKeys();
    void designSizes();
    void renderStates();

private:
    void makeView();
    [[nodiscard]] PinlarkStore &store() { return *m_store; }
    [[nodiscard]] PinlarkCardView &view() { return *m_view; }
    template<typename T> [[nodiscard]] T *part(const QString &name)
    {
        T *widget = m_view->findChild<T *>(name);
        if (!widget)
            qFatal("no part named %s", qPrintable(name));
        return widget;
    }
    void setStack(const QList<NoteCard> &cards, qint64 active = 0);

    std::unique_ptr<QTemporaryDir> m_folder;
    RecordingSoundPlayer m_sounds;
    std::unique_ptr<FakeSaveDialog> m_dialog;
    std::unique_ptr<FakeWorkspace> m_workspace;
    std::unique_ptr<FakeClipboard> m_clipboard;
    ManualScheduler m_scheduler;
    QStringList m_log;
    int m_quits = 0;
    std::unique_ptr<PinlarkStore> m_store;
    std::unique_ptr<PinlarkCardView> m_view;
};

void TestPinlarkCardView::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
    m_dialog = std::make_unique<FakeSaveDialog>();
    m_workspace = std::make_unique<FakeWorkspace>();
    m_clipboard = std::make_unique<FakeClipboard>();
    m_scheduler.clear();
    m_log.clear();
    m_quits = 0;
    PinlarkStore::Environment environment;
    environment.sounds = &m_sounds;
    environment.notesFolder = m_folder->path();
    environment.saveDialog = m_dialog.get();
    environment.workspace = m_workspace.get();
    environment.clock = [] { return Timestamp{1000.0}; };
    environment.log = [this](const QString &line) { m_log.append(line); };
    m_store = std::make_unique<PinlarkStore>(environment);
    makeView();
}

void TestPinlarkCardView::makeView()
{
    PinlarkCardView::Services services;
    services.clipboard = m_clipboard.get();
    services.workspace = m_workspace.get();
    services.quit = [this] { ++m_quits; };
    services.schedule = m_scheduler.function();
    m_view = std::make_unique<PinlarkCardView>(*m_store, services);
    m_view->show();
    m_view->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
}

void TestPinlarkCardView::cleanup()
{
    m_view.reset();
    m_store.reset();
    m_folder.reset();
}

void TestPinlarkCardView::setStack(const QList<NoteCard> &cards, qint64 active)
{
    store().setCards(cards);
    store().setActiveIndex(active);
}

// Word count

void TestPinlarkCardView::wordCount_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("words");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("one word") << u"word"_s << 1;
    QTest::newRow("spaces, line break, tab") << u"a  b\n\tc"_s << 3;
    QTest::newRow("only spaces and breaks") << u"  \n \r\n\t "_s << 0;
    QTest::newRow("no-break space") << u"a\u00A0b"_s << 2;
    QTest::newRow("ideographic space") << u"\u65E5\u3000\u672C"_s << 2;
    QTest::newRow("line separator") << u"a\u2028b\u2029c\u0085d"_s << 4;
    QTest::newRow("zero-width space joins") << u"a\u200Bb"_s << 1;
    QTest::newRow("combining mark stays in its word") << u"cafe\u0301 ok"_s << 2;
    // A mark after a space forms one cluster with it, and the cluster is whitespace.
    QTest::newRow("mark on a space is whitespace") << u"a \u0301b"_s << 2;
    QTest::newRow("lone mark on a space") << u" \u0301"_s << 0;
    QTest::newRow("emoji sequence") << u"\U0001F469\u200D\U0001F4BB ok"_s << 2;
    QTest::newRow("checklist line") << u"- [ ] milk"_s << 4;
}

void TestPinlarkCardView::wordCount()
{
    QFETCH(QString, text);
    QFETCH(int, words);
    QCOMPARE(::wordCount(text), words);
}

void TestPinlarkCardView::wordCountLabel_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("label");
    QTest::newRow("none") << QString() << u"0 words"_s;
    QTest::newRow("one") << u"hello"_s << u"1 word"_s;
    QTest::newRow("three") << u"a  b\n\tc"_s << u"3 words"_s;
}

void TestPinlarkCardView::wordCountLabel()
{
    QFETCH(QString, content);
    QFETCH(QString, label);
    setStack({makeCard(u"A"_s, content)});
    QCOMPARE(part<QLabel>(u"wordCount"_s)->text(), label);
}

// Navigation

void TestPinlarkCardView::navigationTable_data()
{
    QTest::addColumn<QList<NoteCard>>("cards");
    QTest::addColumn<qint64>("active");
    QTest::addColumn<std::optional<QString>>("tag");
    QTest::addColumn<QString>("badge");
    QTest::addColumn<bool>("previousEnabled");
    QTest::addColumn<bool>("nextEnabled");

    const QList<NoteCard> four = {
        makeCard(u"A"_s, u"one"_s),
        makeCard(u"B"_s, u"two #x"_s),
        makeCard(u"C"_s, u"three"_s),
        makeCard(u"D"_s, u"four #y"_s),
    };
    QTest::newRow("first of four")
        << four << qint64(0) << std::optional<QString>() << "1/4" << false << true;
    QTest::newRow("last of four") << four << qint64(3) << std::optional<QString>() << "4/4" << true
                                  << false;
    QTest::newRow("filter matches nothing")
        << four << qint64(2) << std::optional<QString>(u"#none"_s) << "1/1" << true << false;
    // Previous follows the position in the whole stack, next the filtered list.
    QTest::newRow("only match at position 3")
        << four << qint64(3) << std::optional<QString>(u"#y"_s) << "1/1" << true << false;
}

void TestPinlarkCardView::navigationTable()
{
    QFETCH(QList<NoteCard>, cards);
    QFETCH(qint64, active);
    QFETCH(std::optional<QString>, tag);
    QFETCH(QString, badge);
    QFETCH(bool, previousEnabled);
    QFETCH(bool, nextEnabled);

    setStack(cards, active);
    store().setSelectedTag(tag);
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), badge);
    QCOMPARE(part<CardButton>(u"previousButton"_s)->isEnabled(), previousEnabled);
    QCOMPARE(part<CardButton>(u"nextButton"_s)->isEnabled(), nextEnabled);
}

void TestPinlarkCardView::previousAtFirstMatchLeavesCard()
{
    // The welcome card alone: nothing to step to, nothing to delete, yellow selected.
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), u"1/1"_s);
    QVERIFY(!part<CardButton>(u"previousButton"_s)->isEnabled());
    QVERIFY(!part<CardButton>(u"nextButton"_s)->isEnabled());
    QVERIFY(part<CardButton>(u"deleteButton"_s)->isHidden());
    QVERIFY(part<ColorDot>(u"colorDot-yellow"_s)->isSelected());

    setStack({makeCard(u"A"_s, u"a"_s), makeCard(u"B"_s, u"b"_s), makeCard(u"C"_s, u"c #t"_s),
              makeCard(u"D"_s, u"d #t"_s), makeCard(u"E"_s, u"e #t"_s)},
             0);
    view().pressTagChip(u"#t"_s);
    QCOMPARE(store().activeIndex(), 2);
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), u"1/3"_s);
    auto *previous = part<CardButton>(u"previousButton"_s);
    QVERIFY(previous->isEnabled());
    QTest::mouseClick(previous, Qt::LeftButton);
    QCOMPARE(store().activeIndex(), 2);
    QTest::mouseClick(part<CardButton>(u"nextButton"_s), Qt::LeftButton);
    QCOMPARE(store().activeIndex(), 3);
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), u"2/3"_s);
}

// Chips

void TestPinlarkCardView::chipsSelectAndClear()
{
    setStack({makeCard(u"A"_s, u"plain"_s), makeCard(u"B"_s, u"#work one"_s),
              makeCard(u"C"_s, u"#home two"_s), makeCard(u"D"_s, u"#work three"_s)},
             0);
    auto *all = part<CardButton>(u"chipAll"_s);
    QCOMPARE(all->text(), u"All (4)"_s);
    QVERIFY(all->isChecked());
    QCOMPARE(all->look().fill, NotePastel::yellow());
    QCOMPARE(all->look().font.weight(), QFont::Bold);

    auto *work = part<CardButton>(u"chip-#work"_s);
    QTest::mouseClick(work, Qt::LeftButton);
    QCOMPARE(store().selectedTag(), std::optional<QString>(u"#work"_s));
    QCOMPARE(store().activeIndex(), 1);
    QVERIFY(work->isChecked());
    QCOMPARE(work->look().fill, NotePastel::mint());
    QVERIFY(!all->isChecked());
    QCOMPARE(all->look().font.weight(), QFont::Medium);
    QCOMPARE(all->text(), u"All (4)"_s); // counts the whole stack

    store().nextCard();
    QCOMPARE(store().activeIndex(), 3);
    // Pressing the selected chip clears the filter and keeps the card.
    QTest::mouseClick(work, Qt::LeftButton);
    QCOMPARE(store().selectedTag(), std::nullopt);
    QCOMPARE(store().activeIndex(), 3);

    QTest::mouseClick(part<CardButton>(u"chip-#home"_s), Qt::LeftButton);
    QCOMPARE(store().activeIndex(), 2);
    // "All" only clears the filter.
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(store().selectedTag(), std::nullopt);
    QCOMPARE(store().activeIndex(), 2);
}

void TestPinlarkCardView::chipRowOnlyWithTags()
{
    auto *row = part<QScrollArea>(u"tagChips"_s);
    setStack({makeCard(u"A"_s, u"no tags"_s)});
    QVERIFY(row->isHidden());
    // Typing a tag brings the row, with the new chip.
    view().editor()->setFocus();
    QTest::keyClicks(view().editor(), u" #idea"_s);
    QVERIFY(!row->isHidden());
    QVERIFY(view().findChild<CardButton *>(u"chip-#idea"_s));
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(view().editor(), Qt::Key_Backspace);
    QVERIFY(row->isHidden());
}

// Card commands

void TestPinlarkCardView::deleteButtonFollowsCardCount()
{
    auto *remove = part<CardButton>(u"deleteButton"_s);
    QVERIFY(remove->isHidden());
    QTest::mouseClick(part<CardButton>(u"newButton"_s), Qt::LeftButton);
    QCOMPARE(store().cards().size(), 2);
    QVERIFY(!remove->isHidden());
    QCOMPARE(remove->toolTip(), u"Delete this card (Ctrl+Backspace)"_s);
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(store().cards().size(), 1);
    QVERIFY(remove->isHidden());
}

void TestPinlarkCardView::deleteShortcutWinsOverEditorOnlyWhenPresent()
{
    setStack({makeCard(u"A"_s, u"alpha beta"_s), makeCard(u"B"_s, u"gamma"_s)}, 0);
    FocusableTextView *editor = view().editor();
    editor->setFocus();
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    // Two cards: the chord deletes the card, not the word before the caret.
    QTest::keyClick(editor, Qt::Key_Backspace, Qt::ControlModifier);
    QCOMPARE(store().cards().size(), 1);
    QCOMPARE(store().cards().first().id, u"B"_s);
    // One card: the editor keeps the chord and deletes a word.
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(editor, u" delta"_s);
    QTest::keyClick(editor, Qt::Key_Backspace, Qt::ControlModifier);
    QCOMPARE(store().cards().size(), 1);
    QCOMPARE(store().cards().first().content, u"gamma "_s);
}

void TestPinlarkCardView::findNarrowsMarksAndSteps()
{
    setStack({makeCard(u"A"_s, u"plain #t"_s), makeCard(u"B"_s, u"Lunch at the Café\ncafe again"_s),
              makeCard(u"C"_s, u"nothing"_s), makeCard(u"D"_s, u"CAFE receipt"_s)},
             2);
    FocusableTextView *editor = view().editor();
    editor->setFocus();
    QTRY_VERIFY(editor->hasFocus());
    auto *chips = part<QWidget>(u"tagChips"_s);
    QVERIFY(chips->isVisible());

    QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
    QLineEdit *field = view().findBar()->field();
    QVERIFY(view().findBar()->isVisible());
    QVERIFY(!chips->isVisible()); // the find band stands in its place
    QTRY_VERIFY(field->hasFocus());
    QCOMPARE(field->accessibleName(), u"Find"_s);
    QTest::keyClicks(field, u"cafe"_s);
    QCOMPARE(store().findQuery(), std::optional(u"cafe"_s));
    // The first card found, every occurrence marked, the caret at the first.
    QCOMPARE(store().currentCard()->id, u"B"_s);
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), u"1/2"_s);
    QList<std::pair<int, int>> marked;
    for (const QTextEdit::ExtraSelection &mark : editor->extraSelections())
        marked.append({mark.cursor.selectionStart(), mark.cursor.selectionEnd()});
    QCOMPARE(marked, (QList<std::pair<int, int>>{{13, 17}, {18, 22}}));
    QCOMPARE(editor->textCursor().position(), 13);
    // The keys stay in the field: the card's text is untouched.
    QVERIFY(field->hasFocus());
    QCOMPARE(store().currentCard()->content, u"Lunch at the Café\ncafe again"_s);

    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(store().currentCard()->id, u"D"_s);
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), u"2/2"_s);
    QCOMPARE(editor->textCursor().position(), 0);
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(store().currentCard()->id, u"B"_s); // round to the first
    QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(store().currentCard()->id, u"D"_s);
    QTest::keyClick(field, Qt::Key_BracketLeft, Qt::ControlModifier);
    QCOMPARE(store().currentCard()->id, u"B"_s);

    // Nothing found: says so, and counts none.
    QTest::keyClicks(field, u"x"_s);
    QVERIFY(part<QLabel>(u"findNoMatch"_s)->isVisible());
    QCOMPARE(part<PillLabel>(u"counterBadge"_s)->text(), u"0/0"_s);
    QVERIFY(editor->extraSelections().isEmpty());
    QTest::keyClick(field, Qt::Key_Backspace);
    QVERIFY(!part<QLabel>(u"findNoMatch"_s)->isVisible());

    // Escape (through the popup) ends the find and leaves the card found.
    QVERIFY(view().leaveWithEscape());
    QVERIFY(!view().findBar()->isVisible());
    QVERIFY(chips->isVisible());
    QCOMPARE(store().findQuery(), std::nullopt);
    QCOMPARE(store().currentCard()->id, u"B"_s);
    QVERIFY(editor->extraSelections().isEmpty());
    QTRY_VERIFY(editor->hasFocus());
    QCOMPARE(editor->textCursor().position(), 13);
    QVERIFY(!view().leaveWithEscape()); // now the popup's to close
}

// While finding, a click into the card and typing there edit it where the user put the
// caret; only a new query or another card moves it.
void TestPinlarkCardView::findLeavesTheCaretToTheUser()
{
    setStack({makeCard(u"A"_s, u"one milk"_s), makeCard(u"B"_s, u"two milk"_s)}, 0);
    view().openFind();
    QTest::keyClicks(view().findBar()->field(), u"milk"_s);
    FocusableTextView *editor = view().editor();
    QCOMPARE(editor->textCursor().position(), 4);
    editor->setFocus();
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClick(editor, Qt::Key_Home);
    QTest::keyClicks(editor, u"x"_s);
    QCOMPARE(store().currentCard()->content, u"xone milk"_s);
    QCOMPARE(editor->textCursor().position(), 1);
    // The marks follow the text.
    QCOMPARE(editor->extraSelections().size(), 1);
    QCOMPARE(editor->extraSelections().first().cursor.selectionStart(), 5);
    // The field was left, so the editor keeps the keyboard through the store's changes.
    QVERIFY(editor->hasFocus());
}

void TestPinlarkCardView::undoNoticeAndCtrlZ()
{
    const QList<NoteCard> cards{makeCard(u"A"_s, u"first"_s), makeCard(u"B"_s, u"second"_s),
                                makeCard(u"C"_s, u"third"_s)};
    setStack(cards, 1);
    CardUndoNotice *notice = view().undoNotice();
    QVERIFY(!notice->isVisible());
    part<CardButton>(u"deleteButton"_s)->click();
    QCOMPARE(store().cards().size(), 2);
    QVERIFY(notice->isVisible());
    QCOMPARE(notice->undoButton()->accessibleName(), u"Undo"_s);
    // In the corner opposite the other notices, inside the card.
    const QRect area = part<QWidget>(u"editorArea"_s)->rect();
    QVERIFY(area.contains(notice->geometry()));
    QVERIFY(notice->geometry().right() < area.center().x());

    notice->undoButton()->click();
    QCOMPARE(store().cards(), cards);
    QCOMPARE(store().currentCard()->id, u"B"_s);
    QVERIFY(!notice->isVisible());

    // Ctrl+Z: the delete, while the card shown has nothing of its own to undo…
    FocusableTextView *editor = view().editor();
    editor->setFocus();
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClick(editor, Qt::Key_Backspace, Qt::ControlModifier);
    QCOMPARE(store().cards().size(), 2);
    QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(store().cards(), cards);

    // …and the typing, once there is some: the delete stays deleted.
    QTest::keyClick(editor, Qt::Key_Backspace, Qt::ControlModifier);
    QCOMPARE(store().currentCard()->id, u"C"_s);
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(editor, u" typed"_s);
    QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(store().cards().size(), 2);
    QVERIFY(store().canUndoDelete());
    QVERIFY(notice->isVisible());
}

void TestPinlarkCardView::unknownColourShowsYellowWithoutSelectedDot()
{
    setStack({makeCard(u"A"_s, u"x"_s, u"teal"_s)});
    const QImage strip = part<QWidget>(u"accentStrip"_s)->grab().toImage();
    QCOMPARE(strip.pixelColor(strip.width() / 2, strip.height() / 2).rgb(),
             NotePastel::yellow().rgb());
    for (const QString &key : NotePastel::allKeys())
        QVERIFY2(!part<ColorDot>(u"colorDot-"_s + key)->isSelected(), qPrintable(key));
}

void TestPinlarkCardView::dotsAndPinCallTheStore()
{
    setStack({makeCard(u"A"_s, u"a"_s, u"mint"_s), makeCard(u"B"_s, u"b"_s, u"sky"_s)}, 1);
    auto *lavender = part<ColorDot>(u"colorDot-lavender"_s);
    QTest::mouseClick(lavender, Qt::LeftButton);
    QCOMPARE(store().cards().at(1).color, u"lavender"_s);
    QVERIFY(lavender->isSelected());
    QVERIFY(!part<ColorDot>(u"colorDot-sky"_s)->isSelected());

    auto *pin = part<CardButton>(u"pinButton"_s);
    QCOMPARE(pin->toolTip(), u"Pin card to front"_s);
    QVERIFY(pin->text().isEmpty());
    QTest::mouseClick(pin, Qt::LeftButton);
    QCOMPARE(store().cards().first().id, u"B"_s);
    QVERIFY(store().cards().first().pinned());
    QCOMPARE(pin->text(), u"Pinned"_s);
    QCOMPARE(pin->toolTip(), u"Unpin card"_s);
    QCOMPARE(pin->accessibleName(), u"Unpin card"_s);

    QTest::mouseClick(part<CardButton>(u"checklistButton"_s), Qt::LeftButton);
    QCOMPARE(store().currentCard()->content, u"b\n- [ ] "_s);
}

// Editing

void TestPinlarkCardView::typingWritesThroughTheStore()
{
    setStack({makeCard(u"A"_s, u"one"_s)});
    FocusableTextView *editor = view().editor();
    QTRY_VERIFY(editor->hasFocus());
    QCOMPARE(editor->toPlainText(), u"one"_s);
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(editor, u" two"_s);
    QCOMPARE(store().cards().first().content, u"one two"_s);
    QCOMPARE(part<QLabel>(u"wordCount"_s)->text(), u"2 words"_s);
    QVERIFY(store().hasPendingSave());
    // The text came from the editor, so it was not put back (its undo history is intact).
    QVERIFY(editor->document()->isUndoAvailable());
}

void TestPinlarkCardView::caretKeptAcrossPinResort()
{
    // Pinning re-sorts the stack before it moves to the pinned card, so the editor sees
    // another card's (short) text in between; the caret must survive that.
    const QString longText(80, u'x');
    setStack({makeCard(u"A"_s, u"short"_s, u"mint"_s, false, 300),
              makeCard(u"B"_s, longText, u"mint"_s, false, 100)},
             1);
    FocusableTextView *editor = view().editor();
    QTextCursor cursor = editor->textCursor();
    cursor.setPosition(60);
    editor->setTextCursor(cursor);
    QTest::mouseClick(part<CardButton>(u"pinButton"_s), Qt::LeftButton);
    QCOMPARE(store().activeIndex(), 0);
    QCOMPARE(editor->toPlainText(), longText);
    QCOMPARE(editor->textCursor().position(), 60);
}

void TestPinlarkCardView::shortcutsStepAndAdd()
{
    setStack({makeCard(u"A"_s, u"a"_s), makeCard(u"B"_s, u"b"_s)}, 0);
    FocusableTextView *editor = view().editor();
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClick(editor, Qt::Key_BracketRight, Qt::ControlModifier);
    QCOMPARE(store().activeIndex(), 1);
    QTest::keyClick(editor, Qt::Key_BracketLeft, Qt::ControlModifier);
    QCOMPARE(store().activeIndex(), 0);
    QTest::keyClick(editor, Qt::Key_PageDown, Qt::ControlModifier);
    QCOMPARE(store().activeIndex(), 1);
    QTest::keyClick(editor, Qt::Key_PageUp, Qt::ControlModifier);
    QCOMPARE(store().activeIndex(), 0);
    QTest::keyClick(editor, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(store().cards().size(), 3);
    QCOMPARE(store().activeIndex(), 2);
    QCOMPARE(editor->toPlainText(), QString());
    QTest::keyClick(editor, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(store().showSync());
    // None of the chords reached the text.
    QCOMPARE(store().cards().at(0).content, u"a"_s);
    QCOMPARE(store().cards().at(1).content, u"b"_s);
}

// Notices

void TestPinlarkCardView::copyNoticeIsNotExtended()
{
    setStack({makeCard(u"A"_s, u"copy me"_s)});
    QTest::mouseClick(part<CardButton>(u"copyButton"_s), Qt::LeftButton);
    QCOMPARE(m_clipboard->texts, QStringList{u"copy me"_s});
    QCOMPARE(view().toastText(), std::optional<QString>(u"\u2713 Copied to clipboard"_s));
    QCOMPARE(m_scheduler.delays(), QList<int>{PinlarkCardView::copiedToastMs});

    // A second copy a moment later copies again but keeps the first notice's end.
    QTest::keyClick(view().editor(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(m_clipboard->texts.size(), 2);
    m_scheduler.runNext();
    QVERIFY(!view().copiedToast());
    QCOMPARE(view().toastText(), std::nullopt);
    m_scheduler.runAll();
    QVERIFY(!view().copiedToast());

    // A copy after the notice ended shows a fresh one with its own full time.
    view().copyCurrentCard();
    QVERIFY(view().copiedToast());
    QCOMPARE(m_scheduler.pending(), 1);
    m_scheduler.runNext();
    QVERIFY(!view().copiedToast());
}

void TestPinlarkCardView::noticesOverlap()
{
    view().exportAll();
    QVERIFY(m_dialog->answer(QUrl::fromLocalFile(m_folder->filePath(u"out.md"_s))));
    QCOMPARE(view().toastText(), std::optional<QString>(u"Exported!"_s));
    view().copyCurrentCard();
    QCOMPARE(view().toastText(), std::optional<QString>(u"\u2713 Copied to clipboard"_s));
    QCOMPARE(m_scheduler.delays(),
             (QList<int>{PinlarkCardView::exportToastMs, PinlarkCardView::copiedToastMs}));
    m_scheduler.runAt(1); // the copy notice ends first
    QCOMPARE(view().toastText(), std::optional<QString>(u"Exported!"_s));
    m_scheduler.runNext();
    QCOMPARE(view().toastText(), std::nullopt);
    QTRY_VERIFY(part<PillLabel>(u"toast"_s)->isHidden());
}

// Actions menu

void TestPinlarkCardView::exportShowsNoticeAndFile()
{
    const QString target = m_folder->filePath(u"Export.md"_s);
    const QList<QAction *> actions = view().actionsMenu()->actions();
    actions.at(1)->trigger();
    QCOMPARE(m_dialog->openRequests(), 1);
    QVERIFY(view().toastText() == std::nullopt); // nothing before the user has answered
    QVERIFY(m_dialog->answer(QUrl::fromLocalFile(target)));
    QVERIFY(QFile::exists(target));
    QCOMPARE(m_workspace->shown, QList<QUrl>{QUrl::fromLocalFile(target)});
    QCOMPARE(view().exportToast(), std::optional<QString>(u"Exported!"_s));
    QCOMPARE(m_scheduler.delays(), QList<int>{PinlarkCardView::exportToastMs});
    m_scheduler.runNext();
    QCOMPARE(view().exportToast(), std::nullopt);
}

void TestPinlarkCardView::cancelledExportShowsNothing()
{
    QTest::keyClick(view().editor(), Qt::Key_E, Qt::ControlModifier);
    QVERIFY(m_dialog->answer(std::nullopt));
    QCOMPARE(view().toastText(), std::nullopt);
    QVERIFY(m_workspace->shown.isEmpty());
    QCOMPARE(m_scheduler.pending(), 0);
}

void TestPinlarkCardView::menuItems()
{
    QStringList titles;
    for (const QAction *action : view().actionsMenu()->actions())
        titles.append(action->isSeparator() ? u"--"_s : action->text());
    const QStringList expected = {
        u"Vault Sync\u2026 (Ctrl+S)"_s,
        u"Export All to Markdown\u2026 (Ctrl+E)"_s,
        u"Open Notes Folder"_s,
        u"Restore from Backup\u2026"_s,
        u"--"_s,
        u"Pinlark Web (pinlark.app)"_s,
        u"Privacy"_s,
        u"Support"_s,
        u"--"_s,
        u"Quit Pinlark (Ctrl+Q)"_s,
    };
    QCOMPARE(titles, expected);
}

void TestPinlarkCardView::menuCommands()
{
    const QList<QAction *> actions = view().actionsMenu()->actions();
    actions.at(0)->trigger();
    QVERIFY(store().showSync());

    QDir(store().storageDirectory()).removeRecursively();
    actions.at(2)->trigger();
    QVERIFY(QFileInfo(store().storageDirectory()).isDir());

    actions.at(5)->trigger();
    actions.at(6)->trigger();
    actions.at(7)->trigger();
    const QList<QUrl> expected = {
        QUrl::fromLocalFile(store().storageDirectory()),
        QUrl(u"https://pinlark.app/"_s),
        QUrl(u"https://pinlark.app/privacy"_s),
        QUrl(u"https://pinlark.app/support"_s),
    };
    QCOMPARE(m_workspace->opened, expected);
}

void TestPinlarkCardView::quitSavesPendingEdits()
{
    const QString notesPath = QDir(store().storageDirectory()).filePath(u"notes.json"_s);
    FocusableTextView *editor = view().editor();
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClicks(editor, u"unsaved words"_s);
    QVERIFY(store().hasPendingSave());
    QTest::keyClick(editor, Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(m_quits, 1);
    QVERIFY(!store().hasPendingSave());
    QFile file(notesPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("unsaved words"));

    view().actionsMenu()->actions().at(9)->trigger();
    QCOMPARE(m_quits, 2);
}

// Sync overlay

void TestPinlarkCardView::syncOverlayFollowsShowSync()
{
    store().setPassportCode(u"PLK-7KQ2MX"_s);
    QVERIFY(!view().syncPanel());
    store().setShowSync(true);
    QPointer<PinlarkSyncPanel> first = view().syncPanel();
    QVERIFY(first);
    QVERIFY(first->isVisible());
    QLineEdit *field = first->codeField();
    QCOMPARE(field->text(), u"PLK-7KQ2MX"_s);
    QTest::keyClicks(field, u"99"_s);

    // Told again that it is on, the panel stays as it is.
    store().setShowSync(true);
    QCOMPARE(view().syncPanel(), first.data());
    QCOMPARE(field->text(), u"PLK-7KQ2MX99"_s);

    store().setShowSync(false);
    QVERIFY(!view().syncPanel());
    QVERIFY(first.isNull() || first->isHidden());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(first.isNull());

    // Each opening starts afresh from the stored code, the unsent typing dropped.
    store().setShowSync(true);
    QVERIFY(view().syncPanel());
    QCOMPARE(view().syncPanel()->codeField()->text(), u"PLK-7KQ2MX"_s);
    QCOMPARE(view().findChildren<PinlarkSyncPanel *>().size(), 1);

    // Close, from inside the panel: the panel goes, safely, while its button is pressed.
    QTest::mouseClick(view().syncPanel()->findChild<CardButton *>(u"closeButton"_s),
                      Qt::LeftButton);
    QVERIFY(!store().showSync());
    QVERIFY(!view().syncPanel());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(view().findChildren<PinlarkSyncPanel *>().isEmpty());
}

void TestPinlarkCardView::syncOverlayCoversEveryBand()
{
    setStack({makeCard(u"A"_s, u"a #t"_s), makeCard(u"B"_s, u"b"_s)}, 1);
    view().resize(PinlarkCardView::viewWidth, 430);
    store().setShowSync(true);
    PinlarkSyncPanel *panel = view().syncPanel();
    QVERIFY(panel);
    QCOMPARE(panel->geometry(), view().rect());
    // Whatever lies under a point of any band, the panel is on top of it.
    const QStringList bands = {u"header"_s, u"tagChips"_s, u"accentStrip"_s, u"editorArea"_s,
                               u"footer"_s};
    for (const QString &band : bands) {
        QWidget *part = view().findChild<QWidget *>(band);
        QVERIFY2(part && part->isVisible(), qPrintable(band));
        for (const QPoint corner : {part->rect().topLeft(), part->rect().bottomRight()}) {
            QWidget *top = view().childAt(part->mapTo(&view(), corner));
            QVERIFY2(top == panel || panel->isAncestorOf(top), qPrintable(band));
        }
    }
    // A click where the New button lies lands on the backdrop: no card, the panel closes.
    auto *add = part<CardButton>(u"newButton"_s);
    const QPoint onNew = add->mapTo(&view(), add->rect().center());
    QWidget *hit = view().childAt(onNew);
    QCOMPARE(hit, panel);
    QTest::mouseClick(hit, Qt::LeftButton, {}, hit->mapFrom(&view(), onNew));
    QCOMPARE(store().cards().size(), 2);
    QVERIFY(!store().showSync());
}

void TestPinlarkCardView::keyboardGoesToPanelAndBack()
{
    setStack({makeCard(u"A"_s, u"card text"_s)});
    FocusableTextView *editor = view().editor();
    QTRY_VERIFY(editor->hasFocus());
    store().setShowSync(true);
    QLineEdit *field = view().syncPanel()->codeField();
    QVERIFY(field->hasFocus());
    // Handing the editor the keyboard (the popup does when it opens) hands it to the panel.
    editor->setFocus();
    QVERIFY(field->hasFocus());
    field->clear();
    QTest::keyClicks(QApplication::focusWidget(), u"PLK-XY"_s);
    field->setSelection(4, 2);

    // The store changes, and the editor hears of each change; it must leave the keyboard
    // (and so the field's selection) alone, then and once its queued work has run.
    store().setSyncStatusMessage(u"Synced 1 cards!"_s);
    store().setCards(store().cards());
    QCoreApplication::processEvents();
    QCOMPARE(field->selectedText(), u"XY"_s);
    QTest::keyClicks(QApplication::focusWidget(), u"AB"_s);
    QCOMPARE(field->text(), u"PLK-AB"_s);

    // A sync disables the field for a while; the keyboard comes back to it after.
    store().setIsSyncing(true);
    store().setSyncStatusMessage(u"Syncing with Vault\u2026"_s);
    QCoreApplication::processEvents();
    editor->setFocus();
    QVERIFY(!editor->hasFocus()); // the field is disabled: a button of the panel has it
    store().setIsSyncing(false);
    store().setSyncStatusMessage(u"Sync error: Connection refused"_s);
    QCoreApplication::processEvents();
    QTest::keyClicks(QApplication::focusWidget(), u"CD"_s);
    QCOMPARE(field->text(), u"PLK-ABCD"_s);
    QCOMPARE(store().cards().first().content, u"card text"_s);

    store().setShowSync(false);
    QVERIFY(editor->hasFocus());
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), u"!"_s);
    QCOMPARE(store().cards().first().content, u"card text!"_s);
    // And the editor takes the keyboard back after updates again.
    part<CardButton>(u"copyButton"_s)->setFocus();
    store().setCards(store().cards());
    QTRY_VERIFY(editor->hasFocus());
}

void TestPinlarkCardView::panelOpenAtStartHasTheKeyboard()
{
    // The popup may be built while the store says the panel is on: the editor's first focus
    // must not take the keyboard from the code field.
    m_view.reset();
    store().setShowSync(true);
    makeView();
    QVERIFY(view().syncPanel());
    QTRY_VERIFY(view().syncPanel()->codeField()->hasFocus());
    QCoreApplication::processEvents();
    QVERIFY(view().syncPanel()->codeField()->hasFocus());
}

void TestPinlarkCardView::cardKeysWaitUnderPanel_data()
{
    QTest::addColumn<QKeyCombination>("keys");
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    QTest::newRow("new") << QKeyCombination(ctrl, Qt::Key_N);
    QTest::newRow("previous") << QKeyCombination(ctrl, Qt::Key_BracketLeft);
    QTest::newRow("next") << QKeyCombination(ctrl, Qt::Key_BracketRight);
    QTest::newRow("previous (page up)") << QKeyCombination(ctrl, Qt::Key_PageUp);
    QTest::newRow("next (page down)") << QKeyCombination(ctrl, Qt::Key_PageDown);
    QTest::newRow("delete (backspace)") << QKeyCombination(ctrl, Qt::Key_Backspace);
    QTest::newRow("delete") << QKeyCombination(ctrl, Qt::Key_Delete);
    QTest::newRow("copy card") << QKeyCombination(ctrl | Qt::ShiftModifier, Qt::Key_C);
    QTest::newRow("export") << QKeyCombination(ctrl, Qt::Key_E);
    QTest::newRow("sync") << QKeyCombination(ctrl, Qt::Key_S);
}

void TestPinlarkCardView::cardKeysWaitUnderPanel()
{
    QFETCH(QKeyCombination, keys);
    const QList<NoteCard> stack = {makeCard(u"A"_s, u"a"_s), makeCard(u"B"_s, u"b"_s),
                                   makeCard(u"C"_s, u"c"_s)};
    setStack(stack, 1);
    store().setShowSync(true);
    PinlarkSyncPanel *panel = view().syncPanel();
    QVERIFY(panel->codeField()->hasFocus());

    QSignalSpy changes(&store(), &PinlarkStore::aboutToChange);
    QTest::keyClick(panel->codeField(), keys.key(), keys.keyboardModifiers());
    QCOMPARE(changes.count(), 0);
    QCOMPARE(store().cards(), stack);
    QCOMPARE(store().activeIndex(), 1);
    QVERIFY(m_clipboard->texts.isEmpty());
    QCOMPARE(m_dialog->openRequests(), 0);
    QCOMPARE(view().syncPanel(), panel);
    QCOMPARE(view().toastText(), std::nullopt);

    // Quitting still works under the panel.
    QTest::keyClick(panel->codeField(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(m_quits, 1);

    // With the panel gone the card's keys act again.
    store().setShowSync(false);
    QTest::keyClick(view().editor(), Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(store().cards().size(), 4);
}

// Accessibility and looks

void TestPinlarkCardView::everyControlIsNamedAndReachable()
{
    setStack({makeCard(u"A"_s, u"a #t"_s), makeCard(u"B"_s, u"b"_s)}, 1);
    QSet<QWidget *> reachable;
    QWidget *start = view().editor();
    start->setFocus();
    QTRY_VERIFY(start->hasFocus());
    QWidget *current = start;
    for (int step = 0; step < 64; ++step) {
        current = current->nextInFocusChain();
        if (current == start)
            break;
        if (current->isVisibleTo(&view()) && (current->focusPolicy() & Qt::TabFocus))
            reachable.insert(current);
    }
    const QList<QAbstractButton *> buttons = view().findChildren<QAbstractButton *>();
    int checked = 0;
    for (QAbstractButton *button : buttons) {
        if (!button->isVisibleTo(&view()))
            continue;
        ++checked;
        QVERIFY2(!button->accessibleName().isEmpty(), qPrintable(button->objectName()));
        QVERIFY2(!button->accessibleDescription().isEmpty(), qPrintable(button->objectName()));
        QVERIFY2(reachable.contains(button), qPrintable(button->objectName()));
    }
    QVERIFY(checked >= 13); // 2 arrows, 5 dots, New, 2 chips, pin, Todo, Copy, delete, menu
    QCOMPARE(part<CardButton>(u"copyButton"_s)->accessibleName(), u"Copy"_s);
    QCOMPARE(part<CardButton>(u"newButton"_s)->accessibleName(), u"New"_s);
    QCOMPARE(view().editor()->accessibleName(), u"Card text"_s);
}

void TestPinlarkCardView::textsNameOnlyLinuxKeys()
{
    // Everything a person reads or hears: the welcome card, every control's text, hover help
    // and accessible name and description, the menu, and the sync panel's own.
    setStack({makeCard(u"A"_s, NoteCard::welcomeText()), makeCard(u"B"_s, u"b #t"_s)});
    store().setShowSync(true);
    QStringList texts{view().editor()->toPlainText()};
    for (const QWidget *widget : view().findChildren<QWidget *>()) {
        texts << widget->toolTip() << widget->accessibleName() << widget->accessibleDescription();
        if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
            texts << button->text();
        if (const auto *label = qobject_cast<const QLabel *>(widget))
            texts << label->text();
        if (const auto *field = qobject_cast<const QLineEdit *>(widget))
            texts << field->placeholderText();
    }
    for (const QAction *action : view().actionsMenu()->actions())
        texts << action->text() << action->toolTip();
    QVERIFY(texts.contains(u"Delete this card (Ctrl+Backspace)"_s));
    QVERIFY(texts.contains(u"Quit Pinlark (Ctrl+Q)"_s));
    for (const QString &text : std::as_const(texts)) {
        for (const char16_t glyph : {u'\u2318', u'\u2325', u'\u232B'})
            QVERIFY2(!text.contains(QChar(glyph)), qPrintable(text));
        QVERIFY2(!text.contains(u"for Mac"_s), qPrintable(text));
    }
}

void TestPinlarkCardView::designSizes()
{
    // The design's font sizes are logical pixels to the em. An editor line holds what a
    // 14.5-pixel monospaced font fits in the text's width; in typographic points the same
    // number gave a third fewer characters.
    FocusableTextView *editor = view().editor();
    view().resize(PinlarkCardView::viewWidth, 430);
    setStack({makeCard(u"A"_s, QString(200, u'x'))});
    QTRY_VERIFY(editor->document()->firstBlock().layout()->lineCount() > 1);
    const int perLine = editor->document()->firstBlock().layout()->lineAt(0).textLength();
    QFont large = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    large.setPixelSize(1000);
    const qreal advance = QFontMetricsF(large).horizontalAdvance(u'x') * 14.5 / 1000;
    const qreal textWidth = editor->viewport()->width() - 2 * editor->document()->documentMargin();
    // Hinting may round each advance up to a whole pixel, so a line may hold two fewer.
    const qreal designed = textWidth / advance;
    QVERIFY2(perLine <= designed && perLine > designed - 3,
             qPrintable(u"%1 characters a line, %2 designed"_s.arg(perLine).arg(designed)));

    // The bands around the editor at their designed sizes leave it its 330 pixels in the
    // popup, and more without the chip row. With it the design's bands add up to 431 pixels,
    // so the editor gives up the one that the popup's 430 lack.
    auto *area = part<QWidget>(u"editorArea"_s);
    QTRY_VERIFY(area->height() > PinlarkCardView::editorHeight);
    QCOMPARE(part<QWidget>(u"footer"_s)->geometry().bottom(), 429);
    setStack({makeCard(u"A"_s, u"a #tag"_s)});
    QTRY_COMPARE(area->height(), PinlarkCardView::editorHeight - 1);
    QCOMPARE(part<QWidget>(u"footer"_s)->geometry().bottom(), 429);
}

void TestPinlarkCardView::renderStates()
{
    // Pictures of the view for people to look at (the README shows one); the checks are
    // only that the parts are where the layout puts them.
    const QString folder = QString::fromUtf8(PINLARK_RENDER_DIR);
    QVERIFY(QDir().mkpath(folder));

    QCOMPARE(view().width(), PinlarkCardView::viewWidth);
    QCOMPARE(part<QWidget>(u"editorArea"_s)->height(), PinlarkCardView::editorHeight);
    // In the popup's fixed size the editor takes what the other bands leave.
    view().resize(PinlarkCardView::viewWidth, 430);
    QTRY_COMPARE(part<QWidget>(u"footer"_s)->geometry().bottom(), 429);
    // Its first line, with the memo that needs an emoji font.
    view().editor()->moveCursor(QTextCursor::Start);
    QVERIFY(view().grab().save(folder + u"/card-view-welcome.png"_s));

    setStack({makeCard(u"A"_s, u"Groceries #home\n- [x] coffee\n- [ ] oat milk\n- [ ] lemons"_s,
                       u"mint"_s, true, 400),
              makeCard(u"B"_s, u"Ship the export #work"_s, u"lavender"_s, false, 300),
              makeCard(u"C"_s, u"Call the bank #home #todo"_s, u"peach"_s, false, 200)},
             0);
    QTest::qWait(50);
    QVERIFY(view().grab().save(folder + u"/card-view-stack.png"_s));

    view().pressTagChip(u"#work"_s);
    view().copyCurrentCard();
    QTRY_COMPARE(part<PillLabel>(u"toast"_s)->graphicsEffect()->property("opacity").toReal(), 1.0);
    QVERIFY(view().grab().save(folder + u"/card-view-filtered-copied.png"_s));

    view().pressTagChip(std::nullopt);
    view().openFind();
    QTest::keyClicks(view().findBar()->field(), u"home"_s);
    QTest::qWait(50);
    QVERIFY(view().grab().save(folder + u"/card-view-find.png"_s));
    view().findBar()->close();
    store().setActiveIndex(1);
    store().deleteCurrentCard();
    QTest::qWait(50);
    QVERIFY(view().grab().save(folder + u"/card-view-undo.png"_s));
}

QTEST_MAIN(TestPinlarkCardView)
#include "tst_pinlarkcardview.moc"
