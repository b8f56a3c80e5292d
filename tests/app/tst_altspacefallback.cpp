#include "app/AltSpaceFallback.h"
#include "store/PinlarkStore.h"
#include "tests/support/PrivateBus.h"

#include <QDBusConnection>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Stands in for a desktop's notification server on the private bus.
class FakeNotifications final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown
    {
        QString appName;
        QString summary;
        QString body;
    };
    QList<Shown> shown;

public slots:
    uint Notify(const QString &appName, uint, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &, int)
    {
        shown.append({appName, summary, body});
        return uint(shown.size());
    }
};

} // namespace

// The one reaction to Alt+Space being unavailable, whichever path found out: the stderr
// line, a notification where a server runs, and the card's notice.
class TestAltSpaceFallback final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void tellsTheUserOncePerRun_data();
    void tellsTheUserOncePerRun();
    void noticeSeenBeforeSendsNoNotification();

private:
    [[nodiscard]] std::unique_ptr<PinlarkStore> makeStore() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PrivateBus> m_bus;
    FakeNotifications m_server;
};

void TestAltSpaceFallback::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_bus = std::make_unique<PrivateBus>();
    const Result<void> started = m_bus->start();
    QVERIFY2(started.ok(), qPrintable(started.ok() ? QString() : started.error()));
    m_server.shown.clear();
}

void TestAltSpaceFallback::cleanup()
{
    QDBusConnection::disconnectFromBus(u"server"_s);
    QDBusConnection::disconnectFromBus(u"app"_s);
    m_bus.reset();
    m_dir.reset();
}

std::unique_ptr<PinlarkStore> TestAltSpaceFallback::makeStore() const
{
    PinlarkStore::Environment environment;
    environment.notesFolder = m_dir->filePath(u"notes"_s);
    environment.settingsFile = m_dir->filePath(u"settings.ini"_s);
    environment.log = [](const QString &) {};
    return std::make_unique<PinlarkStore>(environment);
}

void TestAltSpaceFallback::tellsTheUserOncePerRun_data()
{
    QTest::addColumn<bool>("serverRuns");
    QTest::addRow("notification server") << true;
    QTest::addRow("none") << false;
}

void TestAltSpaceFallback::tellsTheUserOncePerRun()
{
    QFETCH(bool, serverRuns);
    QDBusConnection server = QDBusConnection::connectToBus(m_bus->address(), u"server"_s);
    QVERIFY(server.registerObject(u"/org/freedesktop/Notifications"_s, &m_server,
                                  QDBusConnection::ExportAllSlots));
    if (serverRuns)
        QVERIFY(server.registerService(u"org.freedesktop.Notifications"_s));

    const std::unique_ptr<PinlarkStore> store = makeStore();
    QStringList lines;
    AltSpaceFallback fallback(*store, QDBusConnection::connectToBus(m_bus->address(), u"app"_s),
                              [&lines](const QString &line) { lines.append(line); });
    fallback.altSpaceUnavailable(u"another program holds Alt+Space"_s);
    fallback.altSpaceUnavailable(u"the portal refused"_s);

    QCOMPARE(lines,
             QStringList{u"Pinlark: Alt+Space works only while Pinlark is open (another program "
                         u"holds Alt+Space). Bind \"pinlark --toggle\" to a key in your "
                         u"desktop's keyboard shortcut settings to open it from anywhere."_s});
    QCOMPARE(store->shortcutNotice(), PinlarkStore::ShortcutNotice::Steps);
    if (serverRuns) {
        QTRY_COMPARE(m_server.shown.size(), 1);
        QCOMPARE(m_server.shown[0].appName, u"Pinlark"_s);
        QVERIFY(m_server.shown[0].summary.contains(u"Alt+Space"_s));
        QVERIFY(m_server.shown[0].body.contains(u"pinlark --toggle"_s));
    }
    QTest::qWait(200);
    QCOMPARE(m_server.shown.size(), serverRuns ? 1 : 0);
}

void TestAltSpaceFallback::noticeSeenBeforeSendsNoNotification()
{
    QDBusConnection server = QDBusConnection::connectToBus(m_bus->address(), u"server"_s);
    QVERIFY(server.registerObject(u"/org/freedesktop/Notifications"_s, &m_server,
                                  QDBusConnection::ExportAllSlots));
    QVERIFY(server.registerService(u"org.freedesktop.Notifications"_s));
    makeStore()->shortcutNoticeSeen();

    const std::unique_ptr<PinlarkStore> store = makeStore();
    int lines = 0;
    AltSpaceFallback fallback(*store, QDBusConnection::connectToBus(m_bus->address(), u"app"_s),
                              [&lines](const QString &) { ++lines; });
    fallback.altSpaceUnavailable(u"no portal"_s);
    QTest::qWait(300);
    QCOMPARE(lines, 1);
    QCOMPARE(m_server.shown.size(), 0);
    QCOMPARE(store->shortcutNotice(), PinlarkStore::ShortcutNotice::None);
}

QTEST_GUILESS_MAIN(TestAltSpaceFallback)
#include "tst_altspacefallback.moc"
