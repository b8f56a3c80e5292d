#include "app/DesktopWorkspace.h"
#include "app/FileDialogSaveDialog.h"
#include "app/PopupWindow.h"
#include "app/SystemClipboard.h"
#include "tests/support/PrivateBus.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace Qt::StringLiterals;

using OptionalUrl = std::optional<QUrl>;

inline char *toString(const OptionalUrl &url)
{
    return QTest::toString(url ? u"QUrl(\""_s + url->toString() + u"\")"_s : u"none"_s);
}

// Takes the place of the desktop's handler for file: URLs, so nothing is launched.
class UrlCatcher final : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public Q_SLOTS:
    void open(const QUrl &url) { urls.append(url); }
};

// Stands in for a file manager on a private bus.
class FakeFileManager final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;
    QStringList startupIds;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        shown.append(uris);
        startupIds.append(startupId);
    }
};

class TestDesktopServices final : public QObject
{
    Q_OBJECT

public:
    enum class Answer { Reject, AcceptTypedName, Destroy };
    Q_ENUM(Answer)

private Q_SLOTS:
    void init();
    void cleanup();

    void saveDialogOpensWithoutBlocking_data();
    void saveDialogOpensWithoutBlocking();
    void saveDialogBelongsToTheOpenPopup();
    void workspaceFallsBackToFolderWithoutFileManager();
    void workspaceAsksFileManagerOnBus_data();
    void workspaceAsksFileManagerOnBus();
    void clipboardTakesText();

private:
    std::optional<QTemporaryDir> m_dir;
    UrlCatcher m_catcher;
};

void TestDesktopServices::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_catcher.urls.clear();
    QDesktopServices::setUrlHandler(u"file"_s, &m_catcher, "open");
}

void TestDesktopServices::cleanup()
{
    QDesktopServices::unsetUrlHandler(u"file"_s);
    // No dialog of a failed case may linger into the next one.
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (qobject_cast<QFileDialog *>(window))
            delete window;
    }
    m_dir.reset();
}

void TestDesktopServices::saveDialogOpensWithoutBlocking_data()
{
    QTest::addColumn<Answer>("answer");

    QTest::newRow("rejected") << Answer::Reject;
    QTest::newRow("accepted with a typed name") << Answer::AcceptTypedName;
    QTest::newRow("destroyed unanswered") << Answer::Destroy;
}

// Returning here at all shows the dialog did not run an event loop of its own.
void TestDesktopServices::saveDialogOpensWithoutBlocking()
{
    QFETCH(Answer, answer);
    SaveDialogOptions options;
    options.title = u"Export the cards"_s;
    options.acceptLabel = u"Export"_s;
    options.proposedName = u"Cards.md"_s;
    options.nameFilters = {u"Markdown (*.md *.txt)"_s};
    options.defaultSuffix = u"md"_s;
    options.directory = m_dir->path() + u"/start"_s;
    QVERIFY(QDir().mkpath(options.directory));
    QList<OptionalUrl> completions;
    FileDialogSaveDialog dialogs;
    dialogs.askForSaveLocation(options,
                               [&completions](const OptionalUrl &url) { completions.append(url); });

    QFileDialog *found = nullptr;
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (auto *dialog = qobject_cast<QFileDialog *>(window)) {
            QVERIFY(!found);
            found = dialog;
        }
    }
    QVERIFY(found);
    const QPointer<QFileDialog> dialog = found;
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->parentWidget());
    QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(dialog->windowTitle(), options.title);
    QCOMPARE(dialog->labelText(QFileDialog::Accept), options.acceptLabel);
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(dialog->fileMode(), QFileDialog::AnyFile);
    QVERIFY(!dialog->testOption(QFileDialog::ReadOnly));
    QCOMPARE(dialog->nameFilters(), options.nameFilters);
    QCOMPARE(dialog->defaultSuffix(), options.defaultSuffix);
    QCOMPARE(dialog->selectedFiles().size(), 1);
    QCOMPARE(QFileInfo(dialog->selectedFiles().first()).fileName(), options.proposedName);
    // It starts in the folder asked for, and the proposed name is taken within it.
    QCOMPARE(dialog->directory().absolutePath(), options.directory);
    QCOMPARE(QFileInfo(dialog->selectedFiles().first()).absolutePath(), options.directory);
    QVERIFY(completions.isEmpty());

    OptionalUrl expected;
    switch (answer) {
    case Answer::Reject:
        dialog->reject();
        break;
    case Answer::AcceptTypedName:
        dialog->setDirectory(m_dir->path());
        dialog->selectFile(u"chosen"_s); // the default suffix is added
        expected = QUrl::fromLocalFile(m_dir->path() + u"/chosen.md"_s);
        static_cast<QDialog *>(dialog.data())->accept(); // QFileDialog's own, protected
        break;
    case Answer::Destroy:
        delete dialog.data();
        break;
    }
    QCOMPARE(completions, QList<OptionalUrl>{expected});

    // The dialog deletes itself once closed, and its end does not answer a second time.
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(completions, QList<OptionalUrl>{expected});
}

