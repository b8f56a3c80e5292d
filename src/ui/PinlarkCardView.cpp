#include "ui/PinlarkCardView.h"

#include "model/NotePastel.h"
#include "store/Clipboard.h"
#include "store/PinlarkStore.h"
#include "store/Workspace.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"
#include "ui/ColorDot.h"
#include "ui/FocusableTextView.h"
#include "ui/PillLabel.h"
#include "ui/PinlarkSyncPanel.h"
#include "ui/WordCount.h"

#include <QAction>
#include <QCoreApplication>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr int sidePadding = 14;
constexpr qreal viewCornerRadius = 14;
constexpr qreal viewOutlineWidth = 2;
constexpr int accentHeight = 5;
constexpr int toastInset = 12;

const QString copiedToastText = u"\u2713 Copied to clipboard"_s;
const QString exportedToastText = u"Exported!"_s;

QColor white()
{
    return QColor(255, 255, 255);
}

// A band of the view: an optional fill and an optional hairline along its top edge.
class Band final : public QWidget
{
public:
    explicit Band(std::optional<QColor> fill, bool topHairline, QWidget *parent = nullptr)
        : QWidget(parent)
        , m_fill(std::move(fill))
        , m_topHairline(topHairline)
    {}
    // The height the band asks for, whatever its content would ask.
    void setPreferredHeight(int height)
    {
        m_preferredHeight = height;
        updateGeometry();
    }
    [[nodiscard]] QSize sizeHint() const override
    {
        QSize hint = QWidget::sizeHint();
        if (m_preferredHeight > 0)
            hint.setHeight(m_preferredHeight);
        return hint;
    }
    void setFill(const QColor &fill)
    {
        if (m_fill == fill)
            return;
        m_fill = fill;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        if (m_fill)
            painter.fillRect(rect(), *m_fill);
        if (m_topHairline)
            painter.fillRect(QRectF(0, 0, width(), 1.5),
                             CardStyle::withOpacity(NotePastel::ink(), 0.15));
    }

private:
    std::optional<QColor> m_fill;
    bool m_topHairline;
    int m_preferredHeight = 0;
};

