#include "model/NotePastel.h"
#include "ui/FocusableTextView.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QScopeGuard>
#include <QScrollBar>
#include <QShortcut>
#include <QStyleHints>
#include <QTest>
#include <QTextBlock>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

// A window with a line edit, the editor and another line edit, in that tab order. The
// editor is bound to `value`; `log` records each write ("set:<text>") and each "commit".
// As in the card view, every write comes straight back as an update of the bound text.
class Fixture final
{
public:
    explicit Fixture(const QString &text = {})
        : value(text)
    {
        FocusableTextView::TextBinding binding;
        binding.get = [this] { return value; };
        binding.set = [this](const QString &written) {
            value = written;
            log.append(u"set:"_s + written);
            editor->updateFromBinding();
        };
        before = new QLineEdit(&window);
        before->setObjectName(u"before"_s);
        editor = new FocusableTextView(
            std::move(binding), [this] { log.append(u"commit"_s); }, &window);
        editor->setObjectName(u"editor"_s);
        after = new QLineEdit(&window);
        after->setObjectName(u"after"_s);
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(before);
        layout->addWidget(editor);
        layout->addWidget(after);
        window.resize(420, 430);
    }
    Q_DISABLE_COPY_MOVE(Fixture)

    // As the card view does it: the text filled in once, then the window shown and active,
    // with the work it queued done.
    [[nodiscard]] bool show()
    {
        editor->updateFromBinding();
        window.show();
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        QCoreApplication::processEvents();
        return true;
    }

    void select(int anchor, int position)
    {
        QTextCursor cursor = editor->textCursor();
        cursor.setPosition(anchor);
        cursor.setPosition(position, QTextCursor::KeepAnchor);
        editor->setTextCursor(cursor);
    }

    [[nodiscard]] int caret() const { return editor->textCursor().position(); }

    // The bound text changes from outside, and the editor is told.
    void storeChanges(const QString &text)
    {
        value = text;
        editor->updateFromBinding();
    }

    QWidget window;
    QString value;
    QStringList log;
    QLineEdit *before = nullptr;
    FocusableTextView *editor = nullptr;
    QLineEdit *after = nullptr;
};

// The log of one write and one commit per text, in order.
QStringList writesOf(const QStringList &texts)
{
    QStringList log;
    for (const QString &text : texts)
        log << u"set:"_s + text << u"commit"_s;
    return log;
}

// True when some of the text has a colour, weight or font of its own, not the editor's.
bool hasOwnStyle(const QTextDocument &document)
{
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            for (const int property :
                 {int(QTextFormat::ForegroundBrush), int(QTextFormat::FontWeight),
                  int(QTextFormat::FontItalic), int(QTextFormat::FontFamilies),
                  int(QTextFormat::FontPointSize)}) {
                if (format.hasProperty(property))
                    return true;
            }
        }
    }
    return false;
}

} // namespace

class TestFocusableTextView final : public QObject
{
    Q_OBJECT

public:
    enum class Edit { Type, Return, ShiftReturn, Backspace, Paste, Cut, Undo, Redo, InputMethod };
    Q_ENUM(Edit)
    // What happens between two replacements of a burst.
    enum class Between { Nothing, EventLoop, CaretMove, UserEdit };
    Q_ENUM(Between)

private Q_SLOTS:
    // Writing through the binding.
    void userEditWritesOnce_data();
    void userEditWritesOnce();
    void replacementIsNotWrittenBack();
    void sameTextLeavesEditorAlone_data();
    void sameTextLeavesEditorAlone();
    void pastesRichTextAsPlainText_data();
    void pastesRichTextAsPlainText();

    // The caret across replacements.
    void caretAfterReplacement_data();
    void caretAfterReplacement();
    void caretBurst_data();
    void caretBurst();

    // Focus and keys.
    void takesFocusOnFirstShow_data();
    void takesFocusOnFirstShow();
    void takesFocusBackAfterUpdate_data();
    void takesFocusBackAfterUpdate();
    void controlTabLeavesEditor_data();
    void controlTabLeavesEditor();
    void keysLeftToShortcuts_data();
    void keysLeftToShortcuts();

    void drawsOnTheCard();
};

