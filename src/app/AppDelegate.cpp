#include "app/AppDelegate.h"

#include "app/AltSpaceFallback.h"
#include "app/CanberraSoundPlayer.h"
#include "app/CoreDumps.h"
#include "app/DesktopShortcutSetup.h"
#include "app/DesktopWorkspace.h"
#include "app/FileDialogSaveDialog.h"
#include "app/LocalKeyMonitor.h"
#include "app/PopupWindow.h"
#include "app/PortalGlobalShortcut.h"
#include "app/PortalShortcutSetup.h"
#include "app/SingleInstance.h"
#include "app/StatusIcon.h"
#include "app/SystemClipboard.h"
#include "app/TerminationSignals.h"
#include "app/TrayHostWatcher.h"
#include "app/X11GlobalShortcut.h"
#include "store/NotesFile.h"
#include "ui/FocusableTextView.h"
#include "ui/PinlarkCardView.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCursor>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QMenu>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace Qt::StringLiterals;

namespace {

// The store of the running app, for the last-chance save below.
PinlarkStore *storeToSaveAtExit = nullptr;

// Qt ends the process with exit() when the X server goes away, which is how an X session
// often ends at logout: no signal, no aboutToQuit. The debounced save would be lost.
void saveAtExit()
{
    if (storeToSaveAtExit && qApp && QThread::currentThread() == qApp->thread())
        storeToSaveAtExit->saveNotesImmediately();
}

void printError(const QString &message)
{
    std::fprintf(stderr, "Pinlark: %s\n", qUtf8Printable(message));
}

} // namespace

AppDelegate::AppDelegate(PinlarkStore::Environment environment, QObject *parent)
    : QObject(parent)
{
    if (!environment.sounds) {
        m_sounds = std::make_unique<CanberraSoundPlayer>();
        environment.sounds = m_sounds.get();
    }
    if (!environment.saveDialog) {
        m_saveDialog = std::make_unique<FileDialogSaveDialog>();
        environment.saveDialog = m_saveDialog.get();
    }
    if (!environment.workspace) {
        m_workspace = std::make_unique<DesktopWorkspace>();
        environment.workspace = m_workspace.get();
    }
    m_clipboard = std::make_unique<SystemClipboard>();
    if (!environment.shortcutSetup) {
        const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
        m_shortcutSetup = makeShortcutSetup(desktop, toggleCommand());
        // KDE keeps its shortcuts behind the portal: the other key is asked for there, and
        // works at once.
        if (!m_shortcutSetup && isKdeDesktop(desktop))
            m_shortcutSetup = std::make_unique<PortalShortcutSetup>(
                QDBusConnection::sessionBus(),
                [this](std::unique_ptr<PortalGlobalShortcut> shortcut, const QString &trigger) {
                    connect(shortcut.get(), &GlobalShortcut::activated, this,
                            &AppDelegate::togglePopover, Qt::QueuedConnection);
                    m_globalHotkeyMonitors.push_back(std::move(shortcut));
                    m_store->rememberPortalShortcutTrigger(trigger);
                });
        environment.shortcutSetup = m_shortcutSetup.get();
    }
    m_workspaceForView = environment.workspace;
    m_store = std::make_unique<PinlarkStore>(std::move(environment));
}

AppDelegate::~AppDelegate()
{
    if (storeToSaveAtExit == m_store.get())
        storeToSaveAtExit = nullptr;
    if (qApp)
        qApp->removeEventFilter(this);
    // The monitors call into the popup, and the popup's view reads the store.
    m_globalHotkeyMonitors.clear();
    delete m_popover;
    delete m_statusItem;
    delete m_statusMenu;
}

