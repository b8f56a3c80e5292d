#include "app/GSettingsShortcutSetup.h"
#include "app/XfconfShortcutSetup.h"
#include "tests/support/PrivateBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString dconfService = u"/usr/libexec/dconf-service"_s;
const QString xfconfd = u"/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"_s;
const QString gnomeList = u"org.gnome.settings-daemon.plugins.media-keys"_s;
const QString gnomeEntry = u"org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:"_s;
const QString gnomeFolder = u"/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/"_s;
const QString cinnamonList = u"org.cinnamon.desktop.keybindings"_s;
const QString cinnamonEntry = u"org.cinnamon.desktop.keybindings.custom-keybinding:"_s;
const QString cinnamonFolder = u"/org/cinnamon/desktop/keybindings/custom-keybindings/"_s;
const QString xfceChannel = u"xfce4-keyboard-shortcuts"_s;
const QString command = u"pinlark --toggle"_s;

} // namespace

// The real settings of the desktops: gsettings over dconf-service, xfconf-query over xfconfd,
// each service started by hand on a private bus, with a home and configuration folder of the
// test's own that the services write to.
class TestShortcutSetup final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void gsettingsPicksAFreeCombination_data();
    void gsettingsPicksAFreeCombination();
    void gsettingsKeepsUsersEntries_data();
    void gsettingsKeepsUsersEntries();
    void gsettingsReusesItsOwnEntry_data();
    void gsettingsReusesItsOwnEntry();
    void gsettingsFailureIsReported_data();
    void gsettingsFailureIsReported();

    void xfconfPicksAFreeCombination_data();
    void xfconfPicksAFreeCombination();
    void xfconfKeepsTheDefaultShortcuts();
    void xfconfReusesItsOwnEntry();
    void xfconfFailureIsReported();

private:
    void startService(const QString &program, const QString &busName);
    [[nodiscard]] QString tool(const QString &program, const QStringList &arguments);
    [[nodiscard]] QString gsettings(const QStringList &arguments)
    {
        return tool(u"gsettings"_s, arguments);
    }
    [[nodiscard]] QString xfconf(const QStringList &arguments)
    {
        return tool(u"xfconf-query"_s, QStringList{u"-c"_s, xfceChannel} + arguments);
    }
    // Runs one setup to its end; none when it never answered.
    [[nodiscard]] std::optional<Result<QString>> setUp(ShortcutSetup &setup);

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<PrivateBus> m_bus;
    QList<QProcess *> m_services;
};

void TestShortcutSetup::init()
{
    if (!QFile::exists(dconfService) || !QFile::exists(xfconfd) ||
        QStandardPaths::findExecutable(u"xfconf-query"_s).isEmpty())
        QFAIL("dconf-service, xfconfd or xfconf-query is missing: ./dev deps installs them");
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    qputenv("HOME", QFile::encodeName(m_home->path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home->filePath(u"config"_s)));
    // The system's defaults, as Xfce installs them for every account (a few of them): the
    // machine's own, if any, stay out.
    const QString system = m_home->filePath(u"xdg"_s);
    const QString channels = system + u"/xfce4/xfconf/xfce-perchannel-xml"_s;
    QVERIFY(QDir().mkpath(channels));
    QFile defaults(channels + u"/xfce4-keyboard-shortcuts.xml"_s);
    QVERIFY(defaults.open(QIODevice::WriteOnly));
    defaults.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-keyboard-shortcuts" version="1.0">
  <property name="commands" type="empty">
    <property name="default" type="empty">
      <property name="&lt;Alt&gt;F2" type="string" value="xfce4-appfinder --collapsed">
        <property name="startup-notify" type="bool" value="true"/>
      </property>
      <property name="&lt;Primary&gt;&lt;Alt&gt;t" type="string" value="exo-open --launch TerminalEmulator"/>
      <property name="&lt;Super&gt;p" type="string" value="xfce4-display-settings --minimal"/>
    </property>
  </property>
</channel>
)");
    defaults.close();
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(system));
    m_bus = std::make_unique<PrivateBus>();
    const Result<void> started = m_bus->start();
    QVERIFY2(started.ok(), qPrintable(started.ok() ? QString() : started.error()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
}

void TestShortcutSetup::cleanup()
{
    for (QProcess *service : std::as_const(m_services)) {
        service->terminate();
        if (!service->waitForFinished(5000)) {
            service->kill();
            service->waitForFinished();
        }
        delete service;
    }
    m_services.clear();
    m_bus.reset();
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    m_home.reset();
}

void TestShortcutSetup::startService(const QString &program, const QString &busName)
{
    auto *service = new QProcess;
    m_services.append(service);
    service->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service->start(program, {});
    QVERIFY(service->waitForStarted());
    const QString connection = u"shortcut-setup-check"_s;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(m_bus->address(), connection);
        QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(busName), 20000);
    }
    QDBusConnection::disconnectFromBus(connection);
}

