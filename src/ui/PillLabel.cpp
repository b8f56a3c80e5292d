#include "ui/PillLabel.h"

#include "ui/CardStyle.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

PillLabel::PillLabel(const Look &look, QWidget *parent)
    : QLabel(parent)
    , m_look(look)
{
    setFont(m_look.font);
    setTextFormat(Qt::PlainText);
}

QSize PillLabel::sizeHint() const
{
    const QFontMetricsF metrics(m_look.font);
    return {int(std::ceil(metrics.horizontalAdvance(text()))) + m_look.padding.left() +
                m_look.padding.right(),
            int(std::ceil(metrics.height())) + m_look.padding.top() + m_look.padding.bottom()};
}

void PillLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = m_look.strokeWidth / 2;
    const QPainterPath shape = CardStyle::continuousRoundedRect(
        QRectF(rect()).adjusted(inset, inset, -inset, -inset), m_look.radius);
    painter.fillPath(shape, m_look.fill);
    painter.setFont(m_look.font);
    painter.setPen(m_look.textColor);
    painter.drawText(rect().marginsRemoved(m_look.padding), textFlags, text());
    painter.setPen(QPen(m_look.stroke, m_look.strokeWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape);
}
