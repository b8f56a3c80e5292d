#include "app/PortalGlobalShortcut.h"
#include "tests/support/PrivateBus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>
#include <unistd.h>
#include <utility>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using State = PortalGlobalShortcut::State;

namespace {

const QString portalService = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;
const QString shortcutsInterface = u"org.freedesktop.portal.GlobalShortcuts"_s;
const QString requestInterface = u"org.freedesktop.portal.Request"_s;
const QString sessionInterface = u"org.freedesktop.portal.Session"_s;

// Generous: the sanitizer builds are slow, and nothing here measures time.
constexpr int waitMs = 10000;

using ShortcutList = QList<std::pair<QString, QVariantMap>>;

// A token must be usable as one element of an object path.
bool isToken(const QString &token)
{
    static const QRegularExpression element(u"^[A-Za-z0-9_]+$"_s);
    return element.match(token).hasMatch();
}

QString senderElement(const QString &uniqueName)
{
    return uniqueName.mid(1).replace(u'.', u'_');
}

QDBusMessage activation(const QString &session, const QString &id)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(portalPath, shortcutsInterface, u"Activated"_s);
    signal << QVariant::fromValue(QDBusObjectPath(session)) << id << quint64(1234) << QVariantMap();
    return signal;
}

// Takes over file descriptor 2 for one test, so the log lines can be read back. What was
// captured goes on to the real stderr at the end, so no message of a failed case is lost.
class StderrCapture final
{
public:
    StderrCapture()
    {
        if (!m_file.open())
            return;
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        if (m_saved >= 0 && ::dup2(m_file.handle(), STDERR_FILENO) < 0) {
            ::close(m_saved);
            m_saved = -1;
        }
    }
    ~StderrCapture()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        const QByteArray text = captured();
        std::fwrite(text.constData(), 1, std::size_t(text.size()), stderr);
    }
    Q_DISABLE_COPY_MOVE(StderrCapture)

    [[nodiscard]] bool isCapturing() const { return m_saved >= 0; }

    [[nodiscard]] QStringList pinlarkLines() const
    {
        QStringList lines;
        const QList<QByteArray> all = captured().split('\n');
        for (const QByteArray &line : all) {
            if (line.startsWith("Pinlark: "))
                lines.append(QString::fromUtf8(line));
        }
        return lines;
    }