QString TestShortcutSetup::tool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return u"FAILED: "_s + QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

std::optional<Result<QString>> TestShortcutSetup::setUp(ShortcutSetup &setup)
{
    std::optional<Result<QString>> answer;
    bool early = true;
    int calls = 0;
    setup.setUp([&](const Result<QString> &keys) {
        answer = keys;
        ++calls;
        if (early)
            answer = Result<QString>::failure(u"answered inside setUp()"_s);
    });
    early = false;
    if (!QTest::qWaitFor([&] { return answer.has_value(); }, 30000))
        return std::nullopt;
    QTest::qWait(50);
    if (calls != 1)
        return Result<QString>::failure(u"answered more than once"_s);
    return answer;
}

// GSettings: GNOME's layout and Cinnamon's, which lists names and binds string arrays.

namespace {

struct GLayout
{
    GSettingsShortcutSetup::Layout layout;
    QString list;
    QString listKey;
    QString entry;
    QString folder;
};

GLayout gnomeLayout()
{
    return {GSettingsShortcutSetup::gnome(), gnomeList, u"custom-keybindings"_s, gnomeEntry,
            gnomeFolder};
}

GLayout cinnamonLayout()
{
    return {GSettingsShortcutSetup::cinnamon(), cinnamonList, u"custom-list"_s, cinnamonEntry,
            cinnamonFolder};
}

void addLayoutRows(const char *name, const QStringList &presets, const QString &keys)
{
    QTest::addRow("gnome %s", name) << true << presets << keys;
    QTest::addRow("cinnamon %s", name) << false << presets << keys;
}

} // namespace

void TestShortcutSetup::gsettingsPicksAFreeCombination_data()
{
    QTest::addColumn<bool>("gnome");
    // "schema key value" lines the user set before, with ENTRY standing for the layout's
    // custom-keybinding schema and FOLDER for its folder.
    QTest::addColumn<QStringList>("presets");
    QTest::addColumn<QString>("keys");
    addLayoutRows("clean desktop", {}, u"Ctrl+Alt+Space"_s);
    // The window manager's own schema, written as GNOME's settings panel writes it.
    QTest::addRow("gnome wm binds Ctrl+Alt+Space")
        << true
        << QStringList{u"org.gnome.desktop.wm.keybindings|switch-to-workspace-1|['<Control><Alt>Space']"_s}
        << u"Shift+Alt+Space"_s;
    QTest::addRow("cinnamon wm binds Ctrl+Alt+Space")
        << false
        << QStringList{u"org.cinnamon.desktop.keybindings.wm|switch-to-workspace-1|['<Primary><Alt>space']"_s}
        << u"Shift+Alt+Space"_s;
    QTest::addRow("gnome media key and shell")
        << true
        << QStringList{u"org.gnome.settings-daemon.plugins.media-keys|screensaver|['<Ctrl><Alt>space']"_s,
                       u"org.gnome.desktop.wm.keybindings|minimize|['<Shift><Mod1>space']"_s}
        << u"Ctrl+Super+Space"_s;
}

