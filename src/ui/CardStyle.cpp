#include "ui/CardStyle.h"

#include "model/NotePastel.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

using namespace Qt::StringLiterals;

namespace CardStyle {

namespace {

// Qt's font point is 1/72 inch at the screen's logical dpi, which is 96 at scale 1; the
// design's point is one logical pixel. A point size rather than setPixelSize(), which takes
// whole pixels only and would round 14.5 and 9.5. A desktop whose font dpi is raised (Xft.dpi)
// still enlarges the text, as its user asked, and the icons beside it grow with it.
constexpr qreal qtPointsPerDesignPoint = 72.0 / 96.0;

QColor white()
{
    return QColor(255, 255, 255);
}

constexpr qreal shadowOpacity = 0.25;
constexpr qreal shadowBlurRadius = 12;

// Widths of three box blurs that, one after the other, come close to a Gaussian blur of
// standard deviation `sigma`.
std::array<int, 3> boxWidthsForGaussian(qreal sigma)
{
    constexpr int passes = 3;
    const qreal ideal = std::sqrt(12 * sigma * sigma / passes + 1);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0)
        --lower;
    const int upper = lower + 2;
    const qreal lowerCount =
        (12 * sigma * sigma - passes * lower * lower - 4 * passes * lower - 3 * passes) /
        (-4.0 * lower - 4);
    const long useLower = std::lround(lowerCount);
    std::array<int, 3> widths{};
    for (int i = 0; i < passes; ++i)
        widths[std::size_t(i)] = i < useLower ? lower : upper;
    return widths;
}

// One box blur of odd `size` along every row (or every column) of a width x height plane;
// nothing lies beyond the edges.
void boxBlur(const std::vector<float> &from, std::vector<float> &to, int width, int height,
             int size, bool alongRows)
{
    const int reach = size / 2;
    const int lines = alongRows ? height : width;
    const int length = alongRows ? width : height;
    const std::size_t step = alongRows ? 1 : std::size_t(width);
    for (int line = 0; line < lines; ++line) {
        const std::size_t base =
            alongRows ? std::size_t(line) * std::size_t(width) : std::size_t(line);
        const auto at = [&](int i) { return base + std::size_t(i) * step; };
        // The window of the first position, then slid one position at a time.
        float sum = 0;
        for (int i = 0; i <= reach && i < length; ++i)
            sum += from[at(i)];
        for (int i = 0; i < length; ++i) {
            to[at(i)] = sum / float(size);
            if (i + reach + 1 < length)
                sum += from[at(i + reach + 1)];
            if (i - reach >= 0)
                sum -= from[at(i - reach)];
        }
    }
}

} // namespace

QFont mono(qreal designPoints, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(designPoints * qtPointsPerDesignPoint);
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

int pointsToPixels(qreal designPoints)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
    return std::max(1, int(std::lround(designPoints * qtPointsPerDesignPoint * dpi / 72.0)));
}

QColor withOpacity(QColor color, qreal opacity)
{
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}

QPainterPath cardShape(const QRectF &bounds)
{
    return continuousRoundedRect(bounds, cardCornerRadius);
}

void describe(QWidget *widget, const QString &name, const QString &description)
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

// Card view

ButtonLook chevronLook(const QString &iconName)
{
    ButtonLook look;
    look.iconName = iconName;
    look.iconPoints = 11;
    look.textColor = NotePastel::ink();
    look.fill = white();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.5;
    look.radius = 6;
    look.fixedSize = QSize(22, 22);
    return look;
}

PillLook counterBadgeLook()
{
    PillLook look;
    look.font = mono(11, QFont::Bold);
    look.textColor = NotePastel::ink();
    look.padding = QMargins(6, 3, 6, 3);
    look.fill = withOpacity(NotePastel::yellow(), 0.4);
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.5;
    look.radius = 6;
    return look;
}

ButtonLook newButtonLook()
{
    ButtonLook look;
    look.iconName = u"plus"_s;
    look.iconPoints = 11;
    look.font = mono(11, QFont::Black);
    look.textColor = NotePastel::ink();
    look.spacing = 3;
    look.padding = QMargins(7, 4, 7, 4);
    look.fill = NotePastel::mint();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.5;
    look.radius = 7;
    return look;
}

ButtonLook tagChipLook(bool isAllChip, bool selected)
{
    ButtonLook look;
    look.font = mono(10, selected ? QFont::Bold : QFont::Medium);
    look.textColor = NotePastel::ink();
    // 2.5 above and 2.5 below in the design: the half pixel goes below, where the text's
    // descent leaves room.
    look.padding = QMargins(7, 2, 7, 3);
    look.fill = selected ? (isAllChip ? NotePastel::yellow() : NotePastel::mint()) : white();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.2;
    look.radius = 1000;
    return look;
}

