#include "app/StatusIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

using namespace Qt::StringLiterals;

namespace {

// The design's coordinates put the origin at the bottom left; Qt's is at the top left.
constexpr qreal flipped(qreal y)
{
    return StatusIcon::gridSize - y;
}

class DrawnCardEngine final : public QIconEngine
{
public:
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State) override
    {
        painter->save();
        if (mode == QIcon::Disabled)
            painter->setOpacity(0.45);
        StatusIcon::paintCard(*painter, QRectF(rect));
        painter->restore();
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    // `size` is in device pixels already (QIcon multiplies it by `scale` before it asks).
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            paint(&painter, QRect(QPoint(), pixmap.size()), mode, state);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = qMin(size.width(), size.height());
        return {side, side};
    }

    [[nodiscard]] QIconEngine *clone() const override { return new DrawnCardEngine; }
    [[nodiscard]] QString key() const override { return u"PinlarkDrawnCard"_s; }
};

} // namespace

namespace StatusIcon {

QIcon icon()
{
    const QString name = QString::fromUtf16(themeName);
    if (QIcon::hasThemeIcon(name))
        return QIcon::fromTheme(name);
    return drawnIcon();
}

QIcon drawnIcon()
{
    return QIcon(new DrawnCardEngine);
}

void paintCard(QPainter &painter, const QRectF &target)
{
    // A square in the middle of the target, so a tray that asks for a wide icon still gets
    // an undistorted card.
    const qreal side = qMin(target.width(), target.height());
    const qreal scale = side / gridSize;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(target.center().x() - side / 2, target.center().y() - side / 2);
    painter.scale(scale, scale);

    auto pen = [](qreal width) {
        QPen stroke(cardInk, width);
        stroke.setCapStyle(Qt::FlatCap); // the lines end where they are drawn to
        stroke.setJoinStyle(Qt::RoundJoin);
        return stroke;
    };
    painter.setPen(pen(1.4));
    painter.setBrush(cardFill);
    painter.drawRoundedRect(QRectF(2, flipped(1.5 + 15), 14, 15), 3, 3);

    // Width, then the two ends of each text line; they get shorter from top to bottom.
    struct Line
    {
        qreal width;
        QPointF from;
        QPointF to;
    };
    const Line lines[] = {
        {1.2, {4.5, flipped(11.5)}, {13.5, flipped(11.5)}},
        {1.1, {4.5, flipped(7.5)}, {11.5, flipped(7.5)}},
        {1.1, {4.5, flipped(4.5)}, {9.5, flipped(4.5)}},
    };
    for (const Line &line : lines) {
        painter.setPen(pen(line.width));
        painter.drawLine(line.from, line.to);
    }
    painter.restore();
}

} // namespace StatusIcon