void TestShortcutSetup::gsettingsPicksAFreeCombination()
{
    QFETCH(bool, gnome);
    QFETCH(QStringList, presets);
    QFETCH(QString, keys);
    startService(dconfService, u"ca.desrt.dconf"_s);
    const GLayout layout = gnome ? gnomeLayout() : cinnamonLayout();
    QStringList before;
    for (const QString &preset : std::as_const(presets)) {
        const QStringList fields = preset.split(u'|');
        QCOMPARE(gsettings({u"set"_s, fields[0], fields[1], fields[2]}), QString());
        before.append(gsettings({u"get"_s, fields[0], fields[1]}));
    }

    GSettingsShortcutSetup setup(layout.layout, command);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer);
    QVERIFY2(answer->ok(), qPrintable(answer->ok() ? QString() : answer->error()));
    QCOMPARE(answer->value(), keys);

    const QString listed =
        layout.layout.listHoldsPaths ? layout.folder + u"pinlark/"_s : u"pinlark"_s;
    QCOMPARE(gsettings({u"get"_s, layout.list, layout.listKey}), u"['"_s + listed + u"']"_s);
    const QString entry = layout.entry + layout.folder + u"pinlark/"_s;
    QCOMPARE(gsettings({u"get"_s, entry, u"name"_s}), u"'Pinlark'"_s);
    QCOMPARE(gsettings({u"get"_s, entry, u"command"_s}), u"'pinlark --toggle'"_s);
    const QString written = gsettings({u"get"_s, entry, u"binding"_s});
    const QString expected =
        keys == u"Ctrl+Alt+Space"
            ? u"<Primary><Alt>space"_s
            : (keys == u"Shift+Alt+Space" ? u"<Shift><Alt>space"_s : u"<Primary><Super>space"_s);
    QCOMPARE(written,
             gnome ? QString(u'\'' + expected + u'\'') : QString(u"['"_s + expected + u"']"_s));
    // The user's bindings are as they were.
    for (qsizetype index = 0; index < presets.size(); ++index) {
        const QStringList fields = presets.at(index).split(u'|');
        QCOMPARE(gsettings({u"get"_s, fields[0], fields[1]}), before.at(index));
    }
}

void TestShortcutSetup::gsettingsKeepsUsersEntries_data()
{
    QTest::addColumn<bool>("gnome");
    QTest::addRow("gnome") << true;
    QTest::addRow("cinnamon") << false;
}

void TestShortcutSetup::gsettingsKeepsUsersEntries()
{
    // Two custom entries of the user's: one on Ctrl+Alt+Space, one that happens to live in
    // the folder Pinlark would pick. Both stay, listed first; Pinlark takes the next free
    // combination in a folder of its own.
    QFETCH(bool, gnome);
    startService(dconfService, u"ca.desrt.dconf"_s);
    const GLayout layout = gnome ? gnomeLayout() : cinnamonLayout();
    const auto listName = [&](const QString &folder) {
        return layout.layout.listHoldsPaths ? layout.folder + folder + u'/' : folder;
    };
    const auto bindingValue = [&](const QString &binding) -> QString {
        return gnome ? QString(u'\'' + binding + u'\'') : QString(u"['"_s + binding + u"']"_s);
    };
    const QString terminal = layout.entry + layout.folder + u"custom0/"_s;
    const QString mine = layout.entry + layout.folder + u"pinlark/"_s;
    QCOMPARE(gsettings({u"set"_s, terminal, u"name"_s, u"'Terminal'"_s}), QString());
    QCOMPARE(gsettings({u"set"_s, terminal, u"command"_s, u"'xterm'"_s}), QString());
    QCOMPARE(gsettings({u"set"_s, terminal, u"binding"_s, bindingValue(u"<Control><Alt>space"_s)}),
             QString());
    QCOMPARE(gsettings({u"set"_s, mine, u"name"_s, u"'Mine'"_s}), QString());
    QCOMPARE(gsettings({u"set"_s, mine, u"command"_s, u"'pinlark-notes'"_s}), QString());
    QCOMPARE(gsettings({u"set"_s, mine, u"binding"_s, bindingValue(u"<Super>n"_s)}), QString());
    const QString userList =
        u"['"_s + listName(u"custom0"_s) + u"', '"_s + listName(u"pinlark"_s) + u"']"_s;
    QCOMPARE(gsettings({u"set"_s, layout.list, layout.listKey, userList}), QString());

    GSettingsShortcutSetup setup(layout.layout, command);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer && answer->ok());
    QCOMPARE(answer->value(), u"Shift+Alt+Space"_s);

    QCOMPARE(gsettings({u"get"_s, layout.list, layout.listKey}),
             userList.chopped(1) + u", '"_s + listName(u"pinlark2"_s) + u"']"_s);
    QCOMPARE(gsettings({u"get"_s, terminal, u"binding"_s}), bindingValue(u"<Control><Alt>space"_s));
    QCOMPARE(gsettings({u"get"_s, mine, u"name"_s}), u"'Mine'"_s);
    QCOMPARE(gsettings({u"get"_s, mine, u"command"_s}), u"'pinlark-notes'"_s);
    const QString ours = layout.entry + layout.folder + u"pinlark2/"_s;
    QCOMPARE(gsettings({u"get"_s, ours, u"command"_s}), u"'pinlark --toggle'"_s);
    QCOMPARE(gsettings({u"get"_s, ours, u"binding"_s}), bindingValue(u"<Shift><Alt>space"_s));
}

