#include "ui/ColorDot.h"

#include "model/NotePastel.h"
#include "ui/ButtonAccessible.h"

#include <QPainter>

ColorDot::ColorDot(const QString &key, QWidget *parent)
    : QAbstractButton(parent)
    , m_key(key)
{
    ButtonAccessible::install();
    setCheckable(true);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(side, side);
}

void ColorDot::setSelected(bool selected)
{
    if (selected != isChecked())
        setChecked(selected);
}

void ColorDot::nextCheckState()
{
    // A click asks the store for the colour; the selection follows what the store then says.
}

void ColorDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool selected = isChecked();
    const qreal radius = diameter / 2.0 * (selected ? selectedScale : 1.0);
    const qreal outline = selected ? 2.0 : 1.0;
    const QPointF centre(width() / 2.0, height() / 2.0);
    if (isDown())
        painter.setOpacity(0.6);
    painter.setBrush(NotePastel::colorFor(m_key));
    painter.setPen(QPen(NotePastel::ink(), outline * (selected ? selectedScale : 1.0)));
    painter.drawEllipse(centre, radius, radius);
    if (hasFocus()) {
        painter.setOpacity(1.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
        painter.drawEllipse(centre, width() / 2.0 - 0.75, height() / 2.0 - 0.75);
    }
}