// The view's outline, drawn over everything else and letting every click through.
class Outline final : public QWidget
{
public:
    explicit Outline(QWidget *parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal inset = viewOutlineWidth / 2;
        painter.setPen(QPen(NotePastel::ink(), viewOutlineWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(CardStyle::continuousRoundedRect(
            QRectF(rect()).adjusted(inset, inset, -inset, -inset), viewCornerRadius));
    }
};

void describe(QWidget *widget, const QString &name, const QString &description)
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

} // namespace

PinlarkCardView::PinlarkCardView(PinlarkStore &store, const Services &services, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
    , m_services(services)
{
    setObjectName(u"cardView"_s);
    setAccessibleName(u"Pinlark"_s);
    setAccessibleDescription(u"The current card of the stack"_s);
    setFixedWidth(viewWidth);
    setAutoFillBackground(false);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    buildHeader();
    buildChipRow();
    buildEditorArea();
    buildFooter();
    column->addWidget(m_header);
    column->addWidget(m_chipRow);
    column->addWidget(m_accentStrip);
    column->addWidget(m_editorArea);
    column->addWidget(m_footer);
    buildMenu();
    buildShortcuts();

    m_outline = new Outline(this);
    m_outline->raise();

    // Every published field redraws the view, as each may change what it shows.
    connect(&m_store, &PinlarkStore::cardsChanged, this, &PinlarkCardView::refresh);
    connect(&m_store, &PinlarkStore::activeIndexChanged, this, &PinlarkCardView::refresh);
    connect(&m_store, &PinlarkStore::selectedTagChanged, this, &PinlarkCardView::refresh);
    connect(&m_store, &PinlarkStore::showSyncChanged, this, &PinlarkCardView::refresh);
    connect(&m_store, &PinlarkStore::passportCodeChanged, this, &PinlarkCardView::refresh);
    connect(&m_store, &PinlarkStore::isSyncingChanged, this, &PinlarkCardView::refresh);
    connect(&m_store, &PinlarkStore::syncStatusMessageChanged, this, &PinlarkCardView::refresh);
    refresh();
}

PinlarkCardView::~PinlarkCardView() = default;

QString PinlarkCardView::webSiteRoot()
{
    return u"https://pinlark.app/"_s;
}

// Building

void PinlarkCardView::buildHeader()
{
    m_header = new Band(std::nullopt, false, this);
    m_header->setObjectName(u"header"_s);
    auto *row = new QHBoxLayout(m_header);
    row->setContentsMargins(sidePadding, 12, sidePadding, 8);
    row->setSpacing(8);

    CardButton::Look chevron;
    chevron.iconPoints = 11;
    chevron.textColor = NotePastel::ink();
    chevron.fill = white();
    chevron.stroke = NotePastel::ink();
    chevron.strokeWidth = 1.5;
    chevron.radius = 6;
    chevron.fixedSize = QSize(22, 22);

    chevron.iconName = u"chevron-left"_s;
    m_previous = new CardButton(chevron, m_header);
    m_previous->setObjectName(u"previousButton"_s);
    m_previous->setToolTip(u"Previous card (Ctrl+[)"_s);
    describe(m_previous, u"Previous card"_s, m_previous->toolTip());
    connect(m_previous, &QAbstractButton::clicked, &m_store, &PinlarkStore::prevCard);

    PillLabel::Look badge;
    badge.font = CardStyle::mono(11, QFont::Bold);
    badge.textColor = NotePastel::ink();
    badge.padding = QMargins(6, 3, 6, 3);
    badge.fill = CardStyle::withOpacity(NotePastel::yellow(), 0.4);
    badge.stroke = NotePastel::ink();
    badge.strokeWidth = 1.5;
    badge.radius = 6;
    m_badge = new PillLabel(badge, m_header);
    m_badge->setObjectName(u"counterBadge"_s);
    m_badge->setAccessibleDescription(u"Position of the card among those shown"_s);

    chevron.iconName = u"chevron-right"_s;
    m_next = new CardButton(chevron, m_header);
    m_next->setObjectName(u"nextButton"_s);
    m_next->setToolTip(u"Next card (Ctrl+])"_s);
    describe(m_next, u"Next card"_s, m_next->toolTip());
    connect(m_next, &QAbstractButton::clicked, &m_store, &PinlarkStore::nextCard);

    auto *navigation = new QHBoxLayout;
    navigation->setSpacing(4);
    navigation->addWidget(m_previous);
    navigation->addWidget(m_badge);
    navigation->addWidget(m_next);
    row->addLayout(navigation);
    row->addStretch(1);

    // The dots keep room for the selected one's larger drawing, so their layout spacing is
    // what is left of the 6 pixels between circles.
    auto *dots = new QHBoxLayout;
    dots->setSpacing(6 - (ColorDot::side - ColorDot::diameter));
    for (const QString &key : NotePastel::allKeys()) {
        auto *dot = new ColorDot(key, m_header);
        dot->setObjectName(u"colorDot-"_s + key);
        describe(dot, key, u"Colour the card "_s + key);
        connect(dot, &QAbstractButton::clicked, this,
                [this, key] { m_store.setCurrentCardColor(key); });
        dots->addWidget(dot);
        m_dots.push_back(dot);
    }
    row->addLayout(dots);

    CardButton::Look add;
    add.iconName = u"plus"_s;
    add.iconPoints = 11;
    add.font = CardStyle::mono(11, QFont::Black);
    add.textColor = NotePastel::ink();
    add.spacing = 3;
    add.padding = QMargins(7, 4, 7, 4);
    add.fill = NotePastel::mint();
    add.stroke = NotePastel::ink();
    add.strokeWidth = 1.5;
    add.radius = 7;
    m_newButton = new CardButton(add, m_header);
    m_newButton->setText(u"New"_s);
    m_newButton->setObjectName(u"newButton"_s);
    describe(m_newButton, u"New"_s, u"Add a new card (Ctrl+N)"_s);
    connect(m_newButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::addCard);
    row->addWidget(m_newButton);
}

void PinlarkCardView::buildChipRow()
{
    m_chipRow = new QScrollArea(this);
    m_chipRow->setObjectName(u"tagChips"_s);
    m_chipRow->setAccessibleName(u"Tags"_s);
    m_chipRow->setAccessibleDescription(u"Show only the cards with one tag"_s);
    m_chipRow->setFrameShape(QFrame::NoFrame);
    m_chipRow->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_chipRow->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_chipRow->setWidgetResizable(true);
    m_chipRow->setFocusPolicy(Qt::NoFocus);
    m_chipRow->setStyleSheet(u"QScrollArea { background: transparent; }"_s);
    m_chipRow->viewport()->setAutoFillBackground(false);
    m_chipRow->viewport()->installEventFilter(this);

    m_chipStrip = new QWidget;
    m_chipStrip->setAutoFillBackground(false);
    m_chipLayout = new QHBoxLayout(m_chipStrip);
    m_chipLayout->setContentsMargins(sidePadding, 0, sidePadding, 6);
    m_chipLayout->setSpacing(5);
    m_chipLayout->addStretch(1);
    m_chipRow->setWidget(m_chipStrip);
    // The scroll area paints what it holds unless told not to; the row shows the paper.
    m_chipStrip->setAutoFillBackground(false);
    m_chipRow->hide();
}

void PinlarkCardView::buildEditorArea()
{
    m_accentStrip = new Band(NotePastel::yellow(), false, this);
    m_accentStrip->setObjectName(u"accentStrip"_s);
    m_accentStrip->setFixedHeight(accentHeight);

    auto *editorArea = new Band(NotePastel::cardBg(), false, this);
    editorArea->setPreferredHeight(editorHeight);
    m_editorArea = editorArea;
    m_editorArea->setObjectName(u"editorArea"_s);
    // 330 pixels is the editor's own height. The popup has a fixed size and the bands around
    // the editor follow the desktop's font sizes, so the editor gives or takes the
    // difference and the card always fills the popup exactly.
    m_editorArea->setMinimumHeight(minimumEditorHeight);
    m_editorArea->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(m_editorArea);
    layout->setContentsMargins(sidePadding, 10, sidePadding, 10);

    FocusableTextView::TextBinding binding;
    binding.get = [this]() -> QString {
        const std::optional<NoteCard> card = m_store.currentCard();
        return card ? card->content : QString();
    };
    binding.set = [this](const QString &text) { m_store.updateCurrentCard(text); };
    m_editor = new FocusableTextView(
        std::move(binding), [this] { m_store.saveNotes(); }, m_editorArea);
    m_editor->setObjectName(u"editor"_s);
    m_editor->setKeysLeftToShortcuts(
        [this](const QKeyEvent &event) { return isLeftToShortcuts(event); });
    m_editor->installEventFilter(this);
    layout->addWidget(m_editor);
    // A slim scroller in the card's inks instead of the style's full-size one.
    m_editor->verticalScrollBar()->setStyleSheet(
        u"QScrollBar:vertical { width: 6px; background: transparent; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(30, 23, 20, 64);"
        " border-radius: 3px; min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical"
        " { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical"
        " { background: transparent; }"_s);

    PillLabel::Look toast;
    toast.font = CardStyle::mono(11, QFont::Bold);
    toast.textColor = NotePastel::ink();
    toast.padding = QMargins(10, 5, 10, 5);
    toast.fill = NotePastel::yellow();
    toast.stroke = NotePastel::ink();
    toast.strokeWidth = 1.5;
    toast.radius = 1000;
    m_toast = new PillLabel(toast, m_editorArea);
    m_toast->setObjectName(u"toast"_s);
    m_toast->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_toast->hide();
    m_editorArea->installEventFilter(this);
    m_toastOpacity = new QGraphicsOpacityEffect(m_toast);
    m_toastOpacity->setOpacity(0);
    m_toast->setGraphicsEffect(m_toastOpacity);

    m_toastAnimation = new QParallelAnimationGroup(this);
    auto *slide = new QPropertyAnimation(m_toast, "pos", m_toastAnimation);
    slide->setDuration(toastAnimationMs);
    slide->setEasingCurve(QEasingCurve::InOutQuad);
    auto *fade = new QPropertyAnimation(m_toastOpacity, "opacity", m_toastAnimation);
    fade->setDuration(toastAnimationMs);
    fade->setEasingCurve(QEasingCurve::InOutQuad);
    m_toastAnimation->addAnimation(slide);
    m_toastAnimation->addAnimation(fade);
    connect(m_toastAnimation, &QAbstractAnimation::finished, this, [this] {
        if (!m_toastShown)
            m_toast->hide();
    });
}

QSize PinlarkCardView::sizeHint() const
{
    QSize hint = QWidget::sizeHint();
    hint.setWidth(viewWidth);
    return hint;
}

void PinlarkCardView::buildFooter()
{
    auto *footer = new Band(std::nullopt, true, this);
    m_footer = footer;
    footer->setObjectName(u"footer"_s);
    auto *row = new QHBoxLayout(footer);
    row->setContentsMargins(sidePadding, 8, sidePadding, 8);
    row->setSpacing(8);

    m_wordCount = new QLabel(footer);
    m_wordCount->setObjectName(u"wordCount"_s);
    m_wordCount->setFont(CardStyle::mono(11, QFont::Medium));
    QPalette muted = m_wordCount->palette();
    muted.setColor(QPalette::WindowText, NotePastel::inkMuted());
    m_wordCount->setPalette(muted);
    m_wordCount->setAccessibleDescription(u"Words on the card"_s);
    row->addWidget(m_wordCount);

    CardButton::Look small;
    small.textColor = NotePastel::ink();
    small.padding = QMargins(6, 3, 6, 3);
    small.fill = white();
    small.stroke = NotePastel::ink();
    small.strokeWidth = 1.2;
    small.radius = 6;

    CardButton::Look pin = small;
    pin.iconPoints = 10;
    pin.font = CardStyle::mono(9.5, QFont::Bold);
    m_pinButton = new CardButton(pin, footer);
    m_pinButton->setObjectName(u"pinButton"_s);
    // A plain button named by what pressing it does ("Unpin card"); a check box with that
    // name would be read out as "Unpin card, checked".
    connect(m_pinButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::togglePinCurrentCard);
    row->addWidget(m_pinButton);

    CardButton::Look checklist = small;
    checklist.font = CardStyle::mono(10, QFont::Bold);
    checklist.textColor = NotePastel::inkSoft();
    m_checklistButton = new CardButton(checklist, footer);
    m_checklistButton->setText(u"\u2611\uFE0E Todo"_s);
    m_checklistButton->setObjectName(u"checklistButton"_s);
    m_checklistButton->setToolTip(u"Insert - [ ] checklist item"_s);
    describe(m_checklistButton, u"Todo"_s, m_checklistButton->toolTip());
    connect(m_checklistButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::toggleChecklist);
    row->addWidget(m_checklistButton);

    row->addStretch(1);

    CardButton::Look copy = small;
    copy.font = CardStyle::mono(11, QFont::Bold);
    copy.padding = QMargins(8, 3, 8, 3);
    m_copyButton = new CardButton(copy, footer);
    m_copyButton->setText(u"Copy"_s);
    m_copyButton->setObjectName(u"copyButton"_s);
    describe(m_copyButton, u"Copy"_s, u"Copy the card's text to the clipboard (Ctrl+Shift+C)"_s);
    connect(m_copyButton, &QAbstractButton::clicked, this, &PinlarkCardView::copyCurrentCard);
    row->addWidget(m_copyButton);

    CardButton::Look trash;
    trash.iconName = u"trash"_s;
    trash.iconPoints = 11;
    trash.textColor = NotePastel::inkMuted();
    m_deleteButton = new CardButton(trash, footer);
    m_deleteButton->setObjectName(u"deleteButton"_s);
    m_deleteButton->setToolTip(u"Delete this card (Ctrl+Backspace)"_s);
    describe(m_deleteButton, m_deleteButton->toolTip(),
             u"Delete the current card (Ctrl+Backspace)"_s);
    connect(m_deleteButton, &QAbstractButton::clicked, &m_store, &PinlarkStore::deleteCurrentCard);
    row->addWidget(m_deleteButton);

    CardButton::Look more;
    more.iconName = u"ellipsis-circle"_s;
    more.iconPoints = 13;
    more.textColor = NotePastel::inkSoft();
    m_menuButton = new CardButton(more, footer);
    m_menuButton->setObjectName(u"actionsButton"_s);
    m_menuButton->setToolTip(u"More actions"_s);
    describe(m_menuButton, u"Actions"_s, m_menuButton->toolTip());
    row->addWidget(m_menuButton);
}

void PinlarkCardView::buildMenu()
{
    m_menu = new QMenu(this);
    m_menu->setObjectName(u"actionsMenu"_s);
    m_menu->setAccessibleName(u"Actions"_s);
    // The titles name their shortcuts themselves; the shortcuts are the view's own, so they
    // work without the menu being open.
    m_menu->addAction(u"Vault Sync\u2026 (Ctrl+S)"_s, this, [this] { m_store.setShowSync(true); });
    m_menu->addAction(u"Export All to Markdown\u2026 (Ctrl+E)"_s, this,
                      &PinlarkCardView::exportAll);
    m_menu->addAction(u"Open Notes Folder"_s, &m_store, &PinlarkStore::openNotesFolder);
    m_menu->addSeparator();
    m_menu->addAction(u"Pinlark Web (pinlark.app)"_s, this, [this] { openWeb(QString()); });
    m_menu->addAction(u"Privacy"_s, this, [this] { openWeb(u"privacy"_s); });
    m_menu->addAction(u"Support"_s, this, [this] { openWeb(u"support"_s); });
    m_menu->addSeparator();
    m_menu->addAction(u"Quit Pinlark (Ctrl+Q)"_s, this, &PinlarkCardView::quit);

    connect(m_menuButton, &QAbstractButton::clicked, this, [this] {
        m_menu->popup(m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height())));
    });
}

