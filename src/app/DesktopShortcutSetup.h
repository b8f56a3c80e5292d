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
// Cinnamon, Xfce. None elsewhere; KDE Plasma has its own, through the portal, which the app
// makes since it hands the bound shortcut to the app.
// Whether `currentDesktop` (XDG_CURRENT_DESKTOP) names KDE Plasma, whose shortcuts an
// application reaches through the GlobalShortcuts portal (PortalShortcutSetup).
[[nodiscard]] bool isKdeDesktop(QStringView currentDesktop);

[[nodiscard]] std::unique_ptr<ShortcutSetup> makeShortcutSetup(QStringView currentDesktop,
                                                               const QString &command);
