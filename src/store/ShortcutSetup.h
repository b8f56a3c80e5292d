#pragma once

#include "model/Result.h"

#include <QString>
#include <QtGlobal>

#include <functional>

// The desktop's own keyboard shortcut settings, where Pinlark can add a shortcut that runs
// `pinlark --toggle` when it cannot have Alt+Space itself. Each desktop keeps them its own
// way (GNOME and Cinnamon in GSettings, Xfce in xfconf, KDE behind the portal); one object
// talks to one of them. The work runs asynchronously: the settings tools and buses may be
// slow, and the card must stay responsive meanwhile.
class ShortcutSetup
{
public:
    ShortcutSetup() = default;
    virtual ~ShortcutSetup() = default;
    Q_DISABLE_COPY_MOVE(ShortcutSetup)

    // The keys set, the Linux way ("Ctrl+Alt+Space"), or what failed, in a short sentence
    // for the user.
    using Completion = std::function<void(const Result<QString> &keys)>;

    // Binds the command to a key combination nobody else uses, reusing Pinlark's own entry
    // where one exists and leaving every other binding as it was. `done` runs exactly once,
    // on the GUI thread, from the event loop, never from inside this call. A failure leaves
    // no entry of Pinlark's half made. Destroying the object drops a setup under way without
    // calling `done`.
    virtual void setUp(Completion done) = 0;
};