QShortcut *PinlarkCardView::addShortcut(const QList<QKeySequence> &keys,
                                        const std::function<void()> &action)
{
    auto *shortcut = new QShortcut(this);
    shortcut->setKeys(keys);
    shortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(shortcut, &QShortcut::activated, this, action);
    m_shortcuts.append(shortcut);
    return shortcut;
}

void PinlarkCardView::buildShortcuts()
{
    // Ctrl+Page Up and Ctrl+Page Down step as they step through tabs elsewhere on Linux.
    m_previousShortcut = addShortcut(
        {QKeySequence(Qt::CTRL | Qt::Key_BracketLeft), QKeySequence(Qt::CTRL | Qt::Key_PageUp)},
        [this] { m_store.prevCard(); });
    m_nextShortcut = addShortcut(
        {QKeySequence(Qt::CTRL | Qt::Key_BracketRight), QKeySequence(Qt::CTRL | Qt::Key_PageDown)},
        [this] { m_store.nextCard(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_N)}, [this] { m_store.addCard(); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)}, [this] { copyCurrentCard(); });
    m_deleteShortcuts = {
        addShortcut({QKeySequence(Qt::CTRL | Qt::Key_Backspace)},
                    [this] { m_store.deleteCurrentCard(); }),
        addShortcut({QKeySequence(Qt::CTRL | Qt::Key_Delete)},
                    [this] { m_store.deleteCurrentCard(); }),
    };
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_S)}, [this] { m_store.setShowSync(true); });
    addShortcut({QKeySequence(Qt::CTRL | Qt::Key_E)}, [this] { exportAll(); });
    m_quitShortcut = addShortcut({QKeySequence(Qt::CTRL | Qt::Key_Q)}, [this] { quit(); });
}

