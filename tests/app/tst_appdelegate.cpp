#include "app/AppDelegate.h"
#include "app/PopupWindow.h"
#include "tests/support/FakeSaveDialog.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/ScriptedVaultServer.h"
#include "tests/support/StoreTestHelpers.h"
#include "ui/FocusableTextView.h"
#include "ui/PinlarkCardView.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDialog>
#include <QElapsedTimer>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRasterWindow>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace {
// How a test ends one of the popup's dialogs.
enum DialogEnd { Reject, Accept, Delete };

// A panel's StatusNotifierWatcher, on a connection of its own to the test's bus. It comes up
// when the test says, with or without a host registered with it.
class FakeStatusNotifierWatcher final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

public:
    explicit FakeStatusNotifierWatcher(const QString &address)
        : m_bus(QDBusConnection::connectToBus(address, u"fake-status-notifier-watcher"_s))
    {}
    ~FakeStatusNotifierWatcher() override
    {
        m_bus.unregisterService(u"org.kde.StatusNotifierWatcher"_s);
        m_bus.unregisterObject(u"/StatusNotifierWatcher"_s);
        QDBusConnection::disconnectFromBus(m_bus.name());
    }
    Q_DISABLE_COPY_MOVE(FakeStatusNotifierWatcher)

    [[nodiscard]] bool isHostRegistered() const { return m_hostRegistered; }

    [[nodiscard]] bool appear(bool withHost)
    {
        m_hostRegistered = withHost;
        return m_bus.registerObject(u"/StatusNotifierWatcher"_s, this,
                                    QDBusConnection::ExportAllProperties |
                                        QDBusConnection::ExportAllSignals) &&
               m_bus.registerService(u"org.kde.StatusNotifierWatcher"_s);
    }
    void registerHost()
    {
        m_hostRegistered = true;
        emit StatusNotifierHostRegistered();
    }

signals:
    void StatusNotifierHostRegistered();

private:
    QDBusConnection m_bus;
    bool m_hostRegistered = false;
};
} // namespace

// The shell over a real store and card view, offscreen, on a session bus of the test's own.
// Neither has a tray, so the popup opens at launch, as it does on a desktop without one.
class TestAppDelegate final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void launchOpensPopupWithEditorFocused();
    void launchWaitsForTrayBeforeOpening();
    void trayAppearingLaterGetsTheIcon_data();
    void trayAppearingLaterGetsTheIcon();
    void toggleClosesWithImmediateSaveAndResetsSync();
    void escape_data();
    void escape();
    void altSpaceTogglesAndInsertsNothing_data();
    void altSpaceTogglesAndInsertsNothing();
    void otherKeysReachTheCard_data();
    void otherKeysReachTheCard();
    void focusLeavingTheAppClosesWithoutToggle();
    void ownDialogKeepsPopupOpen();
    void closingOwnDialogGivesTheKeyboardBack_data();
    void closingOwnDialogGivesTheKeyboardBack();
    void contentFitsAScaledSmallScreen();
    void toggleRightAfterTransientClose_data();
    void toggleRightAfterTransientClose();
    void openingTheCardSyncsAStaleStack();
    void quitGivesTheLastSyncABoundedWait_data();
    void quitGivesTheLastSyncABoundedWait();

private:
    [[nodiscard]] QString notesPath() const { return m_dir->filePath(u"notes.json"_s); }
    [[nodiscard]] QByteArray notesOnDisk() const { return StoreTest::readBytes(notesPath()); }
    [[nodiscard]] QPlainTextEdit *editor() const;
    void type(const QString &text);
    // Gives the focus to `other`, a window that is not a widget and so stands in for another
    // application's, and waits for the popup to close itself.
    void switchTo(QRasterWindow &other);
    // Starts the app again on `server`, synced with it once, so that the automatic sync is
    // on.
    void startSynced(const ScriptedVaultServer &server, const PinlarkStore::SyncSchedule &schedule);

    PrivateBus m_bus;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingSoundPlayer> m_sounds;
    std::unique_ptr<FakeSaveDialog> m_saveDialog;
    std::unique_ptr<FakeWorkspace> m_workspace;
    std::unique_ptr<AppDelegate> m_app;
};

QPlainTextEdit *TestAppDelegate::editor() const
{
    return m_app->cardView()->editor();
}

void TestAppDelegate::type(const QString &text)
{
    QTest::keyClicks(editor(), text);
}