// While the popup is open, the dialog is its own: transient for it and above other windows,
// and the popup has the keyboard back once the dialog closes.
void TestDesktopServices::saveDialogBelongsToTheOpenPopup()
{
    PopupWindow popup;
    popup.openAt(QRect(100, 2, 22, 22));
    QVERIFY(QTest::qWaitForWindowActive(&popup));
    FileDialogSaveDialog dialogs;
    dialogs.setOwner(&popup);
    QSignalSpy returned(&popup, &PopupWindow::keyboardReturned);
    int completions = 0;
    dialogs.askForSaveLocation(SaveDialogOptions{},
                               [&completions](const OptionalUrl &) { ++completions; });
    const QPointer<QFileDialog> dialog = popup.findChild<QFileDialog *>();
    QVERIFY(dialog);
    QCOMPARE(dialog->parentWidget(), &popup);
    QVERIFY(dialog->isWindow());
    QVERIFY(dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QVERIFY(popup.isVisible());

    dialog->reject();
    QCOMPARE(completions, 1);
    QTRY_COMPARE(returned.count(), 1);
    QTRY_VERIFY(popup.isActiveWindow());
    QTRY_VERIFY(dialog.isNull());

    // With the popup closed, a dialog stands alone.
    popup.hide();
    dialogs.askForSaveLocation(SaveDialogOptions{},
                               [&completions](const OptionalUrl &) { ++completions; });
    QVERIFY(!popup.findChild<QFileDialog *>());
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (qobject_cast<QFileDialog *>(window) && !window->parentWidget())
            delete window;
    }
    QCOMPARE(completions, 2);
}

void TestDesktopServices::workspaceFallsBackToFolderWithoutFileManager()
{
    const QString busName = u"pinlark-test-no-bus"_s;
    {
        const QDBusConnection noBus =
            QDBusConnection::connectToBus(u"unix:path=/nonexistent/pinlark-bus"_s, busName);
        QVERIFY(!noBus.isConnected());
        DesktopWorkspace workspace(noBus);

        const QUrl folder = QUrl::fromLocalFile(m_dir->path());
        workspace.openUrl(folder);
        QCOMPARE(m_catcher.urls, QList<QUrl>{folder});

        m_catcher.urls.clear();
        workspace.showFileInFolder(QUrl::fromLocalFile(m_dir->path() + u"/Export.md"_s));
        QTRY_COMPARE(m_catcher.urls, QList<QUrl>{folder});
    }
    QDBusConnection::disconnectFromBus(busName);
}

void TestDesktopServices::workspaceAsksFileManagerOnBus_data()
{
    QTest::addColumn<bool>("fileManagerRuns");

    QTest::newRow("file manager on the bus") << true;
    QTest::newRow("bus without a file manager") << false;
}

// A bus of our own, so neither the test machine's desktop nor its absence plays a part.
void TestDesktopServices::workspaceAsksFileManagerOnBus()
{
    QFETCH(bool, fileManagerRuns);
    if (PrivateBus::daemon().isEmpty())
        QSKIP("no dbus-daemon to run a private bus");
    // Nothing is activated on it: without the fake, no file manager of the machine answers.
    PrivateBus bus;
    const auto started = bus.start();
    QVERIFY2(started, qPrintable(started.ok() ? QString() : started.error()));
    const QString address = bus.address();

    const QString serverName = u"pinlark-test-file-manager"_s;
    const QString clientName = u"pinlark-test-client"_s;
    const auto disconnect = qScopeGuard([&] {
        QDBusConnection::disconnectFromBus(serverName);
        QDBusConnection::disconnectFromBus(clientName);
    });
    FakeFileManager fileManager;
    if (fileManagerRuns) {
        QDBusConnection server = QDBusConnection::connectToBus(address, serverName);
        QVERIFY(server.isConnected());
        QVERIFY(server.registerObject(u"/org/freedesktop/FileManager1"_s, &fileManager,
                                      QDBusConnection::ExportAllSlots));
        QVERIFY(server.registerService(u"org.freedesktop.FileManager1"_s));
    }
    const QDBusConnection client = QDBusConnection::connectToBus(address, clientName);
    QVERIFY(client.isConnected());
    DesktopWorkspace workspace(client);

    const QUrl file = QUrl::fromLocalFile(m_dir->path() + u"/Export #1.md"_s);
    workspace.showFileInFolder(file);
    if (fileManagerRuns) {
        QTRY_COMPARE(fileManager.shown.size(), 1);
        QCOMPARE(fileManager.shown.first(), QStringList{file.toString(QUrl::FullyEncoded)});
        QCOMPARE(fileManager.startupIds, QStringList{QString()});
    } else {
        QTRY_COMPARE(m_catcher.urls, QList<QUrl>{QUrl::fromLocalFile(m_dir->path())});
    }
}

void TestDesktopServices::clipboardTakesText()
{
    const QString text = u"Grüße ✓\n- [ ] two lines"_s;
    SystemClipboard clipboard;
    clipboard.setText(text);
    QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), text);
}

QTEST_MAIN(TestDesktopServices)
#include "tst_desktopservices.moc"