private:
    [[nodiscard]] QByteArray captured() const
    {
        std::fflush(stderr);
        QFile file(m_file.fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

} // namespace

class FakePortal;

class TestPortalGlobalShortcut final : public QObject
{
    Q_OBJECT

public:
    // How the fake portal answers a call.
    enum class Answer {
        Granted,    // replies; for a request, then Response 0 with what was asked for
        ErrorReply, // a D-Bus error instead of a reply
        Cancelled,  // Response 1: the user turned it down
        Failed,     // Response 2
        Incomplete, // Response 0 without the session, or without our shortcut
        Keyless,    // BindShortcuts: our shortcut listed, with no key to trigger it
        Unlisted,   // BindShortcuts: Response 0 with no list of shortcuts at all
        Silent,     // replies with a request that is never answered
        Unanswered, // not even a reply
    };
    Q_ENUM(Answer)

    enum class Bus { Unconnected, NoPortal, Portal };
    Q_ENUM(Bus)

    // A signal that arrives once the shortcut is active.
    enum class Candidate {
        Ours,
        OtherShortcut,
        OtherSession,
        Deactivated,
        OtherSender,
        MissingArguments
    };
    Q_ENUM(Candidate)

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void handshakeBindsToggleShortcut_data();
    void handshakeBindsToggleShortcut();
    void unavailablePortalIsReportedOnce_data();
    void unavailablePortalIsReportedOnce();
    void activatedOnlyForOurShortcut_data();
    void activatedOnlyForOurShortcut();
    void destructionMidHandshakeIsSafe_data();
    void destructionMidHandshakeIsSafe();

private:
    [[nodiscard]] QDBusConnection server() const { return QDBusConnection(m_serverName); }
    [[nodiscard]] QDBusConnection client() const { return QDBusConnection(m_clientName); }
    void servePortal();
    // Lets every message already sent between the two connections arrive and be handled.
    void sync();
    // The paths the client closed on the portal, by interface: those it should close are
    // waited for, and no other may have come once both connections are in sync.
    void compareClosed(const QString &interface, const QStringList &expected);

    PrivateBus m_bus;
    QString m_address;
    int m_round = 0;
    QString m_serverName;
    QString m_clientName;
    std::unique_ptr<FakePortal> m_portal;
    std::optional<StderrCapture> m_stderr;
};

// Stands in for the desktop portal on a private bus: the GlobalShortcuts calls, the request
// and session objects below its path, and the interface's version property. Each call is
// answered as the test scripts it, and kept for the test to look at.
class FakePortal final : public QDBusVirtualObject
{
    Q_OBJECT

public:
    using Answer = TestPortalGlobalShortcut::Answer;

    explicit FakePortal(QDBusConnection bus)
        : m_bus(std::move(bus))
    {
        // Portals before 0.9 pick their request paths, so a client can only subscribe after
        // the reply; the answer comes again until the client's next call shows it arrived.
        m_repeat.setInterval(10ms);
        connect(&m_repeat, &QTimer::timeout, this, [this] { m_bus.send(m_repeated); });
    }

    Answer versionAnswer = Answer::Granted;
    Answer createAnswer = Answer::Granted;
    Answer bindAnswer = Answer::Granted;
    bool ownRequestPaths = false;
    // As KDE's 5.27 backend: only the shortcuts given to CreateSession are bound, whatever
    // BindShortcuts asks for.
    bool bindsSessionShortcuts = false;

    QList<QDBusMessage> calls;
    QString sessionHandle;         // the last session made
    ShortcutList sessionShortcuts; // what the last CreateSession asked for

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        m_repeat.stop();
        const QString interface = message.interface();
        const QString member = message.member();
        if (interface == u"org.freedesktop.DBus.Properties" && member == u"Get") {
            calls.append(message);
            answer(message, versionAnswer);
        } else if (interface == shortcutsInterface &&
                   (member == u"CreateSession" || member == u"BindShortcuts")) {
            calls.append(message);
            answer(message, member == u"CreateSession" ? createAnswer : bindAnswer);
        } else if ((interface == requestInterface || interface == sessionInterface) &&
                   member == u"Close") {
            calls.append(message);
            m_bus.send(message.createReply());
        } else {
            return false;
        }
        return true;
    }

    [[nodiscard]] QList<QDBusMessage> callsTo(const QString &member) const
    {
        QList<QDBusMessage> found;
        for (const QDBusMessage &call : calls) {
            if (call.member() == member)
                found.append(call);
        }
        return found;
    }

    // Where the request of the last CreateSession or BindShortcuts call is, replied or not.
    [[nodiscard]] QString lastRequestPath() const
    {
        for (auto call = calls.crbegin(); call != calls.crend(); ++call) {
            if (call->interface() == shortcutsInterface)
                return requestPathFor(*call);
        }
        return {};
    }

    // The paths Close was called on, for one interface.
    [[nodiscard]] QStringList closed(const QString &interface) const
    {
        QStringList paths;
        for (const QDBusMessage &call : callsTo(u"Close"_s)) {
            if (call.interface() == interface)
                paths.append(call.path());
        }
        return paths;
    }

    // Everything held back arrives now, granted: late replies and late answers.
    void releaseHeld()
    {
        const QList<QDBusMessage> unanswered = std::exchange(m_unanswered, {});
        for (const QDBusMessage &call : unanswered)
            reply(call, Answer::Granted);
        const QList<std::pair<QDBusMessage, QString>> silent = std::exchange(m_silent, {});
        for (const auto &[call, request] : silent)
            respond(call, request, Answer::Granted);
    }

private:
    void answer(const QDBusMessage &call, Answer answer)
    {
        if (answer == Answer::Unanswered) {
            m_unanswered.append(call);
            return;
        }
        reply(call, answer);
    }

    void reply(const QDBusMessage &call, Answer answer)
    {
        if (call.member() == u"Get") {
            if (answer == Answer::ErrorReply)
                m_bus.send(call.createErrorReply(QDBusError::InvalidArgs, u"No such interface"_s));
            else
                m_bus.send(call.createReply(QVariant::fromValue(QDBusVariant(1u))));
            return;
        }
        if (answer == Answer::ErrorReply) {
            m_bus.send(call.createErrorReply(u"org.freedesktop.portal.Error.Failed"_s,
                                             u"Scripted failure"_s));
            return;
        }
        const QString request = requestPathFor(call);
        ++m_requestsIssued;
        m_bus.send(call.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        if (answer == Answer::Silent)
            m_silent.append({call, request});
        else
            respond(call, request, answer);
    }

    void respond(const QDBusMessage &call, const QString &request, Answer answer)
    {
        uint code = 0;
        QVariantMap results;
        const bool create = call.member() == u"CreateSession";
        switch (answer) {
        case Answer::Cancelled:
            code = 1;
            break;
        case Answer::Failed:
            code = 2;
            break;
        case Answer::Incomplete:
            if (!create)
                results.insert(u"shortcuts"_s, QVariant::fromValue(ShortcutList()));
            break;
        case Answer::Keyless:
            results.insert(u"shortcuts"_s,
                           QVariant::fromValue(ShortcutList{
                               {u"toggle-popup"_s, {{u"trigger_description"_s, QString()}}}}));
            break;
        case Answer::Unlisted:
            break;
        default:
            if (create) {
                sessionHandle = portalPath + u"/session/"_s + senderElement(call.service()) + u'/' +
                                optionsOf(call).value(u"session_handle_token"_s).toString();
                // A string, as portals send it to this day.
                results.insert(u"session_handle"_s, sessionHandle);
                const QVariant given = optionsOf(call).value(u"shortcuts"_s);
                sessionShortcuts = given.metaType() == QMetaType::fromType<QDBusArgument>()
                                       ? qdbus_cast<ShortcutList>(given)
                                       : ShortcutList();
            } else {
                ShortcutList bound;
                const auto asked = bindsSessionShortcuts
                                       ? sessionShortcuts
                                       : qdbus_cast<ShortcutList>(call.arguments().at(1));
                for (const auto &[id, properties] : asked)
                    bound.append({id,
                                  {{u"description"_s, properties.value(u"description"_s)},
                                   {u"trigger_description"_s, u"Alt+Space"_s}}});
                results.insert(u"shortcuts"_s, QVariant::fromValue(bound));
            }
            break;
        }
        QDBusMessage response =
            QDBusMessage::createSignal(request, requestInterface, u"Response"_s);
        response << code << results;
        m_bus.send(response);
        if (ownRequestPaths) {
            m_repeated = response;
            m_repeat.start();
        }
    }

    [[nodiscard]] static QVariantMap optionsOf(const QDBusMessage &call)
    {
        const QList<QVariant> arguments = call.arguments();
        return arguments.isEmpty() ? QVariantMap() : qdbus_cast<QVariantMap>(arguments.last());
    }

    [[nodiscard]] QString requestPathFor(const QDBusMessage &call) const
    {
        if (ownRequestPaths)
            return portalPath + u"/request/old/"_s + QString::number(m_requestsIssued);
        return portalPath + u"/request/"_s + senderElement(call.service()) + u'/' +
               optionsOf(call).value(u"handle_token"_s).toString();
    }

    QDBusConnection m_bus;
    QTimer m_repeat;
    QDBusMessage m_repeated;
    int m_requestsIssued = 0;
    QList<QDBusMessage> m_unanswered;
    QList<std::pair<QDBusMessage, QString>> m_silent;
};

void TestPortalGlobalShortcut::initTestCase()
{
    qDBusRegisterMetaType<ShortcutList::value_type>();
    qDBusRegisterMetaType<ShortcutList>();
    if (PrivateBus::daemon().isEmpty())
        QSKIP("no dbus-daemon to run a private bus");
    // A bus of our own, so neither the test machine's desktop nor its absence plays a part:
    // on it, only the fake below ever owns the portal's name.
    const auto started = m_bus.start();
    QVERIFY2(started, qPrintable(started.ok() ? QString() : started.error()));
    m_address = m_bus.address();
}

void TestPortalGlobalShortcut::cleanupTestCase()
{
    m_bus.stop();
}

void TestPortalGlobalShortcut::init()
{
    ++m_round;
    m_serverName = u"pinlark-test-portal-"_s + QString::number(m_round);
    m_clientName = u"pinlark-test-client-"_s + QString::number(m_round);
    QVERIFY(QDBusConnection::connectToBus(m_address, m_serverName).isConnected());
    QVERIFY(QDBusConnection::connectToBus(m_address, m_clientName).isConnected());
    m_portal = std::make_unique<FakePortal>(server());
    m_stderr.emplace();
    QVERIFY(m_stderr->isCapturing());
}

void TestPortalGlobalShortcut::cleanup()
{
    m_stderr.reset();
    server().unregisterObject(portalPath, QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(m_serverName);
    QDBusConnection::disconnectFromBus(m_clientName);
    m_portal.reset();
}

void TestPortalGlobalShortcut::servePortal()
{
    QVERIFY(server().registerVirtualObject(portalPath, m_portal.get(), QDBusConnection::SubPath));
    QVERIFY(server().registerService(portalService));
}

void TestPortalGlobalShortcut::sync()
{
    // The bus passes each connection's messages on in order: once a connection's own call to
    // the bus is answered, whatever it sent before has been delivered.
    const QDBusMessage getId =
        QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                       u"org.freedesktop.DBus"_s, u"GetId"_s);
    for (const QString &name : {m_serverName, m_clientName, m_serverName}) {
        QDBusConnection bus(name);
        if (bus.isConnected())
            bus.call(getId);
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

void TestPortalGlobalShortcut::compareClosed(const QString &interface, const QStringList &expected)
{
    sync();
    if (expected.isEmpty())
        QCOMPARE(m_portal->closed(interface), expected);
    else
        QTRY_COMPARE_WITH_TIMEOUT(m_portal->closed(interface), expected, waitMs);
}

void TestPortalGlobalShortcut::handshakeBindsToggleShortcut_data()
{
    QTest::addColumn<bool>("ownRequestPaths");
    QTest::addColumn<bool>("bindsSessionShortcuts");

    QTest::newRow("request paths as the caller predicts them") << false << false;
    QTest::newRow("request paths of the portal's choosing") << true << false;
    QTest::newRow("shortcuts read from CreateSession only") << false << true;
}

void TestPortalGlobalShortcut::handshakeBindsToggleShortcut()
{
    QFETCH(bool, ownRequestPaths);
    QFETCH(bool, bindsSessionShortcuts);
    m_portal->ownRequestPaths = ownRequestPaths;
    m_portal->bindsSessionShortcuts = bindsSessionShortcuts;
    servePortal();
    PortalGlobalShortcut shortcut(client());
    QList<State> states;
    connect(&shortcut, &PortalGlobalShortcut::stateChanged, &shortcut,
            [&states](State state) { states.append(state); });

    QCOMPARE(shortcut.state(), State::Idle);
    shortcut.start();
    QTRY_COMPARE_WITH_TIMEOUT(shortcut.state(), State::Active, waitMs);
    QCOMPARE(states, (QList<State>{State::Starting, State::Active}));
    QCOMPARE(shortcut.trigger(), u"Alt+Space"_s);

    const ShortcutList wanted{{u"toggle-popup"_s,
                               {{u"description"_s, u"Open or close Pinlark"_s},
                                {u"preferred_trigger"_s, u"ALT+space"_s}}}};
    const QList<QDBusMessage> creates = m_portal->callsTo(u"CreateSession"_s);
    QCOMPARE(creates.size(), 1);
    QCOMPARE(creates.first().signature(), u"a{sv}"_s);
    const auto createOptions = qdbus_cast<QVariantMap>(creates.first().arguments().at(0));
    const QString requestToken = createOptions.value(u"handle_token"_s).toString();
    const QString sessionToken = createOptions.value(u"session_handle_token"_s).toString();
    QVERIFY2(isToken(requestToken), qPrintable(requestToken));
    QVERIFY2(isToken(sessionToken), qPrintable(sessionToken));
    QVERIFY(requestToken != sessionToken);
    QCOMPARE(m_portal->sessionShortcuts, wanted);

    const QList<QDBusMessage> binds = m_portal->callsTo(u"BindShortcuts"_s);
    QCOMPARE(binds.size(), 1);
    QCOMPARE(binds.first().signature(), u"oa(sa{sv})sa{sv}"_s);
    const QList<QVariant> bind = binds.first().arguments();
    QVERIFY(!m_portal->sessionHandle.isEmpty());
    QCOMPARE(qvariant_cast<QDBusObjectPath>(bind.at(0)).path(), m_portal->sessionHandle);
    QCOMPARE(qdbus_cast<ShortcutList>(bind.at(1)), wanted);
    QCOMPARE(bind.at(2).toString(), QString());
    const QString bindToken =
        qdbus_cast<QVariantMap>(bind.at(3)).value(u"handle_token"_s).toString();
    QVERIFY2(isToken(bindToken), qPrintable(bindToken));
    QVERIFY(bindToken != requestToken && bindToken != sessionToken);

    // Nothing was given up along the way.
    sync();
    QCOMPARE(m_portal->closed(requestInterface), QStringList());
    QCOMPARE(m_portal->closed(sessionInterface), QStringList());
    QCOMPARE(m_stderr->pinlarkLines(), QStringList());

    // The next run asks for the same session, so the desktop finds the shortcut it keeps for
    // us, with the key the user gave it, instead of making a new one without a key.
    PortalGlobalShortcut restarted(client());
    restarted.start();
    QTRY_COMPARE_WITH_TIMEOUT(restarted.state(), State::Active, waitMs);
    const QList<QDBusMessage> again = m_portal->callsTo(u"CreateSession"_s);
    QCOMPARE(again.size(), 2);
    const auto againOptions = qdbus_cast<QVariantMap>(again.last().arguments().at(0));
    QCOMPARE(againOptions.value(u"session_handle_token"_s).toString(), sessionToken);
    QVERIFY(againOptions.value(u"handle_token"_s).toString() != requestToken);
}

void TestPortalGlobalShortcut::unavailablePortalIsReportedOnce_data()
{
    QTest::addColumn<Bus>("bus");
    QTest::addColumn<Answer>("version");
    QTest::addColumn<Answer>("create");
    QTest::addColumn<Answer>("bind");
    QTest::addColumn<bool>("requestClosed");
    QTest::addColumn<bool>("sessionClosed");

    const auto granted = Answer::Granted;
    QTest::newRow("no session bus")
        << Bus::Unconnected << granted << granted << granted << false << false;
    QTest::newRow("no portal on the bus")
        << Bus::NoPortal << granted << granted << granted << false << false;
    QTest::newRow("portal without GlobalShortcuts")
        << Bus::Portal << Answer::ErrorReply << granted << granted << false << false;
    QTest::newRow("CreateSession answered with an error")
        << Bus::Portal << granted << Answer::ErrorReply << granted << false << false;
    QTest::newRow("CreateSession cancelled")
        << Bus::Portal << granted << Answer::Cancelled << granted << false << false;
    QTest::newRow("CreateSession failed")
        << Bus::Portal << granted << Answer::Failed << granted << false << false;
    QTest::newRow("CreateSession without a session")
        << Bus::Portal << granted << Answer::Incomplete << granted << false << false;
    QTest::newRow("CreateSession never replied")
        << Bus::Portal << granted << Answer::Unanswered << granted << true << false;
    QTest::newRow("BindShortcuts answered with an error")
        << Bus::Portal << granted << granted << Answer::ErrorReply << false << true;
    QTest::newRow("BindShortcuts refused by the user")
        << Bus::Portal << granted << granted << Answer::Cancelled << false << true;
    QTest::newRow("BindShortcuts left our shortcut out")
        << Bus::Portal << granted << granted << Answer::Incomplete << false << true;
    QTest::newRow("BindShortcuts gave our shortcut no key")
        << Bus::Portal << granted << granted << Answer::Keyless << false << true;
    QTest::newRow("BindShortcuts listed no shortcuts")
        << Bus::Portal << granted << granted << Answer::Unlisted << false << true;
    QTest::newRow("BindShortcuts never answered")
        << Bus::Portal << granted << granted << Answer::Silent << true << true;
}

void TestPortalGlobalShortcut::unavailablePortalIsReportedOnce()
{
    QFETCH(Bus, bus);
    QFETCH(Answer, version);
    QFETCH(Answer, create);
    QFETCH(Answer, bind);
    QFETCH(bool, requestClosed);
    QFETCH(bool, sessionClosed);
    m_portal->versionAnswer = version;
    m_portal->createAnswer = create;
    m_portal->bindAnswer = bind;
    if (bus == Bus::Portal)
        servePortal();

    const QString unconnectedName = u"pinlark-test-unconnected-"_s + QString::number(m_round);
    const auto disconnect =
        qScopeGuard([&unconnectedName] { QDBusConnection::disconnectFromBus(unconnectedName); });
    const QDBusConnection connection =
        bus == Bus::Unconnected ? QDBusConnection::connectToBus(
                                      u"unix:path=/nonexistent/pinlark-bus"_s, unconnectedName)
                                : client();
    int activations = 0;
    QList<State> states;
    QString reason;
    {
        PortalGlobalShortcut shortcut(connection);
        connect(&shortcut, &PortalGlobalShortcut::stateChanged, &shortcut,
                [&states](State state) { states.append(state); });
        connect(&shortcut, &GlobalShortcut::activated, &shortcut,
                [&activations] { ++activations; });
        shortcut.start();

        // A portal that never answers: once the call has reached it, the wait runs out.
        const auto isQuiet = [](Answer answer) {
            return answer == Answer::Silent || answer == Answer::Unanswered;
        };
        if (isQuiet(create) || isQuiet(bind)) {
            const QString member = isQuiet(create) ? u"CreateSession"_s : u"BindShortcuts"_s;
            QTRY_COMPARE_WITH_TIMEOUT(m_portal->callsTo(member).size(), 1, waitMs);
            QCOMPARE(shortcut.state(), State::Starting);
            shortcut.setResponseTimeout(1ms);
        }

        QTRY_COMPARE_WITH_TIMEOUT(shortcut.state(), State::Unavailable, waitMs);
        QCOMPARE(states, (QList<State>{State::Starting, State::Unavailable}));
        reason = shortcut.failureReason();
        // The two causes most desktops have are named as a person would name them.
        if (bus == Bus::NoPortal)
            QCOMPARE(reason, u"no desktop portal is running"_s);
        if (bus == Bus::Portal && version == Answer::ErrorReply)
            QCOMPARE(reason, u"the desktop's portal has no global shortcuts"_s);
        QCOMPARE(shortcut.trigger(), QString());

        // Whatever else arrives now changes nothing.
        if (!m_portal->sessionHandle.isEmpty())
            server().send(activation(m_portal->sessionHandle, u"toggle-popup"_s));
        m_portal->releaseHeld();
        sync();
        QCOMPARE(shortcut.state(), State::Unavailable);

        // What was opened on the portal was closed on giving up, and nothing else.
        compareClosed(requestInterface,
                      requestClosed ? QStringList{m_portal->lastRequestPath()} : QStringList());
        if (QTest::currentTestFailed())
            return;
        compareClosed(sessionInterface,
                      sessionClosed ? QStringList{m_portal->sessionHandle} : QStringList());
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(states, (QList<State>{State::Starting, State::Unavailable}));
    QCOMPARE(activations, 0);

    // The app words the advice; the shortcut only says why, and prints nothing itself.
    QVERIFY(!reason.isEmpty());
    QCOMPARE(m_stderr->pinlarkLines(), QStringList());
}

void TestPortalGlobalShortcut::activatedOnlyForOurShortcut_data()
{
    QTest::addColumn<Candidate>("candidate");
    QTest::addColumn<int>("activations");

    // Each candidate is followed by one Activated that counts, so the count is settled once
    // that one has arrived.
    QTest::newRow("our session and shortcut") << Candidate::Ours << 2;
    QTest::newRow("another shortcut id") << Candidate::OtherShortcut << 1;
    QTest::newRow("another session") << Candidate::OtherSession << 1;
    QTest::newRow("Deactivated") << Candidate::Deactivated << 1;
    QTest::newRow("sent by another bus client") << Candidate::OtherSender << 1;
    QTest::newRow("arguments missing") << Candidate::MissingArguments << 1;
}

void TestPortalGlobalShortcut::activatedOnlyForOurShortcut()
{
    QFETCH(Candidate, candidate);
    QFETCH(int, activations);
    servePortal();
    PortalGlobalShortcut shortcut(client());
    int counted = 0;
    connect(&shortcut, &GlobalShortcut::activated, &shortcut, [&counted] { ++counted; });
    shortcut.start();
    QTRY_COMPARE_WITH_TIMEOUT(shortcut.state(), State::Active, waitMs);
    QCOMPARE(counted, 0);

    const QString session = m_portal->sessionHandle;
    const QString id = u"toggle-popup"_s;
    QDBusMessage signal = activation(session, id);
    switch (candidate) {
    case Candidate::Ours:
        break;
    case Candidate::OtherShortcut:
        signal = activation(session, u"toggle-other"_s);
        break;
    case Candidate::OtherSession:
        signal = activation(session + u"_other"_s, id);
        break;
    case Candidate::Deactivated:
        signal = QDBusMessage::createSignal(portalPath, shortcutsInterface, u"Deactivated"_s);
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << quint64(1234)
               << QVariantMap();
        break;
    case Candidate::OtherSender:
        break;
    case Candidate::MissingArguments:
        signal = QDBusMessage::createSignal(portalPath, shortcutsInterface, u"Activated"_s);
        signal << QVariant::fromValue(QDBusObjectPath(session));
        break;
    }

    if (candidate == Candidate::OtherSender) {
        const QString otherName = u"pinlark-test-other-"_s + QString::number(m_round);
        const auto disconnect =
            qScopeGuard([&otherName] { QDBusConnection::disconnectFromBus(otherName); });
        QDBusConnection other = QDBusConnection::connectToBus(m_address, otherName);
        QVERIFY(other.isConnected());
        QVERIFY(other.send(signal));
        // Answered only once the bus has passed the signal on.
        other.call(QDBusMessage::createMethodCall(u"org.freedesktop.DBus"_s,
                                                  u"/org/freedesktop/DBus"_s,
                                                  u"org.freedesktop.DBus"_s, u"GetId"_s));
    } else {
        QVERIFY(server().send(signal));
    }
    QVERIFY(server().send(activation(session, id)));

    sync();
    QTRY_COMPARE_WITH_TIMEOUT(counted, activations, waitMs);
    QCOMPARE(shortcut.state(), State::Active);
}

void TestPortalGlobalShortcut::destructionMidHandshakeIsSafe_data()
{
    QTest::addColumn<Answer>("version");
    QTest::addColumn<Answer>("create");
    QTest::addColumn<Answer>("bind");
    QTest::addColumn<QString>("reached");
    QTest::addColumn<bool>("requestClosed");
    QTest::addColumn<bool>("sessionClosed");

    const auto granted = Answer::Granted;
    QTest::newRow("asking for the version")
        << Answer::Unanswered << granted << granted << u"Get"_s << false << false;
    QTest::newRow("waiting for CreateSession's reply")
        << granted << Answer::Unanswered << granted << u"CreateSession"_s << true << false;
    QTest::newRow("waiting for the session")
        << granted << Answer::Silent << granted << u"CreateSession"_s << true << false;
    QTest::newRow("waiting for the user to bind the shortcut")
        << granted << granted << Answer::Silent << u"BindShortcuts"_s << true << true;
    QTest::newRow("active") << granted << granted << granted << QString() << false << true;
}

void TestPortalGlobalShortcut::destructionMidHandshakeIsSafe()
{
    QFETCH(Answer, version);
    QFETCH(Answer, create);
    QFETCH(Answer, bind);
    QFETCH(QString, reached);
    QFETCH(bool, requestClosed);
    QFETCH(bool, sessionClosed);
    m_portal->versionAnswer = version;
    m_portal->createAnswer = create;
    m_portal->bindAnswer = bind;
    servePortal();

    int activations = 0;
    QList<State> states;
    auto shortcut = std::make_unique<PortalGlobalShortcut>(client());
    connect(shortcut.get(), &PortalGlobalShortcut::stateChanged, shortcut.get(),
            [&states](State state) { states.append(state); });
    connect(shortcut.get(), &GlobalShortcut::activated, shortcut.get(),
            [&activations] { ++activations; });
    shortcut->start();
    if (reached.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(shortcut->state(), State::Active, waitMs);
    else
        QTRY_COMPARE_WITH_TIMEOUT(m_portal->callsTo(reached).size(), 1, waitMs);
    const QList<State> statesBefore = states;
    shortcut.reset();

    // The portal goes on as if nothing happened: late replies, late answers, a key press.
    m_portal->releaseHeld();
    if (!m_portal->sessionHandle.isEmpty())
        QVERIFY(server().send(activation(m_portal->sessionHandle, u"toggle-popup"_s)));
    sync();
    QCOMPARE(states, statesBefore);
    QCOMPARE(activations, 0);
    QCOMPARE(m_stderr->pinlarkLines(), QStringList());

    compareClosed(requestInterface,
                  requestClosed ? QStringList{m_portal->lastRequestPath()} : QStringList());
    if (QTest::currentTestFailed())
        return;
    compareClosed(sessionInterface,
                  sessionClosed ? QStringList{m_portal->sessionHandle} : QStringList());
}

QTEST_GUILESS_MAIN(TestPortalGlobalShortcut)
#include "tst_portalglobalshortcut.moc"