void TestAppDelegate::switchTo(QRasterWindow &other)
{
    other.resize(100, 100);
    other.show();
    other.requestActivate();
    QTRY_VERIFY(!m_app->popover()->isVisible());
}

void TestAppDelegate::startSynced(const ScriptedVaultServer &server,
                                  const PinlarkStore::SyncSchedule &schedule)
{
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    m_app.reset();
    PinlarkStore::Environment environment;
    environment.notesFolder = m_dir->path();
    environment.settingsFile = m_dir->filePath(u"Pinlark.conf"_s);
    environment.sounds = m_sounds.get();
    environment.saveDialog = m_saveDialog.get();
    environment.workspace = m_workspace.get();
    environment.log = [](const QString &) {};
    PinlarkVaultSync::VaultEndpoint vault;
    vault.baseUrl = server.baseUrl();
    vault.caFile = server.caFile();
    vault.timeoutMs = 600'000;
    environment.vault = vault;
    environment.syncSchedule = schedule;
    m_app = std::make_unique<AppDelegate>(environment);
    m_app->setTrayWait(0);
    m_app->applicationDidFinishLaunching();
    QVERIFY(QTest::qWaitForWindowActive(m_app->popover()));

    PinlarkStore &store = m_app->store();
    bool synced = false;
    store.syncWithVault(store.passportCode(),
                        [&](bool success, const QString &) { synced = success; });
    QTRY_VERIFY_WITH_TIMEOUT(!store.isSyncing(), 20'000);
    QVERIFY(synced);
    QVERIFY(store.autoSyncActive());
}

void TestAppDelegate::initTestCase()
{
    if (PrivateBus::daemon().isEmpty())
        QFAIL("no dbus-daemon; './dev deps' installs it");
    const auto started = m_bus.start();
    QVERIFY2(started.ok(), qPrintable(started.ok() ? QString() : started.error()));
    // Before anything asks for the session bus: the app's is the test's.
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
}

void TestAppDelegate::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_sounds = std::make_unique<RecordingSoundPlayer>();
    m_saveDialog = std::make_unique<FakeSaveDialog>();
    m_workspace = std::make_unique<FakeWorkspace>();
    PinlarkStore::Environment environment;
    environment.notesFolder = m_dir->path();
    environment.sounds = m_sounds.get();
    environment.saveDialog = m_saveDialog.get();
    environment.workspace = m_workspace.get();
    m_app = std::make_unique<AppDelegate>(environment);
    m_app->setTrayWait(0);
    m_app->applicationDidFinishLaunching();
    QVERIFY(QTest::qWaitForWindowActive(m_app->popover()));
    QTRY_VERIFY(editor()->hasFocus());
}

void TestAppDelegate::cleanup()
{
    m_app.reset();
    m_workspace.reset();
    m_saveDialog.reset();
    m_sounds.reset();
    m_dir.reset();
}