bool PinlarkCardView::isLeftToShortcuts(const QKeyEvent &event) const
{
    const QKeySequence pressed(event.keyCombination());
    for (const QShortcut *shortcut : m_shortcuts) {
        if (!shortcut->isEnabled())
            continue;
        for (const QKeySequence &keys : shortcut->keys()) {
            if (keys.matches(pressed) == QKeySequence::ExactMatch)
                return true;
        }
    }
    return false;
}

// Redrawing

void PinlarkCardView::refresh()
{
    refreshSyncOverlay();

    const std::optional<NoteCard> current = m_store.currentCard();
    const NoteCard shown = current ? *current : NoteCard::defaultCard();
    const QList<qint64> indices = m_store.activeCardIndices();
    // The store's currentFilteredIndex(), without building the filtered list a second time.
    const qint64 filteredIndex = std::max<qint64>(indices.indexOf(m_store.activeIndex()), 0);
    const QStringList tags = m_store.allTags();

    // Header: navigation, counter and colour.
    m_previous->setEnabled(m_store.activeIndex() != 0);
    m_next->setEnabled(filteredIndex < qint64(indices.size()) - 1);
    const QString counter = QString::number(filteredIndex + 1) % u'/' %
                            QString::number(std::max<qsizetype>(indices.size(), 1));
    if (m_badge->text() != counter) {
        m_badge->setText(counter);
        m_badge->setAccessibleName(counter);
        m_badge->updateGeometry();
    }
    for (ColorDot *dot : m_dots)
        dot->setSelected(dot->key() == shown.color);

    // Tag chips, and the header's bottom padding that depends on them.
    refreshChips(tags);
    auto *headerRow = static_cast<QHBoxLayout *>(m_header->layout());
    const int headerBottom = tags.isEmpty() ? 8 : 4;
    if (headerRow->contentsMargins().bottom() != headerBottom)
        headerRow->setContentsMargins(sidePadding, 12, sidePadding, headerBottom);

    static_cast<Band *>(m_accentStrip)->setFill(NotePastel::colorFor(shown.color));

    m_editor->updateFromBinding();

    const int words = wordCount(shown.content);
    const QString wordText = QString::number(words) % (words == 1 ? u" word"_s : u" words"_s);
    if (m_wordCount->text() != wordText) {
        m_wordCount->setText(wordText);
        m_wordCount->setAccessibleName(wordText);
    }
    refreshPinButton(shown.pinned());

    m_deleteButton->setVisible(m_store.cards().size() >= 2);
    refreshShortcuts();
}

