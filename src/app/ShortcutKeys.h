#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

// Key combinations as the Linux desktops write them in their settings ("<Primary><Alt>space",
// "<Control><Alt>Space" and "<Ctrl><Mod1>space" are one combination) and as the user reads
// them ("Ctrl+Alt+Space").
namespace ShortcutKeys {

// One combination in a form that compares equal for every spelling of it: the modifiers in
// a fixed order, then the key, lower case ("ctrl+alt+space"). Empty for an empty binding.
[[nodiscard]] QString normalized(QStringView accelerator);

// The user's name for a normalized combination: "Ctrl+Alt+Space".
[[nodiscard]] QString displayName(const QString &normal);

// The combinations Pinlark offers in place of Alt+Space, best first, as GTK writes them.
[[nodiscard]] QStringList candidates();

// The first candidate whose combination is not in `taken` (normalized), or empty.
[[nodiscard]] QString firstFree(const QStringList &taken);

// Whether a shortcut's command is Pinlark's toggle, run by name or by path.
[[nodiscard]] bool isToggleCommand(QStringView command);

// Every string literal in a GVariant's text as gsettings prints it: "['a', 'b']" gives a
// and b, "'a'" gives a, "@as []" none.
[[nodiscard]] QStringList gvariantStrings(QStringView text);
// A string as a GVariant literal for gsettings set.
[[nodiscard]] QString gvariantString(const QString &value);
[[nodiscard]] QString gvariantStringList(const QStringList &values);

} // namespace ShortcutKeys