void TestFocusableTextView::userEditWritesOnce_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<Edit>("edit");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QStringList>("writes");

    QTest::newRow("keystrokes") << u"to do"_s << 5 << 5 << Edit::Type << u"ne"_s
                                << QStringList{u"to don"_s, u"to done"_s};
    QTest::newRow("keystroke over a selection")
        << u"buy milk"_s << 4 << 8 << Edit::Type << u"t"_s << QStringList{u"buy t"_s};
    QTest::newRow("return") << u"milk"_s << 2 << 2 << Edit::Return << QString()
                            << QStringList{u"mi\nlk"_s};
    QTest::newRow("shift+return writes a newline")
        << u"milk"_s << 4 << 4 << Edit::ShiftReturn << QString() << QStringList{u"milk\n"_s};
    QTest::newRow("backspace") << u"milk"_s << 4 << 4 << Edit::Backspace << QString()
                               << QStringList{u"mil"_s};
    QTest::newRow("paste") << u"ab"_s << 1 << 1 << Edit::Paste << u"xyz"_s
                           << QStringList{u"axyzb"_s};
    QTest::newRow("cut") << u"hello world"_s << 5 << 11 << Edit::Cut << QString()
                         << QStringList{u"hello"_s};
    QTest::newRow("undo") << u"hello"_s << 5 << 5 << Edit::Undo << u"!"_s
                          << QStringList{u"hello"_s};
    QTest::newRow("redo") << u"hello"_s << 5 << 5 << Edit::Redo << u"!"_s
                          << QStringList{u"hello!"_s};
    QTest::newRow("input method composes, then commits")
        << u"caf"_s << 3 << 3 << Edit::InputMethod << u"\u00e9"_s << QStringList{u"caf\u00e9"_s};
    QTest::newRow("no-break spaces stay")
        << u"10\u00a0km"_s << 5 << 5 << Edit::Type << u"!"_s << QStringList{u"10\u00a0km!"_s};
}

void TestFocusableTextView::userEditWritesOnce()
{
    QFETCH(QString, text);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(Edit, edit);
    QFETCH(QString, input);
    QFETCH(QStringList, writes);

    Fixture f(text);
    QVERIFY(f.show());
    f.select(anchor, position);
    QVERIFY(f.log.isEmpty());

    switch (edit) {
    case Edit::Type:
        QTest::keyClicks(f.editor, input);
        break;
    case Edit::Return:
        QTest::keyClick(f.editor, Qt::Key_Return);
        break;
    case Edit::ShiftReturn:
        QTest::keyClick(f.editor, Qt::Key_Return, Qt::ShiftModifier);
        break;
    case Edit::Backspace:
        QTest::keyClick(f.editor, Qt::Key_Backspace);
        break;
    case Edit::Paste:
        QGuiApplication::clipboard()->setText(input);
        QTest::keySequence(f.editor, QKeySequence::Paste);
        break;
    case Edit::Cut:
        QTest::keySequence(f.editor, QKeySequence::Cut);
        break;
    case Edit::Undo:
        QTest::keyClicks(f.editor, input);
        f.log.clear();
        QTest::keySequence(f.editor, QKeySequence::Undo);
        break;
    case Edit::Redo:
        QTest::keyClicks(f.editor, input);
        QTest::keySequence(f.editor, QKeySequence::Undo);
        f.log.clear();
        QTest::keySequence(f.editor, QKeySequence::Redo);
        break;
    case Edit::InputMethod: {
        // Each step of the composition changes only what is drawn, not the text.
        QInputMethodEvent compose(u"e"_s, {});
        QApplication::sendEvent(f.editor, &compose);
        QInputMethodEvent accent(input, {});
        QApplication::sendEvent(f.editor, &accent);
        QInputMethodEvent commit;
        commit.setCommitString(input);
        QApplication::sendEvent(f.editor, &commit);
        break;
    }
    }

    QCOMPARE(f.log, writesOf(writes));
    QCOMPARE(f.value, writes.last());
}

void TestFocusableTextView::replacementIsNotWrittenBack()
{
    Fixture f(u"first card"_s);
    QVERIFY(f.show());
    QTest::keyClicks(f.editor, u"!"_s);
    QList<bool> updatingDuringChange;
    connect(f.editor, &QPlainTextEdit::textChanged, this,
            [&] { updatingDuringChange.append(f.editor->isUpdating()); });
    f.log.clear();

    f.storeChanges(u"second card"_s);
    QCOMPARE(f.editor->toPlainText(), u"second card"_s);
    QVERIFY(!updatingDuringChange.isEmpty());
    QVERIFY(!updatingDuringChange.contains(false));
    QVERIFY(!f.editor->isUpdating());

    // Undo cannot bring the first card's text into the second.
    QTest::keySequence(f.editor, QKeySequence::Undo);
    QCOMPARE(f.editor->toPlainText(), u"second card"_s);
    QCOMPARE(f.log, QStringList());
    QCOMPARE(f.value, u"second card"_s);
}

