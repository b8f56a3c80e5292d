#pragma once

#include <QColor>
#include <QIcon>

class QPainter;

// The tray icon. An icon theme may provide "plk-menubar" (the package installs one); where
// none does, the same picture is drawn in code: a pale yellow card with three text lines in
// dark ink. The drawing is vector work done at whatever size and scale the tray asks for, so
// it stays sharp at every scale factor. Its colours are its own, never the palette's: the
// application's palette says nothing about the panel's colour, and the yellow fill carries the
// shape on a dark panel as the dark outline does on a light one.
namespace StatusIcon {

inline constexpr char16_t themeName[] = u"plk-menubar";
// The drawing's own grid, in device-independent pixels.
inline constexpr int gridSize = 18;

// The theme's icon when the theme has one, else the drawn card.
[[nodiscard]] QIcon icon();
// The installed icon's colours.
inline constexpr QColor cardFill{0xfe, 0xf0, 0x8a};
inline constexpr QColor cardInk{0x1e, 0x17, 0x14};

// The drawn card alone.
[[nodiscard]] QIcon drawnIcon();
// Draws the card into `target`, scaled from the 18 x 18 grid.
void paintCard(QPainter &painter, const QRectF &target);

} // namespace StatusIcon