void PinlarkCardView::refreshShortcuts()
{
    // Under the sync panel the card's own keys would act on a card nobody sees, and take
    // chords the code field uses (Ctrl+Backspace deletes a word there): only quitting stays.
    const bool cardKeys = !m_syncPanel;
    for (QShortcut *shortcut : std::as_const(m_shortcuts))
        shortcut->setEnabled(cardKeys);
    m_previousShortcut->setEnabled(cardKeys && m_previous->isEnabled());
    m_nextShortcut->setEnabled(cardKeys && m_next->isEnabled());
    for (QShortcut *shortcut : std::as_const(m_deleteShortcuts))
        shortcut->setEnabled(cardKeys && !m_deleteButton->isHidden());
    m_quitShortcut->setEnabled(true);
}

void PinlarkCardView::refreshSyncOverlay()
{
    // A fresh panel, with its own state, each time showSync turns on; gone when it turns off.
    const bool wanted = m_store.showSync();
    if (wanted == (m_syncPanel != nullptr))
        return;
    if (wanted) {
        // The editor would take the keyboard back from the code field at every change of
        // the store (a sync changes it twice).
        m_editor->setTakesFocus(false);
        m_syncPanel = new PinlarkSyncPanel(m_store, m_services.clipboard, this);
        m_syncPanel->setGeometry(rect());
        m_syncPanel->show();
        m_syncPanel->raise();
        m_syncPanel->focusCodeField();
        return;
    }
    // The panel may be what led here (its Close button, a click on its backdrop): off the
    // screen now, freed once that is over.
    PinlarkSyncPanel *panel = std::exchange(m_syncPanel, nullptr);
    m_editor->setTakesFocus(true);
    m_editor->setFocus(Qt::OtherFocusReason);
    panel->setObjectName(QString());
    panel->hide();
    panel->deleteLater();
}