void TestFocusableTextView::sameTextLeavesEditorAlone_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("one line") << u"abc"_s;
    QTest::newRow("two lines") << u"ab\nc"_s;
    QTest::newRow("no-break space") << u"a\u00a0c"_s;
}

void TestFocusableTextView::sameTextLeavesEditorAlone()
{
    QFETCH(QString, text);

    Fixture f(text);
    QVERIFY(f.show());
    QTest::keyClicks(f.editor, u"de"_s);
    const QString typed = text + u"de"_s;
    QCOMPARE(f.value, typed);
    f.select(4, 1);
    f.log.clear();

    f.editor->updateFromBinding();
    // A replacement would have cleared the undo history and the selection.
    QVERIFY(f.editor->document()->isUndoAvailable());
    QCOMPARE(f.editor->textCursor().anchor(), 4);
    QCOMPARE(f.editor->textCursor().position(), 1);
    QCOMPARE(f.log, QStringList());
}

void TestFocusableTextView::pastesRichTextAsPlainText_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("written");

    QTest::newRow("html alone") << u"<p style=\"color:#ff0000\"><b>Bold</b> and <i>red</i></p>"_s
                                << QString() << u"Note: Bold and red"_s;
    QTest::newRow("html beside plain text")
        << u"<b style=\"color:#ff0000\">Rich</b>"_s << u"Plain"_s << u"Note: Plain"_s;
    QTest::newRow("html with an image and a line break")
        << u"<b>one</b><img src=\"dot.png\"><br>two"_s << QString() << u"Note: one\ntwo"_s;
}

void TestFocusableTextView::pastesRichTextAsPlainText()
{
    QFETCH(QString, html);
    QFETCH(QString, plain);
    QFETCH(QString, written);

    Fixture f(u"Note: "_s);
    QVERIFY(f.show());
    f.select(6, 6);
    auto *mime = new QMimeData;
    mime->setHtml(html);
    if (!plain.isNull())
        mime->setText(plain);
    QGuiApplication::clipboard()->setMimeData(mime);

    QTest::keySequence(f.editor, QKeySequence::Paste);
    QCOMPARE(f.log, writesOf({written}));
    QVERIFY(!hasOwnStyle(*f.editor->document()));
}

void TestFocusableTextView::caretAfterReplacement_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("caret");

    QTest::newRow("past the new end: at the end")
        << u"0123456789 abc"_s << 10 << 10 << u"01234"_s << 5;
    QTest::newRow("inside a longer text: same offset")
        << u"0123456789 abc"_s << 10 << 10 << u"0123456789 abc def"_s << 10;
    QTest::newRow("selection collapses to its start")
        << u"hello brave world"_s << 6 << 11 << u"hello brave new world"_s << 6;
    QTest::newRow("backward selection collapses to its start")
        << u"hello brave world"_s << 11 << 6 << u"hello brave new world"_s << 6;
    QTest::newRow("checklist line appended: caret stays")
        << u"shop:\n- [ ] milk"_s << 16 << 16 << u"shop:\n- [ ] milk\n- [ ] "_s << 16;
    QTest::newRow("never inside a surrogate pair") << u"abcd"_s << 2 << 2 << u"a\U0001F600x"_s << 1;
}

void TestFocusableTextView::caretAfterReplacement()
{
    QFETCH(QString, before);
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(QString, after);
    QFETCH(int, caret);

    Fixture f(before);
    QVERIFY(f.show());
    f.select(anchor, position);

    f.storeChanges(after);
    QCOMPARE(f.editor->toPlainText(), after);
    QCOMPARE(f.caret(), caret);
    QVERIFY(!f.editor->textCursor().hasSelection());
    QCOMPARE(f.log, QStringList());
}

void TestFocusableTextView::caretBurst_data()
{
    QTest::addColumn<Between>("between");
    QTest::addColumn<int>("caret");

    QTest::newRow("one burst") << Between::Nothing << 10;
    QTest::newRow("event loop between") << Between::EventLoop << 3;
    QTest::newRow("caret moved between") << Between::CaretMove << 2;
    QTest::newRow("edit between") << Between::UserEdit << 4;
}

