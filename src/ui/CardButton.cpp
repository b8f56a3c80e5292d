#include "ui/CardButton.h"

#include "ui/ButtonAccessible.h"
#include "ui/CardStyle.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace {
constexpr qreal disabledOpacity = 0.35;
constexpr qreal pressedOpacity = 0.6;
} // namespace

CardButton::CardButton(const Look &look, QWidget *parent)
    : QAbstractButton(parent)
    , m_look(look)
{
    ButtonAccessible::install();
    // Tab reaches every control, but a click leaves the focus in the editor.
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    if (!m_look.fixedSize.isEmpty())
        setFixedSize(m_look.fixedSize);
}

void CardButton::setLook(const Look &look)
{
    m_look = look;
    if (!m_look.fixedSize.isEmpty())
        setFixedSize(m_look.fixedSize);
    updateGeometry();
    update();
}

int CardButton::iconPixels() const
{
    return m_look.iconName.isEmpty() ? 0 : CardStyle::pointsToPixels(m_look.iconPoints);
}

QSize CardButton::contentSize() const
{
    const QFontMetricsF metrics(m_look.font);
    const int iconSize = iconPixels();
    const qreal textWidth = text().isEmpty() ? 0 : metrics.horizontalAdvance(text());
    const qreal textHeight = text().isEmpty() ? 0 : metrics.height();
    qreal width = iconSize + textWidth;
    if (iconSize > 0 && textWidth > 0)
        width += m_look.spacing;
    const qreal height = std::max<qreal>(iconSize, textHeight);
    return {int(std::ceil(width)), int(std::ceil(height))};
}

QSize CardButton::sizeHint() const
{
    if (!m_look.fixedSize.isEmpty())
        return m_look.fixedSize;
    const QSize content = contentSize();
    return {content.width() + m_look.padding.left() + m_look.padding.right(),
            content.height() + m_look.padding.top() + m_look.padding.bottom()};
}

QSize CardButton::minimumSizeHint() const
{
    return sizeHint();
}

void CardButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange)
        update();
    QAbstractButton::changeEvent(event);
}

void CardButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!isEnabled())
        painter.setOpacity(disabledOpacity);
    else if (isDown())
        painter.setOpacity(pressedOpacity);

    const qreal inset = m_look.stroke ? m_look.strokeWidth / 2 : 0;
    const QRectF shapeRect = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    const QPainterPath shape = CardStyle::continuousRoundedRect(shapeRect, m_look.radius);
    if (m_look.fill)
        painter.fillPath(shape, *m_look.fill);

    const QSize content = contentSize();
    const int iconSize = iconPixels();
    qreal x = (width() - content.width()) / 2.0;
    const qreal centreY = height() / 2.0;
    if (iconSize > 0) {
        const QPixmap pixmap =
            CardStyle::icon(m_look.iconName, iconSize, m_look.textColor, devicePixelRatioF());
        painter.drawPixmap(QPointF(std::round(x), std::round(centreY - iconSize / 2.0)), pixmap);
        x += iconSize + m_look.spacing;
    }
    if (!text().isEmpty()) {
        painter.setFont(m_look.font);
        painter.setPen(m_look.textColor);
        const QFontMetricsF metrics(m_look.font);
        const qreal baseline = centreY + (metrics.ascent() - metrics.descent()) / 2.0;
        painter.drawText(QPointF(x, baseline), text());
    }

    if (m_look.stroke && m_look.strokeWidth > 0) {
        painter.setPen(QPen(*m_look.stroke, m_look.strokeWidth));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
    }

    if (hasFocus()) {
        painter.setOpacity(1.0);
        QPen ring(palette().color(QPalette::Highlight), 2);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(
            CardStyle::continuousRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), m_look.radius));
    }
}