void AppDelegate::applicationDidFinishLaunching()
{
    // A right click on the icon offers the two things a tray icon is expected to offer.
    m_statusMenu = new QMenu;
    m_statusMenu->addAction(u"Open or Close Pinlark"_s, this, &AppDelegate::togglePopover);
    m_statusMenu->addSeparator();
    m_statusMenu->addAction(u"Quit Pinlark"_s, this, &AppDelegate::quit);

    m_popover = new PopupWindow;
    PinlarkCardView::Services services;
    services.clipboard = m_clipboard.get();
    services.workspace = m_workspaceForView;
    // Ctrl+Q and the card's Quit: the same last sync as the tray's.
    services.quit = [this] { quit(); };
    m_cardView = new PinlarkCardView(*m_store, services);
    m_popover->setContent(m_cardView);
    connect(m_popover, &PopupWindow::closedByDeactivation, this,
            [this] { m_sinceTransientClose.start(); });
    // After the export dialog, the keys go to the card again.
    connect(m_popover, &PopupWindow::keyboardReturned, this, &AppDelegate::focusEditor);
    if (m_saveDialog)
        m_saveDialog->setOwner(m_popover);

    storeToSaveAtExit = m_store.get();
    static const bool atExitRegistered = std::atexit(saveAtExit) == 0;
    Q_UNUSED(atExitRegistered)
    // A session manager asks before it ends the session.
    connect(qApp, &QGuiApplication::commitDataRequest, m_store.get(),
            &PinlarkStore::saveNotesImmediately);
    // A change of icon theme may bring the installed icon, or take it away.
    qApp->installEventFilter(this);

    setupGlobalShortcut();
    // The icon comes last, once a tray is there: by then Alt+Space works too. Qt decides
    // once, the first time its tray is touched, whether a D-Bus tray exists, so nothing
    // touches it before the watcher has seen one: a panel that starts after Pinlark, as at
    // login, still gets the icon, and Wayland without a tray never runs Qt's X11 tray code.
    // The wait starts first: a tray that is there already may be reported from inside
    // start(), on X11 when the display answers at once, and must end the wait, not precede it.
    openUnlessTrayAppears();
    const bool onX11 = QGuiApplication::platformName() == u"xcb";
    m_trayHosts = std::make_unique<TrayHostWatcher>(QDBusConnection::sessionBus(), onX11);
    connect(m_trayHosts.get(), &TrayHostWatcher::trayAppeared, this, &AppDelegate::showStatusItem);
    m_trayHosts->start();
}

void AppDelegate::openUnlessTrayAppears()
{
    // At login, Pinlark may start before the panel that holds the tray: give the tray a
    // moment before deciding there is none. A tray that comes later still gets the icon.
    if (m_trayWaitMs <= 0) {
        togglePopover();
        return;
    }
    auto *wait = new QTimer(this);
    m_trayWait = wait;
    wait->setSingleShot(true);
    wait->setInterval(m_trayWaitMs);
    connect(wait, &QTimer::timeout, this, [this, wait] {
        wait->deleteLater();
        // The icon is the way in once it is there, however the wait was left running.
        if (!m_statusItem && !m_popover->isVisible())
            togglePopover();
    });
    wait->start();
}

void AppDelegate::showStatusItem()
{
    if (m_statusItem)
        return;
    // The icon is the way in now: the wait has nothing left to do.
    delete m_trayWait.data();
    m_statusItem = new QSystemTrayIcon(this);
    configureStatusIcon();
    connect(m_statusItem, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Qt reports the second click of a quick pair as a double click, not as a
                // click: each one toggles, so a quick open-and-close works.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    statusItemClicked();
            });
    m_statusItem->setContextMenu(m_statusMenu);
    m_statusItem->show();
}

void AppDelegate::applicationWillTerminate()
{
    m_store->saveNotesImmediately();
}

void AppDelegate::quit()
{
    // What was typed is on disk before anything waits on the network.
    m_store->saveNotesImmediately();
    if (m_quitting)
        return;
    m_quitting = true;
    // Gone from the screen at once; the last sync, if any, goes on unseen.
    if (m_popover && m_popover->isVisible()) {
        m_store->setShowSync(false);
        m_popover->hide();
    }
    if (m_statusItem)
        m_statusItem->hide();
    m_store->syncBeforeQuit([this] { emit readyToQuit(); });
}

