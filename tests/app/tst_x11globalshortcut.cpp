#include "X11GlobalShortcut.h"

#include <QApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

using namespace Qt::StringLiterals;

namespace {

// The private X server this test runs on, or 0 where none could be started.
pid_t xvfb = 0;

// Starts Xvfb on a free display number and points DISPLAY at it.
bool startXvfb()
{
    if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
        return false;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0)
            ::dup2(quiet, STDERR_FILENO);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24",
                 "-nolisten", "tcp", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    char number[16] = {};
    const ssize_t got = ::read(fds[0], number, sizeof number - 1);
    ::close(fds[0]);
    if (got <= 0) {
        ::waitpid(child, nullptr, 0);
        return false;
    }
    xvfb = child;
    qputenv("DISPLAY", ":" + QByteArray(number).trimmed());
    return true;
}

void stopXvfb()
{
    if (xvfb > 0) {
        ::kill(xvfb, SIGTERM);
        ::waitpid(xvfb, nullptr, 0);
    }
}

xcb_connection_t *qtConnection()
{
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// What a person does at the keyboard, through the X server's test extension.
void press(const QString &keys)
{
    QCOMPARE(QProcess::execute(u"xdotool"_s, {u"key"_s, keys}), 0);
}

} // namespace

class TestX11GlobalShortcut final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void altSpaceFromAnywhere_data();
    void altSpaceFromAnywhere();
    void keyHeldByAnotherProgram();
};

void TestX11GlobalShortcut::initTestCase()
{
    if (!xvfb)
        QSKIP("Xvfb could not start here; the X11 key grab is not tested");
    if (QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
        QFAIL("xdotool is missing; './dev deps' installs it");
    QVERIFY(qtConnection());
}

void TestX11GlobalShortcut::altSpaceFromAnywhere_data()
{
    QTest::addColumn<QString>("lock");
    QTest::newRow("no lock") << QString();
    QTest::newRow("NumLock on") << u"Num_Lock"_s;
    QTest::newRow("CapsLock on") << u"Caps_Lock"_s;
}

void TestX11GlobalShortcut::altSpaceFromAnywhere()
{
    QFETCH(QString, lock);
    X11GlobalShortcut shortcut(qtConnection());
    QString error;
    QVERIFY2(shortcut.grab(&error), qPrintable(error));
    QSignalSpy activated(&shortcut, &GlobalShortcut::activated);
    if (!lock.isEmpty())
        press(lock);
    press(u"alt+space"_s);
    QTRY_COMPARE(activated.size(), 1);
    // Shift held too is still Alt+Space.
    press(u"alt+shift+space"_s);
    QTRY_COMPARE(activated.size(), 2);
    if (!lock.isEmpty())
        press(lock);
}

void TestX11GlobalShortcut::keyHeldByAnotherProgram()
{
    // Another client takes Alt+Space first, as some window managers do.
    xcb_connection_t *other = xcb_connect(nullptr, nullptr);
    QVERIFY(!xcb_connection_has_error(other));
    const xcb_setup_t *setup = xcb_get_setup(other);
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
    // Grab the key with any modifiers, so whichever mask Alt has here is covered.
    const xcb_void_cookie_t cookie = xcb_grab_key_checked(
        other, 0, root, XCB_MOD_MASK_ANY, XCB_GRAB_ANY, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    QCOMPARE(xcb_request_check(other, cookie), nullptr);

    {
        X11GlobalShortcut shortcut(qtConnection());
        QString error;
        QVERIFY(!shortcut.grab(&error));
        QVERIFY(!shortcut.isGrabbed());
        QCOMPARE(error, u"another program holds Alt+Space"_s);
    }
    xcb_disconnect(other);

    // Once the other program is gone the key is free, and nothing of the failed attempt
    // is left over to get in the way.
    X11GlobalShortcut shortcut(qtConnection());
    QVERIFY(shortcut.grab());
    QSignalSpy activated(&shortcut, &GlobalShortcut::activated);
    press(u"alt+space"_s);
    QTRY_COMPARE(activated.size(), 1);
}

int main(int argc, char *argv[])
{
    if (startXvfb())
        qputenv("QT_QPA_PLATFORM", "xcb");
    else
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int status = 0;
    {
        QApplication app(argc, argv);
        TestX11GlobalShortcut test;
        status = QTest::qExec(&test, argc, argv);
    }
    stopXvfb();
    return status;
}

#include "tst_x11globalshortcut.moc"
