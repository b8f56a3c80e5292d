#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QMargins>
#include <QPainterPath>
#include <QPixmap>
#include <QRectF>
#include <QSize>
#include <QString>

#include <optional>

class QWidget;

// The card's looks in one place: its fonts, its rounded shapes, its icons and the look of
// every button and pill the card view and the sync panel draw. The parts take their looks
// from here and never fill one in themselves.
//
// Sizes follow the design, which gives them in its platform's points. Those are logical
// pixels: a 420 x 430 point popup is 420 x 430 logical pixels. Lengths are used as they are;
// font sizes go through mono(), which gives a font of that many logical pixels to the em.
namespace CardStyle {

// How a CardButton draws itself: an optional icon and text in a row, on an optional rounded
// fill with an optional outline.
struct ButtonLook
{
    QString iconName; // empty: none
    qreal iconPoints = 11;
    QFont font;
    QColor textColor;
    int spacing = 3; // between icon and text
    QMargins padding;
    std::optional<QColor> fill;
    std::optional<QColor> stroke;
    qreal strokeWidth = 0;
    qreal radius = 0; // large: a capsule
    QSize fixedSize;  // empty: from the content
};

// How a PillLabel draws itself: a line of text on a rounded fill with an outline.
struct PillLook
{
    QFont font;
    QColor textColor;
    QMargins padding;
    QColor fill;
    QColor stroke;
    qreal strokeWidth = 1.5;
    qreal radius = 6; // large: a capsule
};

// The system's monospaced font, `designPoints` logical pixels to the em at the usual 96 dpi.
[[nodiscard]] QFont mono(qreal designPoints, QFont::Weight weight = QFont::Normal);

// The pixel size of an icon that stands beside text of `designPoints`, scaled as mono()
// scales its text.
[[nodiscard]] int pointsToPixels(qreal designPoints);

// A rounded rectangle whose corners ease into the straight edges instead of being circular
// arcs. The radius is clamped to half the shorter side; at that size the shape is a capsule.
[[nodiscard]] QPainterPath continuousRoundedRect(const QRectF &rect, qreal radius);

// The card view's rounded outline within `bounds`. The popup clips itself to it, and the sync
// panel laid over the view clips its backdrop to it.
[[nodiscard]] QPainterPath cardShape(const QRectF &bounds);
inline constexpr qreal cardCornerRadius = 14;
inline constexpr qreal cardOutlineWidth = 2;

// One of the bundled icons ("chevron-left", "chevron-right", "plus", "pin", "pin-fill",
// "trash", "ellipsis-circle") drawn in `color`, `size` logical pixels square, for a screen
// of the given device pixel ratio.
[[nodiscard]] QPixmap icon(const QString &name, int size, const QColor &color,
                           qreal devicePixelRatio);

// `color` with its opacity multiplied by `opacity`.
[[nodiscard]] QColor withOpacity(QColor color, qreal opacity);

// What assistive technology reads for `widget`.
void describe(QWidget *widget, const QString &name, const QString &description);

// The looks of the card view.
[[nodiscard]] ButtonLook chevronLook(const QString &iconName); // previous and next
[[nodiscard]] PillLook counterBadgeLook();
[[nodiscard]] ButtonLook newButtonLook();
[[nodiscard]] ButtonLook tagChipLook(bool isAllChip, bool selected);
[[nodiscard]] ButtonLook pinButtonLook(bool pinned);
[[nodiscard]] ButtonLook checklistButtonLook();
[[nodiscard]] ButtonLook copyButtonLook();
[[nodiscard]] ButtonLook deleteButtonLook();
[[nodiscard]] ButtonLook actionsButtonLook();
[[nodiscard]] PillLook toastLook();

// The looks of the panels laid over the card view (Vault Sync, Restore from Backup): a
// paper card with an ink outline on a dimmed backdrop, casting a soft shadow.
inline constexpr qreal panelCardRadius = 12;
inline constexpr qreal panelOutlineWidth = 2;
inline constexpr qreal panelBackdropOpacity = 0.22;
inline constexpr qreal panelShadowOffsetY = 4;
// The shadow of a panel card of `cardSize`: its shape in ink, blurred, for a screen of the
// given device pixel ratio. Larger than the card by the same margin on every side; drawn
// panelShadowOffsetY lower than the card.
[[nodiscard]] QImage panelShadow(const QSize &cardSize, qreal devicePixelRatio);
[[nodiscard]] ButtonLook panelTextButtonLook(); // Copy Code and Close
[[nodiscard]] ButtonLook syncNowButtonLook();
// One backup in the list of Restore from Backup.
[[nodiscard]] ButtonLook backupButtonLook();

} // namespace CardStyle