void AppDelegate::configureStatusIcon()
{
    m_statusItem->setIcon(StatusIcon::icon());
    m_statusItem->setToolTip(u"Pinlark"_s);
}

void AppDelegate::statusItemClicked()
{
    if (m_sinceTransientClose.isValid() && m_sinceTransientClose.elapsed() < m_reopenGuardMs) {
        // The click that took the focus away was this one: the popup is closed already, so
        // finish the close as a toggle does. Only a click on the icon can be such a click; a
        // key or a second launch always toggles.
        m_sinceTransientClose.invalidate();
        m_store->saveNotesImmediately();
        m_store->setShowSync(false);
        return;
    }
    togglePopover();
}

void AppDelegate::togglePopover()
{
    if (!m_popover)
        return;
    if (m_popover->isVisible()) {
        m_store->saveNotesImmediately();
        m_store->setShowSync(false);
        m_popover->hide();
        return;
    }
    m_sinceTransientClose.invalidate();
    // Opened some other way (pinlark --toggle) while launch waited for a tray: the wait
    // has nothing left to do.
    if (m_trayWait)
        m_trayWait->deleteLater();
    m_popover->openAt(popoverAnchor());
    focusEditor();
    // A stack the other machines may have changed since: a sync, if it is a while old.
    m_store->cardOpened();
}

void AppDelegate::focusEditor()
{
    // A find left open goes on where it was.
    if (m_store->findQuery())
        m_cardView->openFind();
    else if (QWidget *editor = m_cardView->editor())
        editor->setFocus(Qt::ActiveWindowFocusReason);
}

QRect AppDelegate::popoverAnchor() const
{
    // Read at the moment of opening: a tray says where the icon is only once it has
    // embedded it, and many trays never say (the geometry is then empty or at the origin).
    if (m_statusItem && m_statusItem->isVisible()) {
        const QRect icon = m_statusItem->geometry();
        if (!icon.isEmpty() && icon.topLeft() != QPoint(0, 0))
            return icon;
    }
    return {QCursor::pos(), QSize(1, 1)};
}

void AppDelegate::handleEscape()
{
    m_store->saveNotesImmediately();
    if (m_store->showSync())
        m_store->setShowSync(false);
    else if (!m_cardView->leaveWithEscape())
        m_popover->hide();
}

void AppDelegate::setupGlobalShortcut()
{
    // Any one press reaches one monitor only: the global ones while another application has
    // the keyboard, the local one while the popup has it.
    const QString platform = QGuiApplication::platformName();
    bool askPortal = platform.startsWith(u"wayland"_s);
    QString grabFailure;
    if (platform == u"xcb") {
        const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        auto shortcut = std::make_unique<X11GlobalShortcut>(x11 ? x11->connection() : nullptr);
        if (const auto grabbed = shortcut->grab()) {
            connect(shortcut.get(), &GlobalShortcut::activated, this, &AppDelegate::togglePopover,
                    Qt::QueuedConnection);
            m_globalHotkeyMonitors.push_back(std::move(shortcut));
        } else {
            // Where the desktop's own shortcut daemon holds the key (KDE's does on X11 too),
            // its portal can still give it to us.
            grabFailure = grabbed.error();
            askPortal = true;
        }
    }
    if (askPortal) {
        auto shortcut = std::make_unique<PortalGlobalShortcut>(QDBusConnection::sessionBus());
        PortalGlobalShortcut *portal = shortcut.get();
        // The key the user set up in place of Alt+Space, under its own component.
        const QString trigger = m_store->portalShortcutTrigger();
        if (PortalShortcutSetup::triggers().contains(trigger))
            portal->setShortcut(PortalShortcutSetup::sessionToken(trigger), trigger);
        connect(portal, &GlobalShortcut::activated, this, &AppDelegate::togglePopover,
                Qt::QueuedConnection);
        connect(portal, &PortalGlobalShortcut::stateChanged, this,
                [this, portal, grabFailure](PortalGlobalShortcut::State state) {
                    // After a refused grab, that refusal is what the user can act on; the
                    // portal's reason matters only where there was nothing to grab.
                    if (state == PortalGlobalShortcut::State::Unavailable)
                        altSpaceUnavailable(grabFailure.isEmpty() ? portal->failureReason()
                                                                  : grabFailure);
                });
        portal->start();
        m_globalHotkeyMonitors.push_back(std::move(shortcut));
    }

    m_globalHotkeyMonitors.push_back(std::make_unique<LocalKeyMonitor>(
        m_popover, [this] { handleEscape(); }, [this] { togglePopover(); }));
}