void PinlarkCardView::refreshChips(const QStringList &tags)
{
    m_chipRow->setVisible(!tags.isEmpty());

    const auto addChip = [this]() -> CardButton * {
        CardButton::Look look;
        look.textColor = NotePastel::ink();
        look.padding = QMargins(7, 2, 7, 3);
        look.stroke = NotePastel::ink();
        look.strokeWidth = 1.2;
        look.radius = 1000;
        look.font = CardStyle::mono(10, QFont::Medium);
        look.fill = white();
        auto *chip = new CardButton(look, m_chipStrip);
        chip->setCheckable(true);
        m_chipLayout->insertWidget(int(m_chips.size()), chip);
        m_chips.push_back(chip);
        m_chipSelected.emplace_back();
        chip->show(); // now, so the row's height below counts it
        return chip;
    };

    if (m_chips.empty()) {
        CardButton *all = addChip();
        all->setObjectName(u"chipAll"_s);
        all->setAccessibleDescription(u"Show every card"_s);
        connect(all, &QAbstractButton::clicked, this, [this] { pressTagChip(std::nullopt); });
    }

    // Typing a tag changes the list on every keystroke: the chips are reused and relabelled,
    // and only a change in their number adds or removes one.
    if (tags != m_chipTags) {
        const qsizetype wanted = tags.size() + 1;
        while (qsizetype(m_chips.size()) < wanted) {
            const qsizetype index = qsizetype(m_chips.size()) - 1;
            CardButton *chip = addChip();
            connect(chip, &QAbstractButton::clicked, this, [this, index] {
                if (index < m_chipTags.size())
                    pressTagChip(m_chipTags.at(index));
            });
        }
        while (qsizetype(m_chips.size()) > wanted) {
            // A chip may be the sender of what led here: take it out now, free it later.
            CardButton *chip = m_chips.back();
            m_chips.pop_back();
            m_chipSelected.pop_back();
            m_chipLayout->removeWidget(chip);
            chip->setObjectName(QString());
            chip->hide();
            chip->deleteLater();
        }
        for (qsizetype i = 0; i < tags.size(); ++i) {
            CardButton *chip = m_chips[std::size_t(i + 1)];
            const QString &tag = tags.at(i);
            if (chip->text() == tag)
                continue;
            chip->setText(tag);
            chip->setObjectName(u"chip-"_s + tag);
            describe(chip, tag, u"Show only the cards tagged "_s + tag);
            chip->updateGeometry();
            m_chipSelected[std::size_t(i + 1)].reset();
        }
        m_chipTags = tags;
        if (!tags.isEmpty()) {
            m_chipLayout->invalidate();
            m_chipRow->setFixedHeight(m_chipLayout->sizeHint().height());
        }
    }

    CardButton *all = m_chips.front();
    const qsizetype cardCount = m_store.cards().size();
    if (m_chipCardCount != cardCount) {
        m_chipCardCount = cardCount;
        const QString text = u"All ("_s % QString::number(cardCount) % u')';
        all->setText(text);
        all->setAccessibleName(text);
        all->updateGeometry();
    }

    const std::optional<QString> &selected = m_store.selectedTag();
    for (std::size_t i = 0; i < m_chips.size(); ++i) {
        const bool isSelected = i == 0 ? !selected.has_value()
                                       : (selected && *selected == m_chipTags.at(qsizetype(i - 1)));
        if (m_chipSelected[i] == isSelected)
            continue;
        m_chipSelected[i] = isSelected;
        CardButton *chip = m_chips[i];
        CardButton::Look chipLook = chip->look();
        chipLook.font = CardStyle::mono(10, isSelected ? QFont::Bold : QFont::Medium);
        chipLook.fill = isSelected ? (i == 0 ? NotePastel::yellow() : NotePastel::mint()) : white();
        chip->setLook(chipLook);
        chip->setChecked(isSelected);
    }
}

