#include "app/DesktopShortcutSetup.h"

#include "app/GSettingsShortcutSetup.h"
#include "app/XfconfShortcutSetup.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

QString toggleCommand()
{
    if (!QStandardPaths::findExecutable(u"pinlark"_s).isEmpty())
        return u"pinlark --toggle"_s;
    QString program = QCoreApplication::applicationFilePath();
    static const QRegularExpression plain(u"^[A-Za-z0-9_./+-]+$"_s);
    if (!plain.match(program).hasMatch())
        program = u'\'' + program.replace(u"'"_s, u"'\\''"_s) + u'\'';
    return program + u" --toggle"_s;
}

bool isKdeDesktop(QStringView currentDesktop)
{
    for (const QStringView name : currentDesktop.split(u':', Qt::SkipEmptyParts)) {
        if (name.trimmed().compare(u"KDE", Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

std::unique_ptr<ShortcutSetup> makeShortcutSetup(QStringView currentDesktop, const QString &command)
{
    for (const QStringView name : currentDesktop.split(u':', Qt::SkipEmptyParts)) {
        const QString desktop = name.trimmed().toString().toLower();
        if (desktop == u"gnome" || desktop == u"gnome-flashback" || desktop == u"gnome-classic" ||
            desktop == u"budgie" || desktop == u"unity")
            return std::make_unique<GSettingsShortcutSetup>(GSettingsShortcutSetup::gnome(),
                                                            command);
        if (desktop == u"x-cinnamon" || desktop == u"cinnamon")
            return std::make_unique<GSettingsShortcutSetup>(GSettingsShortcutSetup::cinnamon(),
                                                            command);
        if (desktop == u"xfce")
            return std::make_unique<XfconfShortcutSetup>(command);
    }
    return nullptr;
}