void AppDelegate::altSpaceUnavailable(const QString &reason)
{
    if (!m_altSpaceFallback)
        m_altSpaceFallback =
            std::make_unique<AltSpaceFallback>(*m_store, QDBusConnection::sessionBus());
    m_altSpaceFallback->altSpaceUnavailable(reason);
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && m_statusItem &&
        (event->type() == QEvent::ApplicationPaletteChange ||
         event->type() == QEvent::ThemeChange)) {
        configureStatusIcon();
    }
    return QObject::eventFilter(watched, event);
}

int AppDelegate::main(int argc, char *argv[])
{
    auto describe = [] {
        QCoreApplication::setOrganizationName(u"Pinlark"_s);
        QCoreApplication::setApplicationName(u"Pinlark"_s);
        QCoreApplication::setApplicationVersion(QString::fromUtf8(PINLARK_VERSION));
    };
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Short notes on a stack of pastel cards, one click away "
                                     u"in the tray."_s);
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption toggle(
        u"toggle"_s, u"Open the notes if they are closed, close them if they are open. Starts "
                     u"Pinlark with the notes open if it is not running."_s);
    parser.addOption(toggle);

    // Help and version are answered without a display: a GUI application would first need
    // one to connect to.
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        if (argument == "-h" || argument == "--help" || argument == "--help-all" ||
            argument == "-v" || argument == "--version") {
            QCoreApplication core(argc, argv);
            describe();
            parser.process(core);
            return EXIT_SUCCESS;
        }
    }

    // Before anything secret is read: from here on, a crash leaves no memory on disk.
    if (const auto noCoreDumps = disableCoreDumps(); !noCoreDumps)
        printError(u"cannot turn core dumps off: "_s + noCoreDumps.error());

    // Qt aborts, dumping core, when it finds no display; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        printError(u"no display to show the tray icon on: neither DISPLAY nor WAYLAND_DISPLAY "
                   u"is set"_s);
        return EXIT_FAILURE;
    }
    QApplication app(argc, argv);
    describe();
    QApplication::setDesktopFileName(u"app.pinlark.Pinlark"_s);
    // The popup is the only window, and closing it must not end the app.
    QApplication::setQuitOnLastWindowClosed(false);
    parser.process(app);

    SingleInstance instance(NotesFile::defaultFolder(),
                            QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    switch (instance.claim()) {
    case SingleInstance::Role::Forwarded:
        return EXIT_SUCCESS;
    case SingleInstance::Role::Failed:
        printError(instance.error());
        return EXIT_FAILURE;
    case SingleInstance::Role::Primary:
        break;
    }

    AppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::toggleRequested, &delegate,
                     &AppDelegate::togglePopover);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    QObject::connect(&delegate, &AppDelegate::readyToQuit, &app, &QCoreApplication::quit);
    // The end of the session gets the same last sync, which waits quitWaitMs at most.
    TerminationSignals endOfSession;
    QObject::connect(&endOfSession, &TerminationSignals::received, &delegate, &AppDelegate::quit);

    delegate.applicationDidFinishLaunching();
    if (parser.isSet(toggle) && !delegate.popover()->isVisible())
        delegate.togglePopover();
    return QApplication::exec();
}
