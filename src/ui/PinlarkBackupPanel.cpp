#include "ui/PinlarkBackupPanel.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int cardInset = 18;
constexpr int itemSpacing = 12;
constexpr int entrySpacing = 6;

const QString title = u"Restore from Backup"_s;

QLabel *makeLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(true);
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, color);
    label->setPalette(colors);
    return label;
}

} // namespace

// The panel card: a named group for assistive technology, and a surface whose clicks never
// reach the backdrop around it.
class BackupPanelCard final : public QWidget
{
    Q_OBJECT

public:
    explicit BackupPanelCard(QWidget *parent)
        : QWidget(parent)
    {
        static const bool factoryInstalled = [] {
            QAccessible::installFactory(&BackupPanelCard::accessible);
            return true;
        }();
        Q_UNUSED(factoryInstalled)
    }
    Q_DISABLE_COPY_MOVE(BackupPanelCard)

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal inset = CardStyle::panelOutlineWidth / 2;
        const QPainterPath shape = CardStyle::continuousRoundedRect(
            QRectF(rect()).adjusted(inset, inset, -inset, -inset), CardStyle::panelCardRadius);
        painter.fillPath(shape, NotePastel::paper());
        painter.setPen(QPen(NotePastel::ink(), CardStyle::panelOutlineWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
    }
    void mousePressEvent(QMouseEvent *event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent *event) override { event->accept(); }
    void mouseDoubleClickEvent(QMouseEvent *event) override { event->accept(); }

private:
    static QAccessibleInterface *accessible(const QString &key, QObject *object)
    {
        if (key == QLatin1StringView(staticMetaObject.className()) && object->isWidgetType())
            return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Grouping);
        return nullptr;
    }
};

PinlarkBackupPanel::PinlarkBackupPanel(PinlarkStore &store, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(u"backupPanel"_s);
    setAccessibleDescription(u"Restore from Backup over the card; Escape leaves it"_s);
    setAutoFillBackground(false);

    m_card = new BackupPanelCard(this);
    m_card->setObjectName(u"backupPanelCard"_s);
    CardStyle::describe(m_card, title, u"Bring back cards from a daily backup"_s);
    m_card->setFixedWidth(cardWidth);

    auto *column = new QVBoxLayout(m_card);
    column->setContentsMargins(cardInset, cardInset, cardInset, cardInset);
    column->setSpacing(itemSpacing);
    column->setSizeConstraint(QLayout::SetNoConstraint);

    auto *heading = makeLabel(title, CardStyle::mono(15, QFont::Black), NotePastel::ink(), m_card);
    heading->setObjectName(u"backupTitle"_s);
    heading->setAccessibleName(title);
    column->addWidget(heading);

    const QString explanationText =
        u"Cards a backup holds that the stack no longer has come back as cards of their own."_s;
    auto *explanation =
        makeLabel(explanationText, CardStyle::mono(11), NotePastel::inkSoft(), m_card);
    explanation->setObjectName(u"backupExplanation"_s);
    explanation->setAccessibleName(explanationText);
    column->addWidget(explanation);

    m_list = new QVBoxLayout;
    m_list->setSpacing(entrySpacing);
    m_status =
        makeLabel(u"Reading backups\u2026"_s, CardStyle::mono(10.5), NotePastel::inkSoft(), m_card);
    m_status->setObjectName(u"backupStatus"_s);
    m_status->setAccessibleName(m_status->text());
    m_list->addWidget(m_status);
    column->addLayout(m_list);

    auto *row = new QHBoxLayout;
    row->addStretch(1);
    m_closeButton = new CardButton(CardStyle::panelTextButtonLook(), m_card);
    m_closeButton->setText(u"Close"_s);
    m_closeButton->setObjectName(u"backupCloseButton"_s);
    CardStyle::describe(m_closeButton, m_closeButton->text(), u"Back to the card (Escape)"_s);
    connect(m_closeButton, &QAbstractButton::clicked, this, &PinlarkBackupPanel::closeRequested);
    row->addWidget(m_closeButton);
    column->addLayout(row);

    // The answer may come after the panel closed: it is dropped then.
    store.listBackups([panel = QPointer(this)](const QList<NotesFile::Backup> &backups) {
        if (panel)
            panel->showBackups(backups);
    });
    placeCard();
}

PinlarkBackupPanel::~PinlarkBackupPanel() = default;

QString PinlarkBackupPanel::entryText(const NotesFile::Backup &backup)
{
    // The English of the rest of the card, whatever the system's language.
    const QString day = QLocale::c().toString(backup.day, u"ddd, MMM d, yyyy"_s);
    QString what;
    if (!backup.error.isEmpty())
        what = u"unreadable"_s;
    else if (backup.cardCount == 1)
        what = u"1 card"_s;
    else
        what = QString::number(backup.cardCount) + u" cards"_s;
    return day + u" \u00b7 "_s + what;
}

