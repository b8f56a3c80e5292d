#pragma once

#include "store/Workspace.h"

#include <QDBusConnection>

// Opens things through the desktop: URLs with the user's default application, and a file
// selected in its folder through the freedesktop FileManager1 interface on the session bus.
// Nothing here waits on another process.
class DesktopWorkspace final : public Workspace
{
public:
    // `bus`: where the file manager is asked; the session bus unless a test says otherwise.
    explicit DesktopWorkspace(QDBusConnection bus = QDBusConnection::sessionBus());
    Q_DISABLE_COPY_MOVE(DesktopWorkspace)

    void openUrl(const QUrl &url) override;
    // Where no file manager answers (no session bus, no such service, an error reply), the
    // file's folder is opened instead, without the selection.
    void showFileInFolder(const QUrl &file) override;

private:
    QDBusConnection m_bus;
};
