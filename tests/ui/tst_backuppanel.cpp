#include "model/NoteJSON.h"
#include "store/PinlarkStore.h"
#include "tests/support/FakeClipboard.h"
#include "tests/support/ManualScheduler.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"
#include "ui/CardButton.h"
#include "ui/FocusableTextView.h"
#include "ui/PinlarkBackupPanel.h"
#include "ui/PinlarkCardView.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::writeBytes;

namespace {

QList<NoteCard> cardsWith(const QStringList &contents, const QString &idPrefix)
{
    QList<NoteCard> cards;
    for (qsizetype i = 0; i < contents.size(); ++i)
        cards.append(card(idPrefix + QString::number(i), contents.at(i), 100.0 + double(i)));
    return cards;
}

QStringList textsOf(const QList<CardButton *> &buttons)
{
    QStringList texts;
    for (const CardButton *button : buttons)
        texts.append(button->text());
    return texts;
}

} // namespace

class TestBackupPanel final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void menuItemOpensPanelWithTheList();
    void saysWhenThereAreNoBackups();
    void choosingRestoresAndTells_data();
    void choosingRestoresAndTells();
    void closingGivesTheEditorTheKeyboard_data();
    void closingGivesTheEditorTheKeyboard();
    void cardKeysWaitWhileOpen();

private:
    [[nodiscard]] QString backupPath(const QString &day) const
    {
        return m_dir->path() + u"/backups/notes-"_s + day + u".json"_s;
    }
    void writeBackup(const QString &day, const QList<NoteCard> &cards);
    // Opens the panel from the menu and waits for its list.
    PinlarkBackupPanel *openPanel();

    std::unique_ptr<QTemporaryDir> m_dir;
    RecordingSoundPlayer m_sounds;
    FakeClipboard m_clipboard;
    ManualScheduler m_scheduler;
    std::unique_ptr<PinlarkStore> m_store;
    std::unique_ptr<PinlarkCardView> m_view;
};

void TestBackupPanel::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(writeBytes(m_dir->path() + u"/notes.json"_s,
                       NoteJSON::encodeCards(cardsWith({u"alpha"_s, u"beta"_s}, u"c"_s))));
    QVERIFY(QDir().mkpath(m_dir->path() + u"/backups"_s));
    m_scheduler.clear();
    PinlarkStore::Environment environment;
    environment.sounds = &m_sounds;
    environment.notesFolder = m_dir->path();
    environment.settingsFile = m_dir->path() + u"/Pinlark.conf"_s;
    environment.clock = [] { return Timestamp{1000.0}; };
    environment.log = [](const QString &) {};
    m_store = std::make_unique<PinlarkStore>(environment);
    PinlarkCardView::Services services;
    services.clipboard = &m_clipboard;
    services.quit = [] {};
    services.schedule = m_scheduler.function();
    m_view = std::make_unique<PinlarkCardView>(*m_store, services);
    m_view->show();
    m_view->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
    QTRY_VERIFY(m_view->editor()->hasFocus());
}

void TestBackupPanel::cleanup()
{
    m_view.reset();
    m_store.reset();
    m_dir.reset();
}

void TestBackupPanel::writeBackup(const QString &day, const QList<NoteCard> &cards)
{
    QVERIFY(writeBytes(backupPath(day), NoteJSON::encodeCards(cards)));
}

PinlarkBackupPanel *TestBackupPanel::openPanel()
{
    const QList<QAction *> actions = m_view->actionsMenu()->actions();
    const auto item = std::find_if(actions.cbegin(), actions.cend(), [](const QAction *action) {
        return action->text() == u"Restore from Backup\u2026"_s;
    });
    if (item == actions.cend())
        qFatal("no menu item to restore from a backup");
    (*item)->trigger();
    PinlarkBackupPanel *panel = m_view->backupPanel();
    if (!panel)
        qFatal("the menu item opened no panel");
    if (!QTest::qWaitFor([panel] {
            return panel->statusLabel()->text() != u"Reading backups\u2026"_s ||
                   !panel->backupButtons().isEmpty();
        }))
        qFatal("the list of backups never came");
    return panel;
}