QWidget *PinlarkBackupPanel::card() const
{
    return m_card;
}

void PinlarkBackupPanel::showBackups(const QList<NotesFile::Backup> &backups)
{
    // The keyboard is on Close only because there was nothing else yet: it moves to the
    // list. Asked of the window, which knows its focus also while it is not active.
    const QWidget *focused = window()->focusWidget();
    const bool moveFocus = !focused || focused == m_closeButton || !isAncestorOf(focused);
    for (const NotesFile::Backup &backup : backups) {
        auto *button = new CardButton(CardStyle::backupButtonLook(), m_card);
        const QString text = entryText(backup);
        button->setText(text);
        button->setObjectName(u"backupButton"_s);
        CardStyle::describe(button, text,
                            backup.error.isEmpty()
                                ? u"Bring back the cards of this backup the stack no longer has"_s
                                : u"This backup cannot be read: "_s + backup.error);
        button->setEnabled(backup.error.isEmpty());
        const QString path = backup.path;
        connect(button, &QAbstractButton::clicked, this,
                [this, path] { Q_EMIT backupChosen(path); });
        m_list->addWidget(button);
        // Shown now rather than when the layout gets to it, so it can take the keyboard.
        button->show();
        m_backupButtons.append(button);
    }
    if (backups.isEmpty()) {
        m_status->setText(u"No backups yet"_s);
        m_status->setAccessibleName(m_status->text());
    } else {
        m_status->hide();
    }
    placeCard();
    if (moveFocus)
        focusFirst();
}

void PinlarkBackupPanel::focusFirst()
{
    for (CardButton *button : std::as_const(m_backupButtons)) {
        if (button->isEnabled()) {
            button->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    m_closeButton->setFocus(Qt::OtherFocusReason);
}

void PinlarkBackupPanel::placeCard()
{
    const QLayout *column = m_card->layout();
    const int height = column->hasHeightForWidth() ? column->totalHeightForWidth(cardWidth)
                                                   : column->totalSizeHint().height();
    const QRect wanted((width() - cardWidth) / 2, (this->height() - height) / 2, cardWidth, height);
    if (m_card->geometry() != wanted) {
        m_card->setGeometry(wanted);
        update();
    }
}

// Events

void PinlarkBackupPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(CardStyle::cardShape(QRectF(rect())));
    painter.fillRect(rect(),
                     CardStyle::withOpacity(NotePastel::ink(), CardStyle::panelBackdropOpacity));

    const qreal ratio = devicePixelRatioF();
    const QSize pixelSize = m_card->size() * ratio;
    if (m_shadowCardSize != pixelSize || m_shadow.isNull()) {
        m_shadow = CardStyle::panelShadow(m_card->size(), ratio);
        m_shadowCardSize = pixelSize;
    }
    const qreal margin = (m_shadow.width() / ratio - m_card->width()) / 2;
    painter.drawImage(
        QPointF(m_card->x() - margin, m_card->y() + CardStyle::panelShadowOffsetY - margin),
        m_shadow);
}

void PinlarkBackupPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeCard();
}

bool PinlarkBackupPanel::event(QEvent *event)
{
    // The card's height follows its contents: the list arrives after the panel is shown.
    if (event->type() == QEvent::LayoutRequest)
        placeCard();
    return QWidget::event(event);
}

bool PinlarkBackupPanel::isOnBackdrop(const QPoint &position) const
{
    return rect().contains(position) && !m_card->geometry().contains(position);
}

void PinlarkBackupPanel::mousePressEvent(QMouseEvent *event)
{
    // Every click on the panel is the panel's: none may reach the card beneath.
    event->accept();
    m_pressedOnBackdrop =
        event->button() == Qt::LeftButton && isOnBackdrop(event->position().toPoint());
}

void PinlarkBackupPanel::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
    const bool tapped = m_pressedOnBackdrop && event->button() == Qt::LeftButton &&
                        isOnBackdrop(event->position().toPoint());
    m_pressedOnBackdrop = false;
    if (tapped)
        Q_EMIT closeRequested();
}

bool PinlarkBackupPanel::focusNextPrevChild(bool next)
{
    QList<QWidget *> order;
    for (CardButton *button : std::as_const(m_backupButtons))
        order.append(button);
    order.append(m_closeButton);
    const auto count = int(order.size());
    int index = int(order.indexOf(QApplication::focusWidget()));
    if (index < 0)
        index = next ? -1 : count;
    for (int step = 1; step <= count; ++step) {
        const int at = ((index + (next ? step : -step)) % count + count) % count;
        QWidget *candidate = order.at(at);
        if (candidate->isEnabled() && candidate->isVisible() &&
            (candidate->focusPolicy() & Qt::TabFocus)) {
            candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return false;
}

#include "PinlarkBackupPanel.moc"
