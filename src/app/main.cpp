#include "CanberraSoundPlayer.h"
#include "PinlarkStore.h"
#include "PlainCardWindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Pinlark"));
    QApplication::setApplicationName(QStringLiteral("Pinlark"));
    QApplication::setDesktopFileName(QStringLiteral("app.pinlark.Pinlark"));

    CanberraSoundPlayer sounds;
    PinlarkStore::Environment environment;
    environment.sounds = &sounds;
    PinlarkStore store(environment);
    PlainCardWindow window(store);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &store,
                     &PinlarkStore::saveNotesImmediately);
    window.show();
    window.raise();
    window.activateWindow();
    return QApplication::exec();
}
