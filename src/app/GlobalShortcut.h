#pragma once

#include <QObject>

// A key combination that toggles the popup from any application. Each desktop offers its own
// way to listen for one (a key grab on X11, the desktop portal on Wayland); the app holds
// whichever ones it could set up for the whole run.
class GlobalShortcut : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    Q_DISABLE_COPY_MOVE(GlobalShortcut)

signals:
    // The combination was pressed while another application had the keyboard. Emitted on the
    // GUI thread, from the event loop, never from inside the call that set the shortcut up.
    void activated();
};