// One store operation can pass through another card's text on its way (a pin re-sorts the
// stack, then moves the index): the caret ends where one replacement would have put it.
void TestFocusableTextView::caretBurst()
{
    QFETCH(Between, between);
    QFETCH(int, caret);

    Fixture f(u"0123456789abcdef"_s);
    QVERIFY(f.show());
    f.select(10, 10);

    f.storeChanges(u"012"_s);
    QCOMPARE(f.caret(), 3);
    switch (between) {
    case Between::Nothing:
        break;
    case Between::EventLoop:
        QCoreApplication::processEvents();
        break;
    case Between::CaretMove:
        QTest::keyClick(f.editor, Qt::Key_Left);
        break;
    case Between::UserEdit:
        QTest::keyClicks(f.editor, u"x"_s);
        QCOMPARE(f.value, u"012x"_s);
        break;
    }
    f.storeChanges(u"0123456789abcdefghij"_s);
    QCOMPARE(f.caret(), caret);
}

void TestFocusableTextView::takesFocusOnFirstShow_data()
{
    QTest::addColumn<bool>("fillBeforeShow");
    QTest::addColumn<bool>("fillAfterShow");
    QTest::addColumn<QString>("shown");

    QTest::newRow("filled, then shown") << true << false << u"buy milk"_s;
    QTest::newRow("shown, then filled") << false << true << u"buy milk"_s;
    QTest::newRow("never filled") << false << false << QString();
}

void TestFocusableTextView::takesFocusOnFirstShow()
{
    QFETCH(bool, fillBeforeShow);
    QFETCH(bool, fillAfterShow);
    QFETCH(QString, shown);

    // The line edit comes first in the tab order, so the window alone would focus it.
    Fixture f(u"buy milk"_s);
    if (fillBeforeShow)
        f.editor->updateFromBinding();
    f.window.show();
    if (fillAfterShow)
        f.editor->updateFromBinding();
    QVERIFY(QTest::qWaitForWindowActive(&f.window));

    QTRY_VERIFY(f.editor->hasFocus());
    QCOMPARE(f.editor->toPlainText(), shown);
    QTRY_COMPARE(f.caret(), int(shown.size()));
    QTest::keyClicks(QApplication::focusWidget(), u"!"_s);
    QCOMPARE(f.value, shown + u"!"_s);
}

void TestFocusableTextView::takesFocusBackAfterUpdate_data()
{
    QTest::addColumn<QString>("bound");

    QTest::newRow("same text") << u"abc"_s;
    QTest::newRow("new text") << u"another card"_s;
}

void TestFocusableTextView::takesFocusBackAfterUpdate()
{
    QFETCH(QString, bound);

    Fixture f(u"abc"_s);
    QVERIFY(f.show());
    f.before->setFocus();
    QTRY_VERIFY(f.before->hasFocus());

    f.storeChanges(bound);
    // Not within the store's signal, but once control is back in the event loop.
    QVERIFY(f.before->hasFocus());
    QTRY_VERIFY(f.editor->hasFocus());
}

void TestFocusableTextView::controlTabLeavesEditor_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("focused");
    QTest::addColumn<QStringList>("writes");

    const Qt::KeyboardModifiers ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
    QTest::newRow("Ctrl+Tab: next")
        << Qt::Key_Tab << Qt::KeyboardModifiers(Qt::ControlModifier) << u"after"_s << QStringList();
    QTest::newRow("Ctrl+Shift+Tab: previous")
        << Qt::Key_Tab << ctrlShift << u"before"_s << QStringList();
    QTest::newRow("Ctrl+Shift+Backtab: previous")
        << Qt::Key_Backtab << ctrlShift << u"before"_s << QStringList();
    QTest::newRow("Tab types a tab")
        << Qt::Key_Tab << Qt::KeyboardModifiers() << u"editor"_s << QStringList{u"note\t"_s};
}

void TestFocusableTextView::controlTabLeavesEditor()
{
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, focused);
    QFETCH(QStringList, writes);

    Fixture f(u"note"_s);
    QVERIFY(f.show());
    QTRY_VERIFY(f.editor->hasFocus());

    QTest::keyClick(f.editor, key, modifiers);
    QVERIFY(QApplication::focusWidget());
    QCOMPARE(QApplication::focusWidget()->objectName(), focused);
    QCOMPARE(f.log, writesOf(writes));
}