void TestAppDelegate::launchOpensPopupWithEditorFocused()
{
    PopupWindow *popup = m_app->popover();
    // No tray, so Qt's tray is never touched.
    QVERIFY(!m_app->statusItem());
    QVERIFY(popup->isVisible());
    QCOMPARE(popup->size(), QSize(420, 430));
    // A tool window: out of the taskbar, yet a window screen readers can see into.
    QCOMPARE(popup->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(popup->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(popup->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(popup->content(), m_app->cardView());
    // The local key monitor is always there; no global one without X11 or Wayland.
    QCOMPARE(m_app->globalHotkeyMonitors().size(), 1U);
}

void TestAppDelegate::launchWaitsForTrayBeforeOpening()
{
    // At login the panel may come up after Pinlark: the popup waits for it a moment.
    QTemporaryDir dir;
    PinlarkStore::Environment environment;
    environment.notesFolder = dir.path();
    environment.sounds = m_sounds.get();
    environment.saveDialog = m_saveDialog.get();
    environment.workspace = m_workspace.get();
    AppDelegate app(environment);
    app.setTrayWait(300);
    app.applicationDidFinishLaunching();
    QVERIFY(!app.popover()->isVisible());
    QTRY_VERIFY(app.popover()->isVisible());

    // Opened and closed by hand meanwhile (pinlark --toggle at login): the wait ends there,
    // and does not open the popup again behind the user's back.
    AppDelegate toggled(environment);
    toggled.setTrayWait(300);
    toggled.applicationDidFinishLaunching();
    toggled.togglePopover();
    toggled.togglePopover();
    QTest::qWait(600);
    QVERIFY(!toggled.popover()->isVisible());
}

void TestAppDelegate::trayAppearingLaterGetsTheIcon_data()
{
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("beforeLaunch");
    QTest::addColumn<bool>("hostAtOnce");
    QTest::addColumn<bool>("opensBeforeTray");
    QTest::newRow("watcher with a host before launch") << 2000 << true << true << false;
    QTest::newRow("watcher with a host, within the wait") << 2000 << false << true << false;
    QTest::newRow("host registered after its watcher") << 2000 << false << false << false;
    QTest::newRow("watcher after the wait") << 100 << false << true << true;
}

void TestAppDelegate::trayAppearingLaterGetsTheIcon()
{
    // At login the panel often starts after Pinlark: its tray gets the icon when it comes,
    // and the popup opens by itself only if no tray came by the end of the wait.
    QFETCH(int, waitMs);
    QFETCH(bool, beforeLaunch);
    QFETCH(bool, hostAtOnce);
    QFETCH(bool, opensBeforeTray);
    m_app.reset();
    PinlarkStore::Environment environment;
    environment.notesFolder = m_dir->path();
    environment.sounds = m_sounds.get();
    environment.saveDialog = m_saveDialog.get();
    environment.workspace = m_workspace.get();
    FakeStatusNotifierWatcher watcher(m_bus.address());
    if (beforeLaunch)
        QVERIFY(watcher.appear(hostAtOnce));
    AppDelegate app(environment);
    app.setTrayWait(waitMs);
    QElapsedTimer sinceLaunch;
    sinceLaunch.start();
    app.applicationDidFinishLaunching();
    QVERIFY(!app.statusItem());
    if (opensBeforeTray)
        QTRY_VERIFY(app.popover()->isVisible());

    if (!beforeLaunch)
        QVERIFY(watcher.appear(hostAtOnce));
    if (!hostAtOnce) {
        // A watcher with no host is no tray: Qt would not show the icon through it.
        QTest::qWait(300);
        QVERIFY(!app.statusItem());
        watcher.registerHost();
    }
    QTRY_VERIFY(app.statusItem());
    QVERIFY(app.statusItem()->isVisible());
    QCOMPARE(app.statusItem()->toolTip(), u"Pinlark"_s);
    QVERIFY(!app.statusItem()->icon().isNull());
    QVERIFY(app.statusItem()->contextMenu());
    QCOMPARE(app.statusItem()->contextMenu()->actions().size(), 3);

    // Past the end of the wait: the popup is as it was when the tray came.
    QTest::qWait(int(std::max<qint64>(0, waitMs + 300 - sinceLaunch.elapsed())));
    QCOMPARE(app.popover()->isVisible(), opensBeforeTray);
}

void TestAppDelegate::toggleClosesWithImmediateSaveAndResetsSync()
{
    type(u"written at close"_s);
    m_app->store().setShowSync(true);
    m_app->togglePopover();
    QVERIFY(!m_app->popover()->isVisible());
    // Written at once, not after the debounce.
    QVERIFY(notesOnDisk().contains("written at close"));
    QVERIFY(!m_app->store().showSync());

    m_app->togglePopover();
    QVERIFY(m_app->popover()->isVisible());
    QVERIFY(QTest::qWaitForWindowActive(m_app->popover()));
    QTRY_VERIFY(editor()->hasFocus());
    // The same view, not a new one: the card and its text are still there.
    QCOMPARE(editor()->toPlainText().endsWith(u"written at close"_s), true);
}

void TestAppDelegate::escape_data()
{
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("Escape") << Qt::KeyboardModifiers();
    QTest::newRow("Shift+Escape") << Qt::KeyboardModifiers(Qt::ShiftModifier);
    QTest::newRow("Ctrl+Escape") << Qt::KeyboardModifiers(Qt::ControlModifier);
}

void TestAppDelegate::escape()
{
    QFETCH(Qt::KeyboardModifiers, modifiers);
    type(u"first"_s);
    m_app->store().setShowSync(true);

    // With the sync panel up, Escape leaves the panel and keeps the popup.
    QTest::keyClick(editor(), Qt::Key_Escape, modifiers);
    QVERIFY(notesOnDisk().contains("first"));
    QVERIFY(!m_app->store().showSync());
    QVERIFY(m_app->popover()->isVisible());

    type(u" second"_s);
    QTest::keyClick(editor(), Qt::Key_Escape, modifiers);
    QVERIFY(notesOnDisk().contains("first second"));
    QVERIFY(!m_app->popover()->isVisible());
}

void TestAppDelegate::altSpaceTogglesAndInsertsNothing_data()
{
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::newRow("Alt+Space") << Qt::KeyboardModifiers(Qt::AltModifier);
    QTest::newRow("Alt+Shift+Space") << (Qt::AltModifier | Qt::ShiftModifier);
    QTest::newRow("Ctrl+Alt+Space") << (Qt::AltModifier | Qt::ControlModifier);
}

void TestAppDelegate::altSpaceTogglesAndInsertsNothing()
{
    QFETCH(Qt::KeyboardModifiers, modifiers);
    const QString before = editor()->toPlainText();
    m_app->store().setShowSync(true);
    QTest::sendKeyEvent(QTest::Click, editor(), Qt::Key_Space, u" "_s, modifiers);
    QVERIFY(!m_app->popover()->isVisible());
    QCOMPARE(editor()->toPlainText(), before);
    // It is the toggle: the sync panel is reset and the file written.
    QVERIFY(!m_app->store().showSync());
    QVERIFY(QFile::exists(notesPath()));
}

void TestAppDelegate::otherKeysReachTheCard_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("cardsAdded");
    QTest::newRow("Space") << int(Qt::Key_Space) << Qt::KeyboardModifiers() << u" "_s << u" "_s
                           << 0;
    QTest::newRow("Shift+Space") << int(Qt::Key_Space) << Qt::KeyboardModifiers(Qt::ShiftModifier)
                                 << u" "_s << u" "_s << 0;
    QTest::newRow("Ctrl+N") << int(Qt::Key_N) << Qt::KeyboardModifiers(Qt::ControlModifier)
                            << QString() << QString() << 1;
}

void TestAppDelegate::otherKeysReachTheCard()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QFETCH(QString, typed);
    QFETCH(int, cardsAdded);
    const qsizetype cards = m_app->store().cards().size();
    type(u"x"_s);
    QTest::sendKeyEvent(QTest::Click, editor(), Qt::Key(key), text, modifiers);
    QVERIFY(m_app->popover()->isVisible());
    QCOMPARE(m_app->store().cards().size(), cards + cardsAdded);
    if (cardsAdded == 0)
        QVERIFY(editor()->toPlainText().endsWith(u"x"_s + typed));
}

void TestAppDelegate::focusLeavingTheAppClosesWithoutToggle()
{
    type(u"kept by the debounce"_s);
    m_app->store().setShowSync(true);
    QRasterWindow elsewhere;
    switchTo(elsewhere);
    // Not the toggle: the sync panel keeps its state, and the debounced save writes.
    QVERIFY(m_app->store().showSync());
    QTRY_VERIFY(notesOnDisk().contains("kept by the debounce"));
}

void TestAppDelegate::ownDialogKeepsPopupOpen()
{
    QDialog dialog;
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QTest::qWait(50);
    QVERIFY(m_app->popover()->isVisible());
}

void TestAppDelegate::closingOwnDialogGivesTheKeyboardBack_data()
{
    QTest::addColumn<int>("end");
    QTest::newRow("cancelled") << int(Reject);
    QTest::newRow("accepted") << int(Accept);
    QTest::newRow("deleted while shown") << int(Delete);
}

void TestAppDelegate::closingOwnDialogGivesTheKeyboardBack()
{
    QFETCH(int, end);
    PopupWindow *popup = m_app->popover();
    auto *dialog = new QDialog;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    popup->adoptDialog(dialog);
    // Transient for the popup and above other windows, as the popup is.
    QCOMPARE(dialog->parentWidget(), popup);
    QCOMPARE(dialog->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    dialog->open();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QCOMPARE(dialog->windowHandle()->transientParent(), popup->windowHandle());
    QTest::qWait(50);
    QVERIFY(popup->isVisible());

    QSignalSpy returned(popup, &PopupWindow::keyboardReturned);
    const QPointer<QDialog> guard(dialog);
    switch (end) {
    case Reject:
        dialog->reject();
        break;
    case Accept:
        dialog->accept();
        break;
    default:
        delete dialog;
        break;
    }
    QTRY_COMPARE(returned.count(), 1);
    QTRY_VERIFY(guard.isNull());
    QVERIFY(popup->isVisible());
    QTRY_VERIFY(popup->isActiveWindow());
    QTRY_VERIFY(editor()->hasFocus());
    type(u"typed after the dialog"_s);
    QVERIFY(m_app->store().currentCard()->content.contains(u"typed after the dialog"_s));
}

void TestAppDelegate::contentFitsAScaledSmallScreen()
{
    // At scale factor 2 a 1280 x 800 screen is 640 x 400 logical pixels, and under a panel's
    // icon there are about 385 of them: the card, chips shown, must still fit whole.
    type(u" #tagged"_s);
    const auto *chips = m_app->cardView()->findChild<QWidget *>(u"tagChips"_s);
    QVERIFY(chips);
    QTRY_VERIFY(chips->isVisible());
    const int needed = m_app->cardView()->minimumSizeHint().height();
    QVERIFY2(needed <= 385, qPrintable(u"the card needs %1 rows"_s.arg(needed)));
}

void TestAppDelegate::toggleRightAfterTransientClose_data()
{
    QTest::addColumn<bool>("trayClick");

    // Only a click on the icon can be the click that took the focus away.
    QTest::newRow("a click on the tray icon") << true;
    QTest::newRow("a key or pinlark --toggle") << false;
}

void TestAppDelegate::toggleRightAfterTransientClose()
{
    QFETCH(bool, trayClick);
    const auto toggle = [this, trayClick] {
        if (trayClick)
            m_app->statusItemClicked();
        else
            m_app->togglePopover();
    };
    m_app->setReopenGuard(60'000);
    m_app->store().setShowSync(true);
    QRasterWindow elsewhere;
    switchTo(elsewhere);

    toggle();
    if (trayClick) {
        // The click finishes the close, and the next one opens again.
        QVERIFY(!m_app->popover()->isVisible());
        QVERIFY(!m_app->store().showSync());
        toggle();
    }
    QVERIFY(m_app->popover()->isVisible());

    // Once the guard has passed, a click after a transient close opens at once.
    m_app->setReopenGuard(0);
    switchTo(elsewhere);
    toggle();
    QVERIFY(m_app->popover()->isVisible());
}

void TestAppDelegate::openingTheCardSyncsAStaleStack()
{
    ScriptedVaultServer server;
    PinlarkStore::SyncSchedule schedule;
    schedule.staleMs = 0;
    startSynced(server, schedule);
    const qsizetype before = server.requests().size();

    m_app->togglePopover();
    QVERIFY(!m_app->popover()->isVisible());
    m_app->togglePopover();
    QVERIFY(m_app->popover()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(server.requests().size() > before, 20'000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_app->store().isSyncing(), 20'000);
    m_app.reset();
}

void TestAppDelegate::quitGivesTheLastSyncABoundedWait_data()
{
    QTest::addColumn<bool>("fromTheCard");
    QTest::newRow("tray menu or end of session") << false;
    QTest::newRow("Ctrl+Q on the card") << true;
}

void TestAppDelegate::quitGivesTheLastSyncABoundedWait()
{
    QFETCH(bool, fromTheCard);
    ScriptedVaultServer server;
    PinlarkStore::SyncSchedule schedule;
    schedule.quitWaitMs = 200;
    // Only quitting syncs the edit below.
    schedule.settleMs = 600'000;
    schedule.longestSettleMs = 600'000;
    startSynced(server, schedule);
    // From now on the Vault reads every request and never answers.
    server.setStandingAnswer(ScriptedVaultServer::Answer::hang());
    const qsizetype before = server.requests().size();
    QSignalSpy ready(m_app.get(), &AppDelegate::readyToQuit);

    type(u"typed before quitting"_s);
    if (fromTheCard)
        QTest::keyClick(editor(), Qt::Key_Q, Qt::ControlModifier);
    else
        m_app->quit();
    // On disk before the network is asked anything, and gone from the screen.
    QVERIFY(notesOnDisk().contains("typed before quitting"));
    QVERIFY(!m_app->popover()->isVisible());
    // Quit again while it waits: the same one quit.
    m_app->quit();
    QTRY_VERIFY_WITH_TIMEOUT(server.requests().size() > before, 20'000);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 20'000);
    QTest::qWait(2 * schedule.quitWaitMs);
    QCOMPARE(ready.count(), 1);
    m_app.reset();
}

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
