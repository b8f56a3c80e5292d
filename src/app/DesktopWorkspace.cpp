#include "app/DesktopWorkspace.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

void openFolderOf(const QUrl &file)
{
    const QUrl folder = file.isLocalFile()
                            ? QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath())
                            : file.adjusted(QUrl::RemoveFilename);
    QDesktopServices::openUrl(folder);
}

} // namespace

DesktopWorkspace::DesktopWorkspace(QDBusConnection bus)
    : m_bus(std::move(bus))
{}

void DesktopWorkspace::openUrl(const QUrl &url)
{
    QDesktopServices::openUrl(url);
}

void DesktopWorkspace::showFileInFolder(const QUrl &file)
{
    // A call on a bus that never connected is not answered, not even with an error.
    if (!m_bus.isConnected()) {
        openFolderOf(file);
        return;
    }

    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.FileManager1"_s, u"/org/freedesktop/FileManager1"_s,
        u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    // No startup notification id: the file manager raises its window on its own terms.
    call << QStringList{file.toString(QUrl::FullyEncoded)} << QString();

    // No such service, an error reply, the bus going away or the call timing out all end in
    // an error here, and in the same fallback.
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [file](QDBusPendingCallWatcher *finished) {
                         if (finished->isError())
                             openFolderOf(file);
                         finished->deleteLater();
                     });
}