void PinlarkCardView::refreshPinButton(bool pinned)
{
    if (m_shownPinned == pinned)
        return;
    m_shownPinned = pinned;
    CardButton::Look look = m_pinButton->look();
    look.iconName = pinned ? u"pin-fill"_s : u"pin"_s;
    look.fill = pinned ? NotePastel::yellow() : white();
    m_pinButton->setLook(look);
    m_pinButton->setText(pinned ? u"Pinned"_s : QString());
    m_pinButton->setToolTip(pinned ? u"Unpin card"_s : u"Pin card to front"_s);
    describe(m_pinButton, m_pinButton->toolTip(),
             pinned ? u"The card is pinned to the front of the stack"_s
                    : u"The card is not pinned"_s);
    m_pinButton->updateGeometry();
}

// Commands

void PinlarkCardView::pressTagChip(const std::optional<QString> &tag)
{
    if (!tag || m_store.selectedTag() == tag) {
        m_store.setSelectedTag(std::nullopt);
        return;
    }
    m_store.setSelectedTag(tag);
    const QList<qint64> indices = m_store.activeCardIndices();
    if (!indices.isEmpty())
        m_store.setActiveIndex(indices.first());
}

void PinlarkCardView::copyCurrentCard()
{
    const std::optional<NoteCard> current = m_store.currentCard();
    const QString text = current ? current->content : NoteCard::defaultCard().content;
    if (m_services.clipboard)
        m_services.clipboard->setText(text);
    showCopiedToast();
}

void PinlarkCardView::exportAll()
{
    QPointer<PinlarkCardView> self(this);
    m_store.exportAllToMarkdown([self](const std::optional<QUrl> &location) {
        if (!self || !location)
            return;
        self->showExportToast();
        if (self->m_services.workspace)
            self->m_services.workspace->showFileInFolder(*location);
    });
}