// Newest first, each with its day and its count; an unreadable one can be seen but not
// chosen. The panel covers the card, and the keyboard is on the first backup.
void TestBackupPanel::menuItemOpensPanelWithTheList()
{
    writeBackup(u"2026-12-08"_s, cardsWith({u"one"_s}, u"b"_s));
    writeBackup(u"2026-12-10"_s, cardsWith({u"alpha"_s, u"two"_s, u"three"_s}, u"b"_s));
    QVERIFY(writeBytes(backupPath(u"2026-12-09"_s), "not a stack"));

    const QList<QAction *> actions = m_view->actionsMenu()->actions();
    actions.at(3)->trigger();
    PinlarkBackupPanel *panel = m_view->backupPanel();
    QVERIFY(panel);
    // Read on a worker: until the answer comes through the event loop, the panel says so.
    QCOMPARE(panel->statusLabel()->text(), u"Reading backups\u2026"_s);
    QVERIFY(panel->backupButtons().isEmpty());
    QCOMPARE(panel->geometry(), m_view->rect());
    QVERIFY(panel->isVisible());

    QTRY_COMPARE(panel->backupButtons().size(), 3);
    QCOMPARE(textsOf(panel->backupButtons()), (QStringList{u"Thu, Dec 10, 2026 \u00b7 3 cards"_s,
                                                           u"Wed, Dec 9, 2026 \u00b7 unreadable"_s,
                                                           u"Tue, Dec 8, 2026 \u00b7 1 card"_s}));
    QVERIFY(panel->backupButtons().at(0)->isEnabled());
    QVERIFY(!panel->backupButtons().at(1)->isEnabled());
    QVERIFY(panel->backupButtons().at(2)->isEnabled());
    QVERIFY(panel->statusLabel()->isHidden());
    QVERIFY2(panel->backupButtons().at(0)->hasFocus(),
             QApplication::focusWidget() ? qPrintable(QApplication::focusWidget()->objectName())
                                         : "none");

    // Tab goes round the backups that can be chosen and Close, and stays in the panel.
    QStringList visited;
    for (int i = 0; i < 4; ++i) {
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(focused);
        QVERIFY2(!focused->accessibleName().isEmpty(), qPrintable(focused->objectName()));
        visited.append(focused->accessibleName());
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    QCOMPARE(visited, (QStringList{u"Thu, Dec 10, 2026 \u00b7 3 cards"_s,
                                   u"Tue, Dec 8, 2026 \u00b7 1 card"_s, u"Close"_s,
                                   u"Thu, Dec 10, 2026 \u00b7 3 cards"_s}));
    for (const QWidget *widget : panel->findChildren<QWidget *>()) {
        if (widget->isVisibleTo(panel) && widget->focusPolicy() != Qt::NoFocus)
            QVERIFY2(!widget->accessibleName().isEmpty(), qPrintable(widget->objectName()));
    }
}

void TestBackupPanel::saysWhenThereAreNoBackups()
{
    PinlarkBackupPanel *panel = openPanel();
    QCOMPARE(panel->statusLabel()->text(), u"No backups yet"_s);
    QVERIFY(panel->statusLabel()->isVisible());
    QVERIFY(panel->backupButtons().isEmpty());
    QVERIFY(panel->closeButton()->hasFocus());
}

void TestBackupPanel::choosingRestoresAndTells_data()
{
    QTest::addColumn<QStringList>("backup");
    QTest::addColumn<bool>("spoiled");   // replaced by something unreadable once listed
    QTest::addColumn<QString>("notice"); // unreadable: the error, which names the file
    QTest::addColumn<int>("cardsAfter");

    QTest::newRow("several") << QStringList{u"alpha"_s, u"gamma"_s, u"delta"_s} << false
                             << u"Restored 2 cards"_s << 4;
    QTest::newRow("one") << QStringList{u"gamma"_s, u"beta"_s} << false << u"Restored 1 card"_s
                         << 3;
    QTest::newRow("nothing") << QStringList{u"beta"_s} << false
                             << u"Nothing to restore: the stack holds every card of that backup"_s
                             << 2;
    QTest::newRow("unreadable by then") << QStringList{u"gamma"_s} << true << QString() << 2;
}

// Choosing a backup closes the panel at once; the toast tells how the restore went.
void TestBackupPanel::choosingRestoresAndTells()
{
    QFETCH(QStringList, backup);
    QFETCH(bool, spoiled);
    QFETCH(QString, notice);
    QFETCH(int, cardsAfter);

    writeBackup(u"2026-12-10"_s, cardsWith(backup, u"b"_s));
    PinlarkBackupPanel *panel = openPanel();
    QCOMPARE(panel->backupButtons().size(), 1);
    if (spoiled)
        QVERIFY(writeBytes(backupPath(u"2026-12-10"_s), "[{"));

    QTest::mouseClick(panel->backupButtons().first(), Qt::LeftButton);
    QCOMPARE(m_view->backupPanel(), nullptr);
    QVERIFY(m_view->editor()->hasFocus());
    QTRY_VERIFY(m_view->toastText().has_value());
    if (spoiled) {
        QVERIFY2(m_view->toastText()->startsWith(u"Could not restore: "_s),
                 qPrintable(*m_view->toastText()));
        // Named by its file: the whole path would not fit the card.
        QVERIFY2(m_view->toastText()->contains(u": notes-2026-12-10.json: "_s),
                 qPrintable(*m_view->toastText()));
        QVERIFY2(!m_view->toastText()->contains(m_dir->path()), qPrintable(*m_view->toastText()));
    } else {
        QCOMPARE(m_view->toastText(), std::optional<QString>(notice));
    }
    QCOMPARE(m_store->cards().size(), cardsAfter);
    // However long the notice, its pill comes to rest within the card.
    const QWidget *toast = m_view->findChild<QWidget *>(u"toast"_s);
    QVERIFY(toast);
    const auto onView = [&] {
        return QRect(toast->mapTo(m_view.get(), QPoint(0, 0)), toast->size());
    };
    QTRY_VERIFY2(m_view->rect().contains(onView()), qPrintable(*m_view->toastText()));
    QCOMPARE(m_scheduler.delays(), QList<int>{PinlarkCardView::restoreToastMs});
    m_scheduler.runNext();
    QCOMPARE(m_view->toastText(), std::nullopt);
}

void TestBackupPanel::closingGivesTheEditorTheKeyboard_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("Close") << true;
    QTest::newRow("closeBackupPanel()") << false;
}

