#include "CanberraSoundPlayer.h"
#include "DesktopWorkspace.h"
#include "FileDialogSaveDialog.h"
#include "PinlarkCardView.h"
#include "PinlarkStore.h"
#include "SystemClipboard.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Pinlark"));
    QApplication::setApplicationName(QStringLiteral("Pinlark"));
    QApplication::setDesktopFileName(QStringLiteral("app.pinlark.Pinlark"));

    CanberraSoundPlayer sounds;
    FileDialogSaveDialog saveDialog;
    DesktopWorkspace workspace;
    SystemClipboard clipboard;

    PinlarkStore::Environment environment;
    environment.sounds = &sounds;
    environment.saveDialog = &saveDialog;
    environment.workspace = &workspace;
    PinlarkStore store(environment);

    PinlarkCardView::Services services;
    services.clipboard = &clipboard;
    services.workspace = &workspace;
    // Until the tray icon exists, the card view is the app's one plain window.
    PinlarkCardView view(store, services);
    view.setWindowTitle(QStringLiteral("Pinlark"));
    view.resize(PinlarkCardView::viewWidth, 430);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &store,
                     &PinlarkStore::saveNotesImmediately);
    view.show();
    view.raise();
    view.activateWindow();
    return QApplication::exec();
}
