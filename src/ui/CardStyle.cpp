#include "ui/CardStyle.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace CardStyle {

QFont mono(qreal pointSize, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    font.setStyleHint(QFont::Monospace);
    return font;
}

QPainterPath continuousRoundedRect(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    const qreal limit = std::min(rect.width(), rect.height()) / 2;
    const qreal r = std::clamp(radius, 0.0, limit);
    if (r <= 0) {
        path.addRect(rect);
        return path;
    }
    // Each corner is a cubic curve that starts further along the edge than a circular arc
    // would (up to 1.28 r) and pulls its control points towards the corner: the curvature
    // grows gradually from the straight edge instead of jumping. Near the capsule limit the
    // extension shrinks so the curves of two corners never overlap.
    const qreal extend = std::min(r * 1.28, limit);
    const qreal pull = extend * 0.64;
    const qreal left = rect.left();
    const qreal right = rect.right();
    const qreal top = rect.top();
    const qreal bottom = rect.bottom();

    path.moveTo(left + extend, top);
    path.lineTo(right - extend, top);
    path.cubicTo(right - extend + pull, top, right, top + extend - pull, right, top + extend);
    path.lineTo(right, bottom - extend);
    path.cubicTo(right, bottom - extend + pull, right - extend + pull, bottom, right - extend,
                 bottom);
    path.lineTo(left + extend, bottom);
    path.cubicTo(left + extend - pull, bottom, left, bottom - extend + pull, left, bottom - extend);
    path.lineTo(left, top + extend);
    path.cubicTo(left, top + extend - pull, left + extend - pull, top, left + extend, top);
    path.closeSubpath();
    return path;
}

QPixmap icon(const QString &name, int size, const QColor &color, qreal devicePixelRatio)
{
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    // Buttons repaint often and the set of looks is small: parse and draw each look once.
    // Widgets paint on the GUI thread only, so the cache needs no lock.
    static QHash<QString, QPixmap> cache;
    const QString key = name % u'/' % QString::number(size) % u'/' % QString::number(color.rgba()) %
                        u'/' % QString::number(ratio);
    if (const auto found = cache.constFind(key); found != cache.cend())
        return *found;

    const int pixels = std::max(1, int(std::ceil(size * ratio)));
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(u":/pinlark/icons/"_s + name + u".svg"_s);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    // The drawings are black: take their shape and paint it in the wanted colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    cache.insert(key, pixmap);
    return pixmap;
}

int pointsToPixels(qreal pointSize)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    return std::max(1, int(std::lround(pointSize * dpi / 72.0)));
}

QColor withOpacity(QColor color, qreal opacity)
{
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}

} // namespace CardStyle
