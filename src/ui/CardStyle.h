#pragma once

#include <QColor>
#include <QFont>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>
#include <QString>

// Drawing helpers shared by the card view's parts: its fonts, its rounded shapes and its
// icons. Lengths are logical pixels; font sizes are points.
namespace CardStyle {

// The system's monospaced font at a point size and weight.
[[nodiscard]] QFont mono(qreal pointSize, QFont::Weight weight = QFont::Normal);

// A rounded rectangle whose corners ease into the straight edges instead of being circular
// arcs. The radius is clamped to half the shorter side; at that size the shape is a capsule.
[[nodiscard]] QPainterPath continuousRoundedRect(const QRectF &rect, qreal radius);

// One of the bundled icons ("chevron-left", "chevron-right", "plus", "pin", "pin-fill",
// "trash", "ellipsis-circle") drawn in `color`, `size` logical pixels square, for a screen
// of the given device pixel ratio.
[[nodiscard]] QPixmap icon(const QString &name, int size, const QColor &color,
                           qreal devicePixelRatio);

// `color` with its opacity multiplied by `opacity`.
[[nodiscard]] QColor withOpacity(QColor color, qreal opacity);

// The pixel size that text of `pointSize` has on screen, so icons can match the text they
// stand beside.
[[nodiscard]] int pointsToPixels(qreal pointSize);

} // namespace CardStyle