void TestBackupPanel::closingGivesTheEditorTheKeyboard()
{
    QFETCH(bool, byButton);
    writeBackup(u"2026-12-10"_s, cardsWith({u"gamma"_s}, u"b"_s));
    QVERIFY(!m_view->closeBackupPanel());
    PinlarkBackupPanel *panel = openPanel();
    FocusableTextView *editor = m_view->editor();
    QVERIFY(!editor->hasFocus());
    // A change of the store, which the editor hears of, leaves the keyboard in the panel,
    // without it going to the editor and back even for a moment.
    QSignalSpy focusMoves(qApp, &QApplication::focusChanged);
    m_store->setCards(m_store->cards());
    QCoreApplication::processEvents();
    QVERIFY(panel->backupButtons().first()->hasFocus());
    QCOMPARE(focusMoves.count(), 0);
    // And so does handing the editor the keyboard, as the popup does when it opens.
    editor->setFocus();
    QVERIFY(panel->backupButtons().first()->hasFocus());

    if (byButton)
        QTest::mouseClick(panel->closeButton(), Qt::LeftButton);
    else
        QVERIFY(m_view->closeBackupPanel());
    QCOMPARE(m_view->backupPanel(), nullptr);
    QVERIFY(!m_view->closeBackupPanel());
    QVERIFY(editor->hasFocus());
    QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), u"!"_s);
    QCOMPARE(m_store->cards().first().content, u"alpha!"_s);
    QCOMPARE(m_store->cards().size(), 2);
}

// Under the panel the card's keys would act on a card nobody sees.
void TestBackupPanel::cardKeysWaitWhileOpen()
{
    writeBackup(u"2026-12-10"_s, cardsWith({u"gamma"_s}, u"b"_s));
    PinlarkBackupPanel *panel = openPanel();
    QWidget *focused = panel->backupButtons().first();
    QSignalSpy changes(m_store.get(), &PinlarkStore::aboutToChange);
    QTest::keyClick(focused, Qt::Key_N, Qt::ControlModifier);
    QTest::keyClick(focused, Qt::Key_BracketRight, Qt::ControlModifier);
    QTest::keyClick(focused, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(m_view->backupPanel(), panel);

    QVERIFY(m_view->closeBackupPanel());
    QTest::keyClick(m_view->editor(), Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(m_store->cards().size(), 3);
}

QTEST_MAIN(TestBackupPanel)
#include "tst_backuppanel.moc"
