#pragma once

#include "app/SettingsTool.h"
#include "store/ShortcutSetup.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// A custom keyboard shortcut in GSettings, written with `gsettings`, where GNOME (and Budgie
// and Unity, which share its schema) and Cinnamon keep theirs: a list of entries in one key,
// and each entry a relocatable schema at a path of its own holding a name, a command and a
// binding.
//
// Before it chooses, it reads every keybinding the installed keybinding schemas hold (the
// window manager's, the shell's, the media keys', each custom entry's), so it takes only a
// combination nobody uses. The entry is written first and added to the list last: until the
// list holds it, the desktop does not see it, and a failure on the way resets what was
// written. Everything is read back at the end: without dconf-service on the session bus,
// gsettings exits 0 having written nothing.
class GSettingsShortcutSetup final : public QObject, public ShortcutSetup
{
    Q_OBJECT

public:
    struct Layout
    {
        QString listSchema;       // the schema of the key that lists the entries
        QString listKey;          // that key
        QString entrySchema;      // the relocatable schema of one entry
        QString entryFolder;      // where the entries' paths are, ending in "/"
        bool listHoldsPaths;      // entries listed by path (GNOME), else by name (Cinnamon)
        bool bindingIsList;       // the binding is a string array (Cinnamon), else a string
        QString desktopName;      // for messages: "GNOME"
        QStringList bindingHints; // schema ids holding keybindings contain one of these
    };
    [[nodiscard]] static Layout gnome();
    [[nodiscard]] static Layout cinnamon();

    // `command`: what the shortcut runs. `gsettings`: the tool, by name or path.
    GSettingsShortcutSetup(Layout layout, QString command,
                           QString gsettings = QStringLiteral("gsettings"),
                           QObject *parent = nullptr);
    ~GSettingsShortcutSetup() override;
    Q_DISABLE_COPY_MOVE(GSettingsShortcutSetup)

    void setUp(Completion done) override;

private:
    struct Run;
    void readEverything();
    void readEntry(qsizetype index);
    void choose();
    void write(qsizetype step);
    void verify();
    void fail(const QString &why, bool undo);
    void succeed();

    [[nodiscard]] QString entryPath(const QString &listed) const;
    [[nodiscard]] QString entrySchemaAt(const QString &path) const;

    Layout m_layout;
    QString m_command;
    std::unique_ptr<SettingsTool> m_tool;
    std::unique_ptr<Run> m_run;
};
