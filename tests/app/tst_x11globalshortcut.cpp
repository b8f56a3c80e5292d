#include "app/X11GlobalShortcut.h"

#include <QApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

using namespace Qt::StringLiterals;

namespace {

// The private X server this test runs on, or 0 where none could be started.
pid_t xvfb = 0;

// Whether a client can connect to `display` now.
bool accepts(const std::string &display)
{
    xcb_connection_t *connection = xcb_connect(display.c_str(), nullptr);
    const bool ok = !xcb_connection_has_error(connection);
    xcb_disconnect(connection);
    return ok;
}

// An Xvfb of ours serving `display`, or 0. Two servers never serve one display: the second
// finds the first one's lock and exits. (Xvfb's own -displayfd choice was seen to hand two
// servers started side by side the same number.)
pid_t startXvfbOn(const std::string &display)
{
    const pid_t child = ::fork();
    if (child < 0)
        return 0;
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
        }
        // -noreset: without it the server starts over each time its last client leaves, and
        // refuses connections meanwhile; the check below is such a client.
        ::execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
                 "-noreset", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    for (int attempt = 0; attempt < 250; ++attempt) {
        if (::waitpid(child, nullptr, WNOHANG) == child)
            return 0; // the display is taken
        // Still running after a client got in: the server that answered is ours.
        if (accepts(display) && ::waitpid(child, nullptr, WNOHANG) == 0)
            return child;
        ::usleep(20000);
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    return 0;
}

// Starts Xvfb on a free display number and points DISPLAY at it.
bool startXvfb()
{
    if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
        return false;
    // Numbers well above the ones desktops use, spread by process id so tests running side
    // by side rarely try the same one first.
    const int first = 200 + ::getpid() % 500;
    for (int offset = 0; offset < 20 && xvfb == 0; ++offset) {
        const std::string display = ":" + std::to_string(first + offset);
        xvfb = startXvfbOn(display);
        if (xvfb)
            qputenv("DISPLAY", QByteArray::fromStdString(display));
    }
    return xvfb != 0;
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
    const auto grabbed = shortcut.grab();
    QVERIFY2(grabbed, qPrintable(grabbed.ok() ? QString() : grabbed.error()));
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
        const auto grabbed = shortcut.grab();
        QVERIFY(!grabbed);
        QVERIFY(!shortcut.isGrabbed());
        QCOMPARE(grabbed.error(), u"another program holds Alt+Space"_s);
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
