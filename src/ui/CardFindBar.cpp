#include "ui/CardFindBar.h"

#include "model/NotePastel.h"
#include "model/SearchText.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"
#include "ui/FocusableTextView.h"
#include "ui/StoreRedraw.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTextBlock>

using namespace Qt::StringLiterals;

namespace {

constexpr int sidePadding = 14;
constexpr int bottomPadding = 6;
constexpr qreal fieldStrokeWidth = 1.2;

const QString noMatchText = u"No match"_s;

// The find field: a borderless line edit on a white capsule with an ink outline, like the
// chips it stands in for.
class FindField final : public QLineEdit
{
public:
    explicit FindField(QWidget *parent)
        : QLineEdit(parent)
    {
        setFrame(false);
        setFont(CardStyle::mono(11));
        setTextMargins(8, 1, 8, 1);
        QPalette colors = palette();
        colors.setColor(QPalette::Base, Qt::transparent);
        colors.setColor(QPalette::Text, NotePastel::ink());
        colors.setColor(QPalette::PlaceholderText, NotePastel::inkMuted());
        setPalette(colors);
    }
    Q_DISABLE_COPY_MOVE(FindField)

protected:
    void paintEvent(QPaintEvent *event) override
    {
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            const qreal inset = fieldStrokeWidth / 2;
            const QRectF bounds = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
            const QPainterPath shape = CardStyle::continuousRoundedRect(bounds, 1000);
            painter.fillPath(shape, QColor(255, 255, 255));
            painter.setPen(
                QPen(hasFocus() ? palette().color(QPalette::Highlight) : NotePastel::ink(),
                     hasFocus() ? 2.0 : fieldStrokeWidth));
            painter.drawPath(shape);
        }
        QLineEdit::paintEvent(event);
    }
};

CardStyle::ButtonLook doneLook()
{
    CardStyle::ButtonLook look = CardStyle::tagChipLook(true, false);
    look.font = CardStyle::mono(10, QFont::Bold);
    return look;
}

} // namespace

CardFindBar::CardFindBar(PinlarkStore &store, FocusableTextView *editor, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_editor(editor)
{
    setObjectName(u"findBar"_s);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(sidePadding, 0, sidePadding, bottomPadding);
    row->setSpacing(6);

    m_field = new FindField(this);
    m_field->setObjectName(u"findField"_s);
    CardStyle::describe(m_field, u"Find"_s,
                        u"Shows only the cards holding every word typed; Return goes to the "
                        u"next, Shift+Return to the previous, Escape ends the find"_s);
    m_field->installEventFilter(this);
    connect(m_field, &QLineEdit::textEdited, this,
            [this](const QString &text) { m_store.setFindQuery(text); });
    row->addWidget(m_field, 1);

    m_noMatch = new QLabel(noMatchText, this);
    m_noMatch->setObjectName(u"findNoMatch"_s);
    m_noMatch->setFont(CardStyle::mono(10, QFont::Bold));
    QPalette colors = m_noMatch->palette();
    colors.setColor(QPalette::WindowText, NotePastel::inkSoft());
    m_noMatch->setPalette(colors);
    m_noMatch->setAccessibleName(noMatchText);
    m_noMatch->hide();
    row->addWidget(m_noMatch);

    m_doneButton = new CardButton(doneLook(), this);
    m_doneButton->setObjectName(u"findDone"_s);
    m_doneButton->setText(u"Done"_s);
    CardStyle::describe(m_doneButton, u"Done"_s, u"End the find (Escape)"_s);
    m_doneButton->setFocusPolicy(Qt::TabFocus);
    connect(m_doneButton, &QAbstractButton::clicked, this, &CardFindBar::close);
    row->addWidget(m_doneButton);

    hide();
    redrawOnChange(m_store, this, [this] { refresh(); });
    refresh();
}

void CardFindBar::open()
{
    if (!m_store.findQuery())
        m_store.setFindQuery(QString());
    // The editor would take the keyboard back at every change the typing makes.
    m_editor->setTakesFocus(false);
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

void CardFindBar::close()
{
    if (!m_store.findQuery())
        return;
    m_store.setFindQuery(std::nullopt);
    m_editor->setTakesFocus(true);
    m_editor->setFocus(Qt::OtherFocusReason);
}

void CardFindBar::refresh()
{
    const std::optional<QString> &query = m_store.findQuery();
    setVisible(query.has_value());
    if (!query) {
        m_placedFor.reset();
        if (!m_markedWords.isEmpty()) {
            m_markedWords.clear();
            m_markedText.clear();
            m_found.clear();
            m_editor->setExtraSelections({});
        }
        return;
    }
    if (m_field->text() != *query)
        m_field->setText(*query);
    const QString placeholder =
        m_store.selectedTag() ? u"Find in "_s + *m_store.selectedTag() : u"Find in cards"_s;
    if (m_field->placeholderText() != placeholder)
        m_field->setPlaceholderText(placeholder);
    const bool nothingFound =
        !m_store.findWords().isEmpty() && m_store.activeCardIndices().isEmpty();
    m_noMatch->setVisible(nothingFound);
    markOccurrences();
}

void CardFindBar::markOccurrences()
{
    const QString text = m_editor->toPlainText();
    const QStringList &words = m_store.findWords();
    if (text != m_markedText || words != m_markedWords) {
        m_markedText = text;
        m_markedWords = words;
        // Each paragraph break of the editor's document is one character, like the '\n' of
        // the plain text, so offsets into the plain text are positions in the document.
        m_found =
            words.isEmpty() ? QList<SearchText::Range>{} : SearchText::occurrences(text, words);
        QList<QTextEdit::ExtraSelection> marks;
        marks.reserve(m_found.size());
        QTextCharFormat look;
        look.setBackground(NotePastel::yellow().darker(115));
        look.setForeground(NotePastel::ink());
        for (const SearchText::Range &range : std::as_const(m_found)) {
            QTextEdit::ExtraSelection mark;
            mark.cursor = QTextCursor(m_editor->document());
            mark.cursor.setPosition(int(range.start));
            mark.cursor.setPosition(int(range.start + range.length), QTextCursor::KeepAnchor);
            mark.format = look;
            marks.append(mark);
        }
        m_editor->setExtraSelections(marks);
    }

    const std::optional<NoteCard> card = m_store.currentCard();
    const std::pair<QString, QString> placing{words.join(u' '), card ? card->id : QString()};
    if (m_found.isEmpty() || m_placedFor == placing)
        return;
    m_placedFor = placing;
    QTextCursor caret = m_editor->textCursor();
    caret.setPosition(int(m_found.first().start));
    m_editor->setTextCursor(caret);
    m_editor->ensureCursorVisible();
}

bool CardFindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_field && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers().testFlag(Qt::ShiftModifier))
                m_store.findPrevious();
            else
                m_store.findNext();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
