#include "ui/FocusableTextView.h"

#include "model/NotePastel.h"
#include "ui/CardStyle.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QScopedValueRollback>
#include <QTextDocumentFragment>

#include <algorithm>

using namespace Qt::StringLiterals;

// Handles the editor's change notifications: every change the user makes goes to the binding
// as the whole text, followed by onCommit.
class FocusableTextView::Coordinator final
{
public:
    Coordinator(FocusableTextView &owner, TextBinding binding, std::function<void()> commit)
        : parent(owner)
        , text(std::move(binding))
        , onCommit(std::move(commit))
    {}
    Q_DISABLE_COPY_MOVE(Coordinator)

    void textDidChange();

    FocusableTextView &parent;
    const TextBinding text;
    const std::function<void()> onCommit;
    // True only while the editor replaces its own text.
    bool isUpdating = false;
    // The shown text, kept in step by every change: the text last handed to the binding or
    // put in by a replacement. textChanged also fires when the text stays the same (each
    // step of an input method's composition does, for one); such signals write nothing.
    QString lastText;
};

void FocusableTextView::Coordinator::textDidChange()
{
    if (isUpdating)
        return;
    const QString current = parent.shownText();
    if (current == lastText)
        return;
    lastText = current;
    // An edit ends a caret burst. Cleared first, since the write can come straight back as
    // an update of the bound text.
    parent.m_burstCaret.reset();
    text.set(current);
    onCommit();
}

FocusableTextView::FocusableTextView(TextBinding text, std::function<void()> onCommit,
                                     QWidget *parent)
    : QPlainTextEdit(parent)
    , m_coordinator(std::make_unique<Coordinator>(*this, std::move(text), std::move(onCommit)))
{
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // A long word or link breaks anywhere rather than running past the right edge, since
    // there is no horizontal scrolling.
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setUndoRedoEnabled(true);
    setTabChangesFocus(false);

    // The card colour behind the editor shows through.
    setBackgroundVisible(false);
    viewport()->setAutoFillBackground(false);
    QPalette colors = palette();
    colors.setColor(QPalette::Base, Qt::transparent);
    colors.setColor(QPalette::Window, Qt::transparent);
    colors.setColor(QPalette::Text, NotePastel::ink());
    setPalette(colors);
    // The text layout would draw the caret by inverting what lies under it, a colour of no
    // palette on a pastel card; paintEvent() draws it in the text colour instead.
    m_caretWidth = std::max(1, cursorWidth());
    setCursorWidth(0);

    QFont font = CardStyle::mono(14.5, QFont::Normal);
    font.setItalic(false);
    setFont(font);
    // The text's inset on every side. Changing it later, with text in the document, would
    // be an undo step of its own.
    document()->setDocumentMargin(4);

    setAccessibleName(u"Card text"_s);
    setAccessibleDescription(u"The text of the shown card"_s);

    connect(this, &QPlainTextEdit::textChanged, this, [this] { m_coordinator->textDidChange(); });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this] {
        if (!m_coordinator->isUpdating)
            m_burstCaret.reset();
    });
}

FocusableTextView::~FocusableTextView()
{
    // The base classes tear the document down after the coordinator is gone.
    disconnect(this, &QPlainTextEdit::textChanged, this, nullptr);
    disconnect(this, &QPlainTextEdit::cursorPositionChanged, this, nullptr);
}

void FocusableTextView::updateFromBinding()
{
    // lastText always equals the shown text (see Coordinator), so the comparison needs no
    // fresh copy of the document's text.
    Q_ASSERT(m_coordinator->lastText == shownText());
    const QString wanted = m_coordinator->text.get();
    if (wanted != m_coordinator->lastText)
        replaceText(wanted);
    queueSettle();
}

bool FocusableTextView::isUpdating() const
{
    return m_coordinator->isUpdating;
}

void FocusableTextView::setKeysLeftToShortcuts(KeyPredicate leftToShortcuts)
{
    m_keysLeftToShortcuts = std::move(leftToShortcuts);
}

QString FocusableTextView::shownText() const
{
    // toPlainText() would also turn no-break spaces into spaces, so the next keystroke
    // would silently rewrite every one of them in the card. Only the line breaks are mapped:
    // block ends, and the line separator that Shift+Return inserts.
    QString text = document()->toRawText();
    for (QChar &each : text) {
        if (each == QChar::ParagraphSeparator || each == QChar::LineSeparator)
            each = u'\n';
    }
    return text;
}