void PinlarkCardView::openWeb(const QString &path)
{
    const QUrl url(webSiteRoot() + path, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return;
    if (m_services.workspace)
        m_services.workspace->openUrl(url);
}

void PinlarkCardView::quit()
{
    m_store.saveNotesImmediately();
    if (m_services.quit)
        m_services.quit();
    else
        QCoreApplication::quit();
}

// Notices

void PinlarkCardView::showCopiedToast()
{
    if (!m_copiedToast) {
        m_copiedToast = true;
        const quint64 notice = ++m_copyNotice;
        schedule(copiedToastMs, [this, notice] {
            if (notice != m_copyNotice)
                return;
            m_copiedToast = false;
            refreshToast();
        });
    }
    refreshToast();
}

void PinlarkCardView::showExportToast()
{
    if (!m_exportToast) {
        m_exportToast = exportedToastText;
        const quint64 notice = ++m_exportNotice;
        schedule(exportToastMs, [this, notice] {
            if (notice != m_exportNotice)
                return;
            m_exportToast.reset();
            refreshToast();
        });
    }
    refreshToast();
}

void PinlarkCardView::schedule(int delayMs, std::function<void()> task)
{
    if (m_services.schedule)
        m_services.schedule(delayMs, this, std::move(task));
    else
        QTimer::singleShot(delayMs, this, std::move(task));
}

std::optional<QString> PinlarkCardView::toastText() const
{
    if (m_copiedToast)
        return copiedToastText;
    return m_exportToast;
}

void PinlarkCardView::refreshToast()
{
    const std::optional<QString> text = toastText();
    if (text) {
        if (m_toast->text() != *text) {
            m_toast->setText(*text);
            m_toast->setAccessibleName(*text);
            m_toast->resize(m_toast->sizeHint());
        }
        if (!m_toastShown)
            placeToast(true);
        else if (m_toastAnimation->state() != QAbstractAnimation::Running)
            m_toast->move(toastRestingPlace());
    } else if (m_toastShown) {
        placeToast(false);
    }
}

QPoint PinlarkCardView::toastRestingPlace() const
{
    return {m_editorArea->width() - m_toast->width() - toastInset,
            m_editorArea->height() - m_toast->height() - toastInset};
}

void PinlarkCardView::placeToast(bool shown)
{
    m_toastShown = shown;
    m_toast->resize(m_toast->sizeHint());
    const QPoint restingPlace = toastRestingPlace();
    const QPoint belowEdge(restingPlace.x(), m_editorArea->height());
    auto *slide = static_cast<QPropertyAnimation *>(m_toastAnimation->animationAt(0));
    auto *fade = static_cast<QPropertyAnimation *>(m_toastAnimation->animationAt(1));
    m_toastAnimation->stop();
    slide->setStartValue(m_toast->isVisible() ? m_toast->pos()
                                              : (shown ? belowEdge : restingPlace));
    slide->setEndValue(shown ? restingPlace : belowEdge);
    fade->setStartValue(m_toast->isVisible() ? m_toastOpacity->opacity() : (shown ? 0.0 : 1.0));
    fade->setEndValue(shown ? 1.0 : 0.0);
    if (shown) {
        m_toast->show();
        m_toast->raise();
    }
    m_toastAnimation->start();
}

// Events

QPainterPath PinlarkCardView::shape(const QRectF &bounds)
{
    return CardStyle::continuousRoundedRect(bounds, viewCornerRadius);
}

void PinlarkCardView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(shape(QRectF(rect())), NotePastel::paper());
}

void PinlarkCardView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_outline->setGeometry(rect());
    m_outline->raise();
    if (m_syncPanel) {
        m_syncPanel->setGeometry(rect());
        m_syncPanel->raise();
    }
}

bool PinlarkCardView::eventFilter(QObject *watched, QEvent *event)
{
    // Under the sync panel the keyboard is the panel's, whoever hands it to the editor (the
    // popup does when it opens): typing must never reach a card nobody sees.
    if (watched == m_editor && event->type() == QEvent::FocusIn && m_syncPanel) {
        m_syncPanel->focusCodeField();
        return false;
    }

    // The editor area's height follows the chip row; a toast stays in its corner.
    if (watched == m_editorArea && event->type() == QEvent::Resize && m_toastShown) {
        if (m_toastAnimation->state() == QAbstractAnimation::Running) {
            auto *slide = static_cast<QPropertyAnimation *>(m_toastAnimation->animationAt(0));
            slide->setEndValue(toastRestingPlace());
        } else {
            m_toast->move(toastRestingPlace());
        }
    }

    // The chip row scrolls sideways; let an ordinary mouse wheel do that too.
    if (watched == m_chipRow->viewport() && event->type() == QEvent::Wheel) {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        const QPoint delta = wheel->angleDelta();
        if (delta.x() == 0 && delta.y() != 0) {
            QScrollBar *bar = m_chipRow->horizontalScrollBar();
            bar->setValue(bar->value() - delta.y() / 2);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
