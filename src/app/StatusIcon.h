#pragma once

#include <QColor>
#include <QIcon>

class QPainter;

// The tray icon. An icon theme may provide "plk-menubar" (the package installs one); where
// none does, a card with three text lines is drawn in code. The drawing is vector work done
// at whatever size and scale the tray asks for, so it stays sharp at every scale factor, and
// it is stroked in the palette's text colour at the moment it is painted, so it follows the
// panel from light to dark.
namespace StatusIcon {

inline constexpr char16_t themeName[] = u"plk-menubar";
// The drawing's own grid, in device-independent pixels.
inline constexpr int gridSize = 18;

// The theme's icon when the theme has one, else the drawn card.
[[nodiscard]] QIcon icon();
// The drawn card alone, stroked in the application palette's text colour.
[[nodiscard]] QIcon drawnIcon();
// Strokes the card into `target` (scaled from the 18 x 18 grid) in `ink`.
void paintCard(QPainter &painter, const QRectF &target, const QColor &ink);

} // namespace StatusIcon