void FocusableTextView::replaceText(const QString &text)
{
    const QScopedValueRollback updating(m_coordinator->isUpdating, true);
    if (!m_burstCaret)
        m_burstCaret = textCursor().selectionStart();
    // setPlainText() also clears the undo history, so Undo can never bring another card's
    // text into this one.
    setPlainText(text);
    m_coordinator->lastText = shownText();

    QTextDocument *doc = document();
    const int length = doc->characterCount() - 1;
    int caret = std::min(*m_burstCaret, length);
    // Never between the two halves of a surrogate pair: typing there would split the
    // character.
    if (caret > 0 && caret < length && doc->characterAt(caret).isLowSurrogate() &&
        doc->characterAt(caret - 1).isHighSurrogate())
        --caret;
    QTextCursor cursor = textCursor();
    cursor.setPosition(caret);
    setTextCursor(cursor);
}

void FocusableTextView::queueSettle()
{
    if (m_settleQueued)
        return;
    m_settleQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_settleQueued = false;
            m_burstCaret.reset();
            if (m_takesFocus && isVisible() && !hasFocus())
                setFocus(Qt::OtherFocusReason);
        },
        Qt::QueuedConnection);
}

bool FocusableTextView::event(QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        // Left unaccepted, the key goes to the shortcuts; should none of them take it, it
        // still arrives here as a key press.
        const auto &key = *static_cast<QKeyEvent *>(event);
        if (m_keysLeftToShortcuts && m_keysLeftToShortcuts(key)) {
            event->ignore();
            return false;
        }
    } else if (event->type() == QEvent::KeyPress) {
        // Tab types a tab into the note, so Ctrl+Tab and Ctrl+Shift+Tab are the way out.
        // QWidget leaves Tab with Ctrl alone, and the text control would swallow it.
        const auto &key = *static_cast<QKeyEvent *>(event);
        const bool tab = key.key() == Qt::Key_Tab || key.key() == Qt::Key_Backtab;
        if (tab && key.modifiers().testFlag(Qt::ControlModifier)) {
            const bool forward =
                key.key() == Qt::Key_Tab && !key.modifiers().testFlag(Qt::ShiftModifier);
            QAbstractScrollArea::focusNextPrevChild(forward);
            event->accept();
            return true;
        }
    }
    return QPlainTextEdit::event(event);
}

void FocusableTextView::showEvent(QShowEvent *event)
{
    QPlainTextEdit::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // Queued, so that it runs after the first updateFromBinding() has filled in the text:
    // typing then goes in after the last character without a click.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_takesFocus && isVisible())
                setFocus(Qt::OtherFocusReason);
            moveCursor(QTextCursor::End);
        },
        Qt::QueuedConnection);
}

void FocusableTextView::paintEvent(QPaintEvent *event)
{
    QPlainTextEdit::paintEvent(event);
    // The paint context says whether the text control shows the caret right now (it blinks,
    // and hides without the focus) and where: at a position, inside an input method's
    // composition (below -1), or where a drag would drop.
    const int position = getPaintContext().cursorPosition;
    if (position == -1)
        return;
    QRect caret;
    if (position >= 0) {
        QTextCursor at(document());
        at.setPosition(position);
        caret = cursorRect(at);
    } else {
        caret = cursorRect();
    }
    caret.setWidth(m_caretWidth);
    QPainter painter(viewport());
    painter.fillRect(caret, palette().color(QPalette::Text));
}

bool FocusableTextView::canInsertFromMimeData(const QMimeData *source) const
{
    return QPlainTextEdit::canInsertFromMimeData(source) || source->hasHtml();
}

void FocusableTextView::insertFromMimeData(const QMimeData *source)
{
    // The base class pastes only the plain-text alternative, and nothing when rich text
    // comes without one. Then its words are taken and its styles dropped.
    if (!source->hasHtml() || !source->text().isEmpty()) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    QString text = QTextDocumentFragment::fromHtml(source->html()).toPlainText();
    text.remove(QChar::ObjectReplacementCharacter); // where images were
    QMimeData plain;
    plain.setText(text);
    QPlainTextEdit::insertFromMimeData(&plain);
}
