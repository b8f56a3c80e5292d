#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>

#include <cstdint>

class QDBusServiceWatcher;
class QSocketNotifier;
struct xcb_connection_t;

// Tells when a tray is there to hold the icon: a StatusNotifierItem host on the session bus, or
// an XEmbed system tray on the X display. At login the panel often starts after Pinlark.
//
// Qt asks once whether a D-Bus tray exists, the first time a QSystemTrayIcon is made or
// QSystemTrayIcon::isSystemTrayAvailable() is called, and keeps the answer for the whole run.
// So the app must not touch Qt's tray before this says a tray is there; the question here is
// the one Qt asks (the watcher's IsStatusNotifierHostRegistered), so the two agree.
//
// Nothing here waits on the GUI thread: the bus is asked asynchronously, and the X display is
// read on a connection of this class's own when its socket is readable. That connection
// selects the root window's structure events for itself: an event mask belongs to one
// client, so the one Qt's connection set stays as it was.
class TrayHostWatcher final : public QObject
{
    Q_OBJECT

public:
    // `bus`: where a panel's StatusNotifierWatcher lives. `watchX11`: also watch the default X
    // display (DISPLAY) for the system tray selection of its default screen.
    TrayHostWatcher(const QDBusConnection &bus, bool watchX11, QObject *parent = nullptr);
    ~TrayHostWatcher() override;
    Q_DISABLE_COPY_MOVE(TrayHostWatcher)

    // Asks whether a tray is there now and starts watching for one. Where the X display
    // answers at once, trayAppeared() may come from inside this call.
    void start();
    [[nodiscard]] bool isTrayPresent() const { return m_present; }

signals:
    // Once, when a tray is first seen; the watching ends there.
    void trayAppeared();

private slots:
    void askStatusNotifierHost();

private:
    void startX11();
    void readX11();
    void handleX11Replies(bool &progressed);
    void stopX11();
    void report();

    QDBusConnection m_bus;
    bool m_watchX11;
    bool m_present = false;
    QPointer<QDBusServiceWatcher> m_serviceWatcher;

    xcb_connection_t *m_x11 = nullptr;
    QSocketNotifier *m_x11Notifier = nullptr;
    std::uint32_t m_x11Root = 0;
    unsigned int m_selectionAtomRequest = 0;
    unsigned int m_managerAtomRequest = 0;
    unsigned int m_ownerRequest = 0;
    std::uint32_t m_selectionAtom = 0;
    std::uint32_t m_managerAtom = 0;
};
