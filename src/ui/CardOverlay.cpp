#include "ui/CardOverlay.h"

#include "model/NotePastel.h"
#include "ui/CardStyle.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QLayout>
#include <QMouseEvent>
#include <QPainter>

// The panel card. Its own class so that assistive technology gets it as a named group, and
// so that clicks on it, its margins included, stay on it instead of reaching the backdrop.
class OverlayCard final : public QWidget
{
    Q_OBJECT

public:
    explicit OverlayCard(QWidget *parent)
        : QWidget(parent)
    {
        static const bool factoryInstalled = [] {
            QAccessible::installFactory(&OverlayCard::accessible);
            return true;
        }();
        Q_UNUSED(factoryInstalled)
    }
    Q_DISABLE_COPY_MOVE(OverlayCard)

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
    // A plain widget is announced as a client area; the card groups the panel's controls.
    static QAccessibleInterface *accessible(const QString &key, QObject *object)
    {
        if (key == QLatin1StringView(staticMetaObject.className()) && object->isWidgetType())
            return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Grouping);
        return nullptr;
    }
};

CardOverlay::CardOverlay(QWidget *parent)
    : QWidget(parent)
{
    setAutoFillBackground(false);
    m_card = new OverlayCard(this);
    m_card->setFixedWidth(cardWidth);
}

CardOverlay::~CardOverlay() = default;

void CardOverlay::placeCard()
{
    const QLayout *column = m_card->layout();
    if (!column)
        return;
    const int height = column->hasHeightForWidth() ? column->totalHeightForWidth(cardWidth)
                                                   : column->totalSizeHint().height();
    const QRect wanted((width() - cardWidth) / 2, (this->height() - height) / 2, cardWidth, height);
    if (m_card->geometry() != wanted) {
        m_card->setGeometry(wanted);
        update();
    }
}

void CardOverlay::paintEvent(QPaintEvent *)
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

void CardOverlay::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeCard();
}

bool CardOverlay::event(QEvent *event)
{
    // The card asks for another size when its contents change (a status line appears, a
    // list arrives): its height follows them.
    if (event->type() == QEvent::LayoutRequest)
        placeCard();
    return QWidget::event(event);
}

bool CardOverlay::isOnBackdrop(const QPoint &position) const
{
    return rect().contains(position) && !m_card->geometry().contains(position);
}

void CardOverlay::mousePressEvent(QMouseEvent *event)
{
    // Every click on the panel is the panel's: none may reach the card beneath.
    event->accept();
    m_pressedOnBackdrop =
        event->button() == Qt::LeftButton && isOnBackdrop(event->position().toPoint());
}

void CardOverlay::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
    const bool tapped = m_pressedOnBackdrop && event->button() == Qt::LeftButton &&
                        isOnBackdrop(event->position().toPoint());
    m_pressedOnBackdrop = false;
    if (tapped)
        backdropTapped();
}

bool CardOverlay::focusNextPrevChild(bool next)
{
    const QList<QWidget *> order = focusOrder();
    const auto count = int(order.size());
    if (count == 0)
        return false;
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

#include "CardOverlay.moc"