void TestFocusableTextView::keysLeftToShortcuts_data()
{
    QTest::addColumn<QKeyCombination>("keys");
    QTest::addColumn<bool>("withPredicate");
    QTest::addColumn<bool>("shortcutFires");
    QTest::addColumn<int>("caret");

    // The predicate leaves Ctrl+Left and Ctrl+Backspace to the shortcuts. The editor claims
    // Ctrl+Left and Ctrl+Home for itself; Qt 6.4's does not claim Ctrl+Backspace, which the
    // last row keeps so (the card view deletes the card with it).
    QTest::newRow("Ctrl+Left, left to the shortcut")
        << (Qt::CTRL | Qt::Key_Left) << true << true << 10;
    QTest::newRow("Ctrl+Left, no predicate") << (Qt::CTRL | Qt::Key_Left) << false << false << 6;
    QTest::newRow("Ctrl+Home, kept by the editor")
        << (Qt::CTRL | Qt::Key_Home) << true << false << 0;
    QTest::newRow("Ctrl+Backspace, left to the shortcut")
        << (Qt::CTRL | Qt::Key_Backspace) << true << true << 10;
}

void TestFocusableTextView::keysLeftToShortcuts()
{
    QFETCH(QKeyCombination, keys);
    QFETCH(bool, withPredicate);
    QFETCH(bool, shortcutFires);
    QFETCH(int, caret);

    Fixture f(u"alpha beta"_s);
    if (withPredicate) {
        f.editor->setKeysLeftToShortcuts([](const QKeyEvent &event) {
            return event.modifiers() == Qt::ControlModifier &&
                   (event.key() == Qt::Key_Left || event.key() == Qt::Key_Backspace);
        });
    }
    int fired = 0;
    auto *shortcut = new QShortcut(QKeySequence(keys), &f.window);
    connect(shortcut, &QShortcut::activated, this, [&fired] { ++fired; });
    QVERIFY(f.show());
    f.select(10, 10);

    QTest::keyClick(f.editor, keys.key(), keys.keyboardModifiers());
    QCOMPARE(fired, shortcutFires ? 1 : 0);
    QCOMPARE(f.caret(), caret);
    QCOMPARE(f.log, QStringList());
}

void TestFocusableTextView::drawsOnTheCard()
{
    // A steady caret, so that a picture shows it.
    QStyleHints *hints = QGuiApplication::styleHints();
    const auto restoreFlashTime = qScopeGuard(
        [hints, flashTime = hints->cursorFlashTime()] { hints->setCursorFlashTime(flashTime); });
    hints->setCursorFlashTime(0);
    // One word wider than the editor.
    Fixture f(QString(120, u'w'));
    f.window.setAutoFillBackground(true);
    QPalette card = f.window.palette();
    card.setColor(QPalette::Window, NotePastel::mint());
    f.window.setPalette(card);
    QVERIFY(f.show());

    // The word breaks at the edge: nothing to scroll sideways.
    QVERIFY(f.editor->document()->firstBlock().layout()->lineCount() > 1);
    QCOMPARE(f.editor->horizontalScrollBar()->maximum(), 0);

    // The card colour shows through below the text; the caret is drawn in ink.
    QTRY_VERIFY(f.editor->hasFocus());
    f.select(0, 0);
    const QImage shot = f.window.grab().toImage();
    const QPoint belowText = f.editor->geometry().bottomLeft() + QPoint(20, -20);
    QCOMPARE(QColor(shot.pixel(belowText)).rgb(), NotePastel::mint().rgb());
    const QRect caret = f.editor->cursorRect();
    const QPoint onCaret =
        f.editor->viewport()->mapTo(&f.window, QPoint(caret.left(), caret.center().y()));
    QCOMPARE(QColor(shot.pixel(onCaret)).rgb(), NotePastel::ink().rgb());

    QCOMPARE(f.editor->palette().color(QPalette::Text).rgb(), NotePastel::ink().rgb());
    const QFont font = f.editor->font();
    QCOMPARE(font.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    // The design's 14.5 points are logical pixels: the em is 14.5 pixels on this screen.
    QCOMPARE(font.pointSizeF() * f.editor->logicalDpiY() / 72.0, 14.5);
    QCOMPARE(font.weight(), QFont::Normal);

    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(f.editor);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), u"Card text"_s);
    QCOMPARE(accessible->text(QAccessible::Description), u"The text of the shown card"_s);
}

QTEST_MAIN(TestFocusableTextView)
#include "tst_focusabletextview.moc"