namespace {

// The footer's small framed buttons.
ButtonLook footerButtonLook()
{
    ButtonLook look;
    look.textColor = NotePastel::ink();
    look.padding = QMargins(6, 3, 6, 3);
    look.fill = white();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.2;
    look.radius = 6;
    return look;
}

} // namespace

ButtonLook pinButtonLook(bool pinned)
{
    ButtonLook look = footerButtonLook();
    look.iconName = pinned ? u"pin-fill"_s : u"pin"_s;
    look.iconPoints = 10;
    look.font = mono(9.5, QFont::Bold);
    look.fill = pinned ? NotePastel::yellow() : white();
    return look;
}

ButtonLook checklistButtonLook()
{
    ButtonLook look = footerButtonLook();
    look.font = mono(10, QFont::Bold);
    look.textColor = NotePastel::inkSoft();
    return look;
}

ButtonLook copyButtonLook()
{
    ButtonLook look = footerButtonLook();
    look.font = mono(11, QFont::Bold);
    look.padding = QMargins(8, 3, 8, 3);
    return look;
}

ButtonLook deleteButtonLook()
{
    ButtonLook look;
    look.iconName = u"trash"_s;
    look.iconPoints = 11;
    look.textColor = NotePastel::inkMuted();
    return look;
}

ButtonLook actionsButtonLook()
{
    ButtonLook look;
    look.iconName = u"ellipsis-circle"_s;
    look.iconPoints = 13;
    look.textColor = NotePastel::inkSoft();
    return look;
}

PillLook toastLook()
{
    PillLook look;
    look.font = mono(11, QFont::Bold);
    look.textColor = NotePastel::ink();
    look.padding = QMargins(10, 5, 10, 5);
    look.fill = NotePastel::yellow();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.5;
    look.radius = 1000;
    return look;
}

// Sync panel

ButtonLook panelTextButtonLook()
{
    ButtonLook look;
    look.font = mono(11, QFont::Bold);
    look.textColor = NotePastel::inkSoft();
    return look;
}

ButtonLook syncNowButtonLook()
{
    ButtonLook look;
    look.font = mono(12, QFont::Black);
    look.textColor = NotePastel::ink();
    look.padding = QMargins(12, 6, 12, 6);
    look.fill = NotePastel::mint();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.5;
    look.radius = 8;
    return look;
}

ButtonLook backupButtonLook()
{
    ButtonLook look;
    look.font = mono(11, QFont::Bold);
    look.textColor = NotePastel::ink();
    look.padding = QMargins(10, 6, 10, 6);
    look.fill = white();
    look.stroke = NotePastel::ink();
    look.strokeWidth = 1.5;
    look.radius = 8;
    return look;
}

QImage panelShadow(const QSize &cardSize, qreal devicePixelRatio)
{
    // Painted by the panel from a cached picture rather than by a QGraphicsDropShadowEffect,
    // which would render the card and every control on it off screen again at each repaint
    // (each blink of the caret) although only the card's size changes the shadow.
    const QSize pixelSize = cardSize * devicePixelRatio;
    // A blur radius, as drawing tools and CSS give it, is twice the Gaussian's deviation;
    // three deviations are all of the shadow that shows.
    const qreal sigma = shadowBlurRadius / 2 * devicePixelRatio;
    const int margin = int(std::ceil(3 * sigma));
    const int width = pixelSize.width() + 2 * margin;
    const int height = pixelSize.height() + 2 * margin;

    QImage shape(width, height, QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter painter(&shape);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(
            continuousRoundedRect(QRectF(margin, margin, pixelSize.width(), pixelSize.height()),
                                  panelCardRadius * devicePixelRatio),
            Qt::black);
    }
    std::vector<float> plane(std::size_t(width) * std::size_t(height));
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(shape.constScanLine(y));
        for (int x = 0; x < width; ++x)
            plane[std::size_t(y) * std::size_t(width) + std::size_t(x)] = float(qAlpha(line[x]));
    }
    std::vector<float> scratch(plane.size());
    for (const int size : boxWidthsForGaussian(sigma)) {
        boxBlur(plane, scratch, width, height, size, true);
        boxBlur(scratch, plane, width, height, size, false);
    }

    const QColor ink = NotePastel::ink();
    QImage shadow(width, height, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(shadow.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const float alpha = plane[std::size_t(y) * std::size_t(width) + std::size_t(x)];
            const int a = std::clamp(int(std::lround(alpha * shadowOpacity)), 0, 255);
            line[x] = qPremultiply(qRgba(ink.red(), ink.green(), ink.blue(), a));
        }
    }
    shadow.setDevicePixelRatio(devicePixelRatio);
    return shadow;
}

} // namespace CardStyle