void TestShortcutSetup::gsettingsReusesItsOwnEntry_data()
{
    QTest::addColumn<bool>("gnome");
    QTest::addRow("gnome") << true;
    QTest::addRow("cinnamon") << false;
}

void TestShortcutSetup::gsettingsReusesItsOwnEntry()
{
    QFETCH(bool, gnome);
    startService(dconfService, u"ca.desrt.dconf"_s);
    const GLayout layout = gnome ? gnomeLayout() : cinnamonLayout();
    GSettingsShortcutSetup setup(layout.layout, command);
    const std::optional<Result<QString>> first = setUp(setup);
    QVERIFY(first && first->ok());
    const QString listAfterFirst = gsettings({u"get"_s, layout.list, layout.listKey});

    // A second setup, even with its own binding counted, keeps the one entry and its keys.
    const std::optional<Result<QString>> second = setUp(setup);
    QVERIFY(second && second->ok());
    QCOMPARE(second->value(), u"Ctrl+Alt+Space"_s);
    QCOMPARE(gsettings({u"get"_s, layout.list, layout.listKey}), listAfterFirst);
    QCOMPARE(listAfterFirst.count(u"pinlark"_s), 1);

    // Once someone else takes its combination, the same entry moves to the next free one.
    QCOMPARE(gsettings({u"set"_s,
                        gnome ? u"org.gnome.desktop.wm.keybindings"_s
                              : u"org.cinnamon.desktop.keybindings.wm"_s,
                        u"switch-to-workspace-1"_s, u"['<Primary><Alt>space']"_s}),
             QString());
    const std::optional<Result<QString>> third = setUp(setup);
    QVERIFY(third && third->ok());
    QCOMPARE(third->value(), u"Shift+Alt+Space"_s);
    QCOMPARE(gsettings({u"get"_s, layout.list, layout.listKey}), listAfterFirst);
}

void TestShortcutSetup::gsettingsFailureIsReported_data()
{
    QTest::addColumn<bool>("withDconf");
    QTest::addColumn<QString>("program");
    // gsettings exits 0 and writes nothing when no dconf-service is on the bus.
    QTest::addRow("no dconf-service") << false << u"gsettings"_s;
    QTest::addRow("tool missing") << true << u"/nonexistent/gsettings"_s;
    QTest::addRow("tool fails") << true << u"false"_s;
}

void TestShortcutSetup::gsettingsFailureIsReported()
{
    QFETCH(bool, withDconf);
    QFETCH(QString, program);
    if (withDconf)
        startService(dconfService, u"ca.desrt.dconf"_s);
    GSettingsShortcutSetup setup(GSettingsShortcutSetup::gnome(), command, program);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer);
    QVERIFY(!answer->ok());
    QVERIFY(!answer->error().isEmpty());
    if (!withDconf)
        startService(dconfService, u"ca.desrt.dconf"_s);
    // Nothing of Pinlark's is left behind.
    QCOMPARE(gsettings({u"get"_s, gnomeList, u"custom-keybindings"_s}), u"@as []"_s);
    QCOMPARE(gsettings({u"get"_s, gnomeEntry + gnomeFolder + u"pinlark/"_s, u"command"_s}),
             u"''"_s);
}

// xfconf

