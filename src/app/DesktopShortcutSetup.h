#pragma once

#include "store/ShortcutSetup.h"

#include <QObject>
#include <QString>
#include <QStringView>

#include <memory>

// The command a desktop shortcut runs to open Pinlark: "pinlark --toggle" where `pinlark`
// on PATH is found (an installed Pinlark: the shortcut then survives a reinstall in another
// folder and follows an upgrade), else the running binary by its absolute path (a build
// folder), quoted for the desktops' shell-like parsing where it needs quotes.
[[nodiscard]] QString toggleCommand();

// The setup for the first desktop in `currentDesktop` (XDG_CURRENT_DESKTOP, a colon-separated
// list) whose settings Pinlark knows: GNOME, Budgie and Unity (GNOME's media-keys schema),
// Cinnamon, Xfce. None elsewhere; KDE Plasma would take a backend of its own, through the
// GlobalShortcuts portal.
[[nodiscard]] std::unique_ptr<ShortcutSetup> makeShortcutSetup(QStringView currentDesktop,
                                                               const QString &command);
