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
#include <cmath>

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

} // namespace CardStyle