void TestShortcutSetup::xfconfPicksAFreeCombination_data()
{
    QTest::addColumn<QStringList>("presets"); // property|value
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("property");
    QTest::addRow("clean desktop")
        << QStringList{} << u"Ctrl+Alt+Space"_s << u"/commands/custom/<Primary><Alt>space"_s;
    QTest::addRow("user's command on Ctrl+Alt+Space")
        << QStringList{u"/commands/custom/<Control><Alt>space|xterm"_s,
                       u"/xfwm4/custom/<Alt>space|popup_menu_key"_s}
        << u"Shift+Alt+Space"_s << u"/commands/custom/<Shift><Alt>space"_s;
    QTest::addRow("window manager on two")
        << QStringList{u"/xfwm4/custom/<Primary><Alt>space|cycle_windows_key"_s,
                       u"/xfwm4/default/<Shift><Alt>space|raise_window_key"_s}
        << u"Ctrl+Super+Space"_s << u"/commands/custom/<Primary><Super>space"_s;
}

void TestShortcutSetup::xfconfPicksAFreeCombination()
{
    QFETCH(QStringList, presets);
    QFETCH(QString, keys);
    QFETCH(QString, property);
    startService(xfconfd, u"org.xfce.Xfconf"_s);
    for (const QString &preset : std::as_const(presets)) {
        const QStringList fields = preset.split(u'|');
        QCOMPARE(xfconf({u"-p"_s, fields[0], u"-n"_s, u"-t"_s, u"string"_s, u"-s"_s, fields[1]}),
                 QString());
    }
    XfconfShortcutSetup setup(command);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer);
    QVERIFY2(answer->ok(), qPrintable(answer->ok() ? QString() : answer->error()));
    QCOMPARE(answer->value(), keys);
    QCOMPARE(xfconf({u"-p"_s, property}), command);
    for (const QString &preset : std::as_const(presets)) {
        const QStringList fields = preset.split(u'|');
        QCOMPARE(xfconf({u"-p"_s, fields[0]}), fields[1]);
    }
    QCOMPARE(xfconf({u"-l"_s, u"-v"_s}).count(command), 1);
}

void TestShortcutSetup::xfconfKeepsTheDefaultShortcuts()
{
    // A new account: Xfce has not copied its defaults to the custom folder yet, and reads the
    // custom folder only once it has. The setup makes that copy, so no default is lost.
    startService(xfconfd, u"org.xfce.Xfconf"_s);
    XfconfShortcutSetup setup(command);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer && answer->ok());
    QCOMPARE(answer->value(), u"Ctrl+Alt+Space"_s);
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/<Primary><Alt>space"_s}), command);
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/override"_s}), u"true"_s);
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/<Super>p"_s}),
             u"xfce4-display-settings --minimal"_s);
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/<Primary><Alt>t"_s}),
             u"exo-open --launch TerminalEmulator"_s);
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/<Alt>F2"_s}), u"xfce4-appfinder --collapsed"_s);
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/<Alt>F2/startup-notify"_s}), u"true"_s);
}

void TestShortcutSetup::xfconfReusesItsOwnEntry()
{
    startService(xfconfd, u"org.xfce.Xfconf"_s);
    // An account Xfce has set up: its custom folder is the one in use.
    QCOMPARE(xfconf({u"-p"_s, u"/commands/custom/override"_s, u"-n"_s, u"-t"_s, u"bool"_s, u"-s"_s,
                     u"true"_s}),
             QString());
    const QString own = u"/commands/custom/<Super>p"_s;
    QCOMPARE(xfconf({u"-p"_s, own, u"-n"_s, u"-t"_s, u"string"_s, u"-s"_s, command}), QString());
    XfconfShortcutSetup setup(command);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer && answer->ok());
    QCOMPARE(answer->value(), u"Super+P"_s);
    QCOMPARE(xfconf({u"-l"_s, u"-v"_s}).count(command), 1);
}

void TestShortcutSetup::xfconfFailureIsReported()
{
    // No xfconfd on the bus: nothing can be written, whatever xfconf-query says.
    XfconfShortcutSetup setup(command);
    const std::optional<Result<QString>> answer = setUp(setup);
    QVERIFY(answer);
    QVERIFY(!answer->ok());
    XfconfShortcutSetup missing(command, u"/nonexistent/xfconf-query"_s);
    const std::optional<Result<QString>> notRun = setUp(missing);
    QVERIFY(notRun && !notRun->ok());
}

QTEST_GUILESS_MAIN(TestShortcutSetup)
#include "tst_shortcutsetup.moc"
