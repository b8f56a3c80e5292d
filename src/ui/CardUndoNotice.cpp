#include "ui/CardUndoNotice.h"

#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "ui/CardButton.h"
#include "ui/CardStyle.h"

#include <QAccessible>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace {

const QString deletedText = u"Card deleted"_s;

CardStyle::ButtonLook undoLook()
{
    CardStyle::ButtonLook look = CardStyle::tagChipLook(false, false);
    look.font = CardStyle::mono(11, QFont::Black);
    look.padding = QMargins(8, 1, 8, 2);
    return look;
}

} // namespace

CardUndoNotice::CardUndoNotice(PinlarkStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
{
    setObjectName(u"undoNotice"_s);
    const CardStyle::PillLook pill = CardStyle::toastLook();
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(pill.padding.left(), 3, 4, 3);
    row->setSpacing(8);

    // The label says it; the notice itself stays unnamed, so it is not read twice.
    m_text = new QLabel(deletedText, this);
    m_text->setAccessibleDescription(u"The card can be put back for a few seconds"_s);
    m_text->setFont(pill.font);
    QPalette colors = m_text->palette();
    colors.setColor(QPalette::WindowText, pill.textColor);
    m_text->setPalette(colors);
    row->addWidget(m_text);

    m_undo = new CardButton(undoLook(), this);
    m_undo->setObjectName(u"undoDeleteButton"_s);
    m_undo->setText(u"Undo"_s);
    m_undo->setToolTip(u"Put the card back (Ctrl+Z)"_s);
    CardStyle::describe(m_undo, u"Undo"_s, u"Put the deleted card back (Ctrl+Z)"_s);
    connect(m_undo, &QAbstractButton::clicked, &m_store, &PinlarkStore::undoDelete);
    row->addWidget(m_undo);

    hide();
    parent->installEventFilter(this);
    connect(&m_store, &PinlarkStore::canUndoDeleteChanged, this, &CardUndoNotice::refresh);
    refresh();
}

void CardUndoNotice::refresh()
{
    const bool wanted = m_store.canUndoDelete();
    if (wanted == !isHidden())
        return;
    if (!wanted) {
        hide();
        return;
    }
    resize(sizeHint());
    place();
    show();
    raise();
    // Said once by a screen reader, like a notification, without taking the keyboard.
    QAccessibleEvent shown(m_text, QAccessible::Alert);
    QAccessible::updateAccessibility(&shown);
}

void CardUndoNotice::place()
{
    const QWidget *area = parentWidget();
    move(inset, area->height() - height() - inset);
}

void CardUndoNotice::paintEvent(QPaintEvent *)
{
    const CardStyle::PillLook pill = CardStyle::toastLook();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal half = pill.strokeWidth / 2;
    const QPainterPath shape = CardStyle::continuousRoundedRect(
        QRectF(rect()).adjusted(half, half, -half, -half), pill.radius);
    painter.fillPath(shape, pill.fill);
    painter.setPen(QPen(pill.stroke, pill.strokeWidth));
    painter.drawPath(shape);
}

bool CardUndoNotice::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize && !isHidden())
        place();
    return QWidget::eventFilter(watched, event);
}
