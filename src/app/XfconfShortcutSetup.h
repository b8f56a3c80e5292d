#pragma once

#include "app/SettingsTool.h"
#include "store/ShortcutSetup.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A command shortcut in Xfce's xfconf channel xfce4-keyboard-shortcuts, written with
// `xfconf-query`: the property /commands/custom/<combination> holds the command. One write
// makes the whole entry, so a failure leaves none. Before it chooses, it reads every property
// of the channel, the window manager's bindings and the commands', custom and default, and
// takes only a combination none of them names; a command property that already runs
// Pinlark's toggle is reused. Where Xfce has not yet copied its default commands to the custom
// folder (a new account), the copy is made first, as Xfce makes it, so that no default
// shortcut is lost. The written value is read back, since a write that reached no xfconfd
// must not pass for one.
class XfconfShortcutSetup final : public QObject, public ShortcutSetup
{
    Q_OBJECT

public:
    static inline const QString channel = QStringLiteral("xfce4-keyboard-shortcuts");

    XfconfShortcutSetup(QString command, QString xfconfQuery = QStringLiteral("xfconf-query"),
                        QObject *parent = nullptr);
    ~XfconfShortcutSetup() override;
    Q_DISABLE_COPY_MOVE(XfconfShortcutSetup)

    void setUp(Completion done) override;

private:
    void chooseAndWrite(const QString &listing);
    // Runs each xfconf-query in turn; `then` once all succeeded, else finishes with the error.
    void writeAll(QList<QStringList> writes, std::function<void()> then);
    void finish(const Result<QString> &keys);

    QString m_command;
    std::unique_ptr<SettingsTool> m_tool;
    Completion m_done;
};
