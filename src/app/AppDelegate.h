#pragma once

#include "store/PinlarkStore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

class AltSpaceFallback;
class CanberraSoundPlayer;
class DesktopWorkspace;
class FileDialogSaveDialog;
class PinlarkCardView;
class PopupWindow;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class ShortcutSetup;
class SystemClipboard;
class TrayHostWatcher;
class Workspace;

// Owns everything that lives for the whole run: the one store, the tray icon, the popup with
// the card view, and the key monitors that open it from anywhere.
class AppDelegate final : public QObject
{
    Q_OBJECT

public:
    // The entry point: one Pinlark per notes folder, then the tray and the event loop.
    static int main(int argc, char *argv[]);

    // Creates the store, which reads the notes file. The desktop services that `environment`
    // leaves empty are the real ones.
    explicit AppDelegate(PinlarkStore::Environment environment = {}, QObject *parent = nullptr);
    ~AppDelegate() override;
    Q_DISABLE_COPY_MOVE(AppDelegate)

    // A click on the tray icon that comes this soon after the popup closed itself (because a
    // click went elsewhere) is taken as part of that same click: a click on the icon while the
    // popup is open must close it, even where the panel takes the focus first. Keys and
    // `pinlark --toggle` are never part of a click and always toggle.
    static constexpr int reopenGuardMs = 250;
    void setReopenGuard(int milliseconds) { m_reopenGuardMs = milliseconds; }

    // How long launch waits for a tray to appear before it opens the popup instead.
    static constexpr int trayWaitMs = 2000;
    void setTrayWait(int milliseconds) { m_trayWaitMs = milliseconds; }

    // Builds the popup, installs the key monitors and watches for a tray, which gets the icon
    // whenever it appears, at launch or later. Where no tray appears within trayWaitMs, the
    // popup opens: until one does, it is the only way in.
    void applicationDidFinishLaunching();
    // Writes a pending save before the process ends.
    void applicationWillTerminate();
    // Quit Pinlark and the end of the session: saves at once, then leaves the store its last
    // sync, for quitWaitMs at most, and then announces readyToQuit, once. Asked again meanwhile,
    // it only saves again.
    void quit();

    // The tray icon's action.
    void statusItemClicked();
    // Opens the popup if it is closed (under the tray icon, or at the pointer where the tray
    // does not say where its icon is) and closes it if it is open.
    void togglePopover();

    [[nodiscard]] PinlarkStore &store() { return *m_store; }
    // Null until a tray is there to hold the icon.
    [[nodiscard]] QSystemTrayIcon *statusItem() const { return m_statusItem; }
    [[nodiscard]] PopupWindow *popover() const { return m_popover; }
    [[nodiscard]] PinlarkCardView *cardView() const { return m_cardView; }
    [[nodiscard]] const std::vector<std::unique_ptr<QObject>> &globalHotkeyMonitors() const
    {
        return m_globalHotkeyMonitors;
    }

signals:
    // The app may end now: the notes are saved and the last sync is over or given up on.
    void readyToQuit();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showStatusItem();
    void configureStatusIcon();
    void openUnlessTrayAppears();
    void setupGlobalShortcut();
    // Alt+Space could not be had from anywhere: tells the user, once a run.
    void altSpaceUnavailable(const QString &reason);
    void handleEscape();
    void focusEditor();
    [[nodiscard]] QRect popoverAnchor() const;

    std::unique_ptr<CanberraSoundPlayer> m_sounds;
    std::unique_ptr<FileDialogSaveDialog> m_saveDialog;
    std::unique_ptr<DesktopWorkspace> m_workspace;
    std::unique_ptr<SystemClipboard> m_clipboard;
    std::unique_ptr<ShortcutSetup> m_shortcutSetup;
    std::unique_ptr<AltSpaceFallback> m_altSpaceFallback;
    std::unique_ptr<PinlarkStore> m_store;
    Workspace *m_workspaceForView = nullptr;

    QSystemTrayIcon *m_statusItem = nullptr;
    QMenu *m_statusMenu = nullptr;
    PopupWindow *m_popover = nullptr;
    PinlarkCardView *m_cardView = nullptr;
    std::vector<std::unique_ptr<QObject>> m_globalHotkeyMonitors;
    QElapsedTimer m_sinceTransientClose;
    int m_reopenGuardMs = reopenGuardMs;
    int m_trayWaitMs = trayWaitMs;
    QPointer<QTimer> m_trayWait;
    std::unique_ptr<TrayHostWatcher> m_trayHosts;
    bool m_quitting = false;
};
