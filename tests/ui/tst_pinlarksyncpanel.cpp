#include "model/NotePastel.h"
#include "store/PinlarkStore.h"
#include "tests/support/FakeClipboard.h"
#include "tests/support/TestPrinters.h"
#include "ui/CardButton.h"
#include "ui/PinlarkCardView.h"
#include "ui/PinlarkSyncPanel.h"
#include "vault/PinlarkVaultSync.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <ctime>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString storedCode = u"PLK-7KQ2MX"_s;

// Records the key presses that reach it, whichever child they were sent to.
class KeyRecorder final : public QObject
{
public:
    QList<int> keys;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress)
            keys.append(static_cast<QKeyEvent *>(event)->key());
        return false;
    }
};

} // namespace

class TestPinlarkSyncPanel final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void takesStoredCodeEachTimeItComesOnScreen();
    void layoutOfTheCard();
    void followsTheStore_data();
    void followsTheStore();
    void syncNowHandsTheFieldToTheStore();
    void invalidCodeChangesNothing_data();
    void invalidCodeChangesNothing();
    void returnInTheFieldStartsNothing();
    void copyCodeCopiesTheFieldAsTyped();
    void closingClicks_data();
    void closingClicks();
    void lastSyncedText_data();
    void lastSyncedText();
    void lastSyncedLineFollowsTheStore();
    void syncAutomaticallyBoxFollowsTheStore();

    void tabStaysInThePanel();
    void focusRingOnTheField();
    void escapeIsLeftToTheWindow();
    void namedForAssistiveTechnology();

    void renderStates();

private:
    // The panel alone in a window of the card view's size, beside a line edit that stands for
    // the rest of the window, shown and active.
    void showPanel(Clipboard *clipboard);
    [[nodiscard]] PinlarkStore &store() { return *m_store; }
    [[nodiscard]] PinlarkSyncPanel &panel() { return *m_panel; }
    template<typename T> [[nodiscard]] T *part(const QString &name)
    {
        T *widget = m_panel->findChild<T *>(name);
        if (!widget)
            qFatal("no part named %s", qPrintable(name));
        return widget;
    }
    [[nodiscard]] CardButton *syncButton() { return part<CardButton>(u"syncNowButton"_s); }
    [[nodiscard]] QLabel *statusLine() { return part<QLabel>(u"syncStatus"_s); }
    [[nodiscard]] QLabel *lastSyncedLine() { return part<QLabel>(u"lastSynced"_s); }
    [[nodiscard]] QCheckBox *automaticBox() { return part<QCheckBox>(u"syncAutomaticallyBox"_s); }

    std::unique_ptr<QTemporaryDir> m_folder;
    FakeClipboard m_clipboard;
    std::unique_ptr<PinlarkStore> m_store;
    std::unique_ptr<QWidget> m_window;
    QLineEdit *m_outside = nullptr;
    PinlarkSyncPanel *m_panel = nullptr;
};

void TestPinlarkSyncPanel::initTestCase()
{
    // Five hours behind UTC, without needing the time zone database: a day in local time is
    // not the same as the day in UTC, so reading a time in the wrong one shows.
    qputenv("TZ", "PLK+05");
    tzset();
}

void TestPinlarkSyncPanel::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
    m_clipboard.texts.clear();
    PinlarkStore::Environment environment;
    environment.notesFolder = m_folder->filePath(u"notes"_s);
    environment.settingsFile = m_folder->filePath(u"Pinlark.conf"_s);
    // Nothing answers there: a sync fails at once, and no request leaves the machine.
    PinlarkVaultSync::VaultEndpoint unreachable;
    unreachable.baseUrl = QUrl(u"https://127.0.0.1:9"_s);
    environment.vault = unreachable;
    environment.clock = [] { return Timestamp{1000.0}; };
    environment.log = [](const QString &) {};
    m_store = std::make_unique<PinlarkStore>(environment);
    m_store->setPassportCode(storedCode);
    m_store->setShowSync(true);
    showPanel(&m_clipboard);
}

void TestPinlarkSyncPanel::showPanel(Clipboard *clipboard)
{
    m_window = std::make_unique<QWidget>();
    auto *column = new QVBoxLayout(m_window.get());
    column->setContentsMargins(0, 0, 0, 0);
    m_outside = new QLineEdit(m_window.get());
    m_outside->setObjectName(u"outside"_s);
    column->addWidget(m_outside);
    m_panel = new PinlarkSyncPanel(*m_store, clipboard, m_window.get());
    m_panel->setFixedSize(PinlarkCardView::viewWidth, 430);
    column->addWidget(m_panel);
    m_window->show();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    m_panel->focusCodeField();
    QTRY_VERIFY(m_panel->codeField()->hasFocus());
}

void TestPinlarkSyncPanel::cleanup()
{
    m_window.reset();
    m_store.reset();
    m_folder.reset();
}

void TestPinlarkSyncPanel::takesStoredCodeEachTimeItComesOnScreen()
{
    QLineEdit *field = panel().codeField();
    QCOMPARE(field->text(), storedCode);
    QTest::keyClicks(field, u"99"_s);
    // The field is the panel's own: typing leaves the store alone, and a new stored code
    // leaves the typing alone.
    QCOMPARE(store().passportCode(), storedCode);
    store().setPassportCode(u"PLK-AAAAAA"_s);
    QCOMPARE(field->text(), storedCode + u"99"_s);

    // Off the screen and on again (the popup closed and reopened): the stored code again.
    m_window->hide();
    m_window->show();
    QCOMPARE(field->text(), u"PLK-AAAAAA"_s);

    // A panel made before the store has a code shows the code it has once it comes on screen.
    PinlarkSyncPanel late(store(), nullptr);
    store().setPassportCode(u"PLK-BBBBBB"_s);
    late.show();
    QCOMPARE(late.codeField()->text(), u"PLK-BBBBBB"_s);
}

void TestPinlarkSyncPanel::layoutOfTheCard()
{
    QWidget *card = panel().card();
    QCOMPARE(card->width(), PinlarkSyncPanel::cardWidth);
    QCOMPARE(card->geometry().center().x(), panel().rect().center().x());
    QVERIFY(qAbs(card->geometry().center().y() - panel().rect().center().y()) <= 1);

    // Everything 18 in from the card's edges; the row's ends at those edges.
    const QRect inside = card->rect().adjusted(18, 18, -18, -18);
    auto *title = part<QLabel>(u"syncTitle"_s);
    auto *explanation = part<QLabel>(u"syncExplanation"_s);
    QLineEdit *field = panel().codeField();
    auto *copy = part<CardButton>(u"copyCodeButton"_s);
    auto *close = part<CardButton>(u"closeButton"_s);
    CardButton *sync = syncButton();
    QCOMPARE(title->geometry().topLeft(), inside.topLeft());
    QCOMPARE(field->geometry().left(), inside.left());
    QCOMPARE(field->geometry().right(), inside.right());
    QCOMPARE(copy->geometry().left(), inside.left());
    QCOMPARE(sync->geometry().right(), inside.right());
    QVERIFY(close->geometry().right() < sync->geometry().left());
    // Under the row, the setting, then when the last sync was; no status line yet.
    QCheckBox *automatic = automaticBox();
    QLabel *lastSynced = lastSyncedLine();
    QCOMPARE(automatic->geometry().left(), inside.left());
    QVERIFY(automatic->geometry().top() > sync->geometry().bottom());
    QVERIFY(automatic->width() >= automatic->sizeHint().width());
    QCOMPARE(lastSynced->geometry().left(), inside.left());
    QVERIFY(lastSynced->geometry().top() > automatic->geometry().bottom());
    QCOMPARE(lastSynced->geometry().bottom(), inside.bottom());
    QVERIFY(copy->geometry().right() < close->geometry().left());
    // The explanation wraps onto lines of its own instead of running past the card.
    QVERIFY(explanation->width() <= inside.width());
    QVERIFY(explanation->height() >= 2 * explanation->fontMetrics().lineSpacing());
    QVERIFY(explanation->geometry().bottom() < field->geometry().top());

    QCOMPARE(field->placeholderText(), u"PLK-XXXXXX"_s);
    QCOMPARE(field->font().pointSizeF() * field->logicalDpiY() / 72.0, 16.0); // em in pixels
    QCOMPARE(field->font().weight(), QFont::Bold);
    QCOMPARE(title->text(), u"Vault Sync"_s);
    QCOMPARE(title->font().weight(), QFont::Black);
    QCOMPARE(explanation->text(), u"Cards travel encrypted. The passport code is the only key "
                                  u"\u2014 the Vault never sees it."_s);
    QCOMPARE(copy->text(), u"Copy Code"_s);
    QCOMPARE(close->text(), u"Close"_s);
    QCOMPARE(sync->look().fill, NotePastel::mint());
    QCOMPARE(automatic->text(), u"Sync automatically"_s);
    QCOMPARE(automatic->font().pointSizeF() * automatic->logicalDpiY() / 72.0, 11.0);
    QCOMPARE(automatic->palette().color(QPalette::WindowText), NotePastel::ink());
    QCOMPARE(lastSynced->text(), u"Not synced on this computer yet"_s);
}

void TestPinlarkSyncPanel::followsTheStore_data()
{
    QTest::addColumn<bool>("syncing");
    QTest::addColumn<std::optional<QString>>("status");
    QTest::addColumn<QString>("label");

    QTest::newRow("idle, never synced") << false << std::optional<QString>() << u"Sync Now"_s;
    QTest::newRow("syncing") << true << std::optional<QString>(u"Syncing with Vault\u2026"_s)
                             << u"Syncing\u2026"_s;
    QTest::newRow("succeeded") << false << std::optional<QString>(u"Synced 1 cards!"_s)
                               << u"Sync Now"_s;
    QTest::newRow("failed, long text")
        << false
        << std::optional<QString>(u"Sync error: the Vault could not be reached because the "
                                  u"network connection was refused by the remote host"_s)
        << u"Sync Now"_s;
}

void TestPinlarkSyncPanel::followsTheStore()
{
    QFETCH(bool, syncing);
    QFETCH(std::optional<QString>, status);
    QFETCH(QString, label);

    // Through a full round, so each state is reached from another one.
    store().setIsSyncing(!syncing);
    store().setSyncStatusMessage(u"something else"_s);
    store().setIsSyncing(syncing);
    store().setSyncStatusMessage(status);

    QCOMPARE(panel().codeField()->isEnabled(), !syncing);
    QCOMPARE(syncButton()->isEnabled(), !syncing);
    QCOMPARE(syncButton()->text(), label);
    QCOMPARE(syncButton()->accessibleName(), label);
    QCOMPARE(statusLine()->isHidden(), !status.has_value());
    if (status) {
        QCOMPARE(statusLine()->text(), *status);
        QCOMPARE(statusLine()->accessibleName(), *status);
        // The card grows with the line, which stays 18 above the card's bottom edge.
        QCoreApplication::processEvents();
        const QRect line = statusLine()->geometry();
        QCOMPARE(line.bottom(), panel().card()->height() - 1 - 18);
        QVERIFY(line.top() > syncButton()->geometry().bottom());
        QCOMPARE(statusLine()->height(), statusLine()->heightForWidth(line.width()));
    }
    // The panel stays open whatever the outcome.
    QVERIFY(store().showSync());
    QVERIFY(panel().isVisible());
}

void TestPinlarkSyncPanel::syncNowHandsTheFieldToTheStore()
{
    QLineEdit *field = panel().codeField();
    field->selectAll();
    const QString typed = u"  plk-abc234 "_s;
    QTest::keyClicks(field, typed);
    QTest::mouseClick(syncButton(), Qt::LeftButton);

    // Normalised and stored before any request; the field keeps what was typed.
    QCOMPARE(store().passportCode(), u"PLK-ABC234"_s);
    QVERIFY(store().isSyncing());
    QCOMPARE(field->text(), typed);
    QVERIFY(!field->isEnabled());
    QCOMPARE(syncButton()->text(), u"Syncing\u2026"_s);
    QVERIFY(!syncButton()->isEnabled());
    QCOMPARE(statusLine()->text(), u"Syncing with Vault\u2026"_s);
    // A second press while the button is disabled starts nothing.
    QSignalSpy changes(&store(), &PinlarkStore::aboutToChange);
    QTest::mouseClick(syncButton(), Qt::LeftButton);
    QCOMPARE(changes.count(), 0);

    // Nothing answers at that address: the store ends the sync with its error text.
    QTRY_VERIFY_WITH_TIMEOUT(!store().isSyncing(), 30000);
    QVERIFY(statusLine()->text().startsWith(u"Sync error: "_s));
    QVERIFY(field->isEnabled());
    QVERIFY(syncButton()->isEnabled());
    QCOMPARE(syncButton()->text(), u"Sync Now"_s);
    QCOMPARE(field->text(), typed);
    QVERIFY(store().showSync());
    // The field lost the keyboard while it was disabled and has it back.
    QVERIFY(field->hasFocus());
}

void TestPinlarkSyncPanel::invalidCodeChangesNothing_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<std::optional<QString>>("statusBefore");

    QTest::newRow("blanks, no status yet") << u"   "_s << std::optional<QString>();
    QTest::newRow("empty field") << QString() << std::optional<QString>();
    QTest::newRow("punctuation, after a sync")
        << u"!!!"_s << std::optional<QString>(u"Synced 2 cards!"_s);
}

void TestPinlarkSyncPanel::invalidCodeChangesNothing()
{
    QFETCH(QString, typed);
    QFETCH(std::optional<QString>, statusBefore);

    store().setSyncStatusMessage(statusBefore);
    QLineEdit *field = panel().codeField();
    field->clear();
    QTest::keyClicks(field, typed);
    QSignalSpy changes(&store(), &PinlarkStore::aboutToChange);
    QTest::mouseClick(syncButton(), Qt::LeftButton);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(store().passportCode(), storedCode);
    QCOMPARE(statusLine()->isHidden(), !statusBefore.has_value());
    QCOMPARE(field->text(), typed);
    QVERIFY(field->isEnabled());
}

void TestPinlarkSyncPanel::returnInTheFieldStartsNothing()
{
    QLineEdit *field = panel().codeField();
    QTest::keyClicks(field, u"X"_s);
    QSignalSpy changes(&store(), &PinlarkStore::aboutToChange);
    QTest::keyClick(field, Qt::Key_Return);
    QTest::keyClick(field, Qt::Key_Enter);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(field->text(), storedCode + u"X"_s);
    QVERIFY(field->hasFocus());
}

void TestPinlarkSyncPanel::copyCodeCopiesTheFieldAsTyped()
{
    auto *copy = part<CardButton>(u"copyCodeButton"_s);
    QLineEdit *field = panel().codeField();
    QTest::mouseClick(copy, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_Backspace);
    QTest::keyClicks(field, u" z"_s);
    QTest::mouseClick(copy, Qt::LeftButton);
    field->clear();
    QTest::mouseClick(copy, Qt::LeftButton);
    QCOMPARE(m_clipboard.texts, (QStringList{storedCode, u"PLK-7KQ2M z"_s, QString()}));
    // The stored code is not touched by a copy.
    QCOMPARE(store().passportCode(), storedCode);

    // Without a clipboard, Copy Code does nothing at all.
    showPanel(nullptr);
    QTest::mouseClick(part<CardButton>(u"copyCodeButton"_s), Qt::LeftButton);
    QCOMPARE(m_clipboard.texts.size(), 3);
}

void TestPinlarkSyncPanel::closingClicks_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<bool>("closes");

    QTest::newRow("Close") << u"close button"_s << Qt::LeftButton << true;
    QTest::newRow("backdrop above the card") << u"above card"_s << Qt::LeftButton << true;
    QTest::newRow("backdrop beside the card") << u"beside card"_s << Qt::LeftButton << true;
    QTest::newRow("backdrop, right button") << u"above card"_s << Qt::RightButton << false;
    QTest::newRow("card margin") << u"card margin"_s << Qt::LeftButton << false;
    QTest::newRow("title") << u"title"_s << Qt::LeftButton << false;
    QTest::newRow("between the buttons") << u"row gap"_s << Qt::LeftButton << false;
    QTest::newRow("disabled field") << u"disabled field"_s << Qt::LeftButton << false;
}

void TestPinlarkSyncPanel::closingClicks()
{
    QFETCH(QString, where);
    QFETCH(Qt::MouseButton, button);
    QFETCH(bool, closes);

    // Points of the panel; the click goes to what lies there, as the window system does it.
    const QRect card = panel().card()->geometry();
    const auto centreOf = [this](const QString &name) {
        auto *part = panel().findChild<QWidget *>(name);
        return part->mapTo(&panel(), part->rect().center());
    };
    QPoint at;
    if (where == u"close button") {
        at = centreOf(u"closeButton"_s);
    } else if (where == u"above card") {
        at = QPoint(card.center().x(), card.top() / 2);
    } else if (where == u"beside card") {
        at = QPoint(card.left() / 2, card.center().y());
    } else if (where == u"card margin") {
        at = card.topLeft() + QPoint(6, 6);
    } else if (where == u"title") {
        at = centreOf(u"syncTitle"_s);
    } else if (where == u"row gap") {
        at = QPoint((centreOf(u"copyCodeButton"_s).x() + centreOf(u"closeButton"_s).x()) / 2,
                    centreOf(u"closeButton"_s).y());
    } else if (where == u"disabled field") {
        store().setIsSyncing(true);
        at = centreOf(u"passportCodeField"_s);
    }
    QWidget *target = panel().childAt(at);
    if (!target)
        target = &panel();
    QCOMPARE(target == &panel(), !card.contains(at));
    QTest::mouseClick(target, button, {}, target->mapFrom(&panel(), at));
    QCOMPARE(store().showSync(), !closes);
}

void TestPinlarkSyncPanel::lastSyncedText_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");

    // Local times, against a "now" of Dec 11, 2026, 09:30.
    const auto at = [](int year, int month, int day, int hour, int minute) {
        return QDateTime(QDate(year, month, day), QTime(hour, minute));
    };
    QTest::newRow("never") << QDateTime() << u"Not synced on this computer yet"_s;
    QTest::newRow("just now") << at(2026, 12, 11, 9, 30) << u"Last synced 09:30"_s;
    QTest::newRow("after midnight") << at(2026, 12, 11, 0, 5) << u"Last synced 00:05"_s;
    QTest::newRow("yesterday, late") << at(2026, 12, 10, 23, 59) << u"Last synced Dec 10, 23:59"_s;
    QTest::newRow("new year's day") << at(2026, 1, 1, 14, 3) << u"Last synced Jan 1, 14:03"_s;
    QTest::newRow("last year") << at(2025, 12, 31, 23, 59) << u"Last synced Dec 31, 2025"_s;
    QTest::newRow("a year ago today") << at(2025, 12, 11, 9, 30) << u"Last synced Dec 11, 2025"_s;
}

void TestPinlarkSyncPanel::lastSyncedText()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    const QDateTime now(QDate(2026, 12, 11), QTime(9, 30));
    QCOMPARE(PinlarkSyncPanel::lastSyncedText(when, now), text);
    // The same instant given in UTC reads the same: the day is the local one.
    QCOMPARE(PinlarkSyncPanel::lastSyncedText(when.toUTC(), now.toUTC()), text);
}

void TestPinlarkSyncPanel::lastSyncedLineFollowsTheStore()
{
    QLabel *line = lastSyncedLine();
    const int heightBefore = panel().card()->height();
    const QDateTime synced = QDateTime::currentDateTimeUtc().addSecs(-90);
    store().setLastSyncedAt(synced);
    const QString expected = u"Last synced "_s + synced.toLocalTime().toString(u"HH:mm"_s);
    // Unless the test ran across midnight, when the line names the day.
    if (synced.toLocalTime().date() == QDate::currentDate()) {
        QCOMPARE(line->text(), expected);
        QCOMPARE(line->accessibleName(), expected);
    }
    store().setLastSyncedAt(QDateTime());
    QCOMPARE(line->text(), u"Not synced on this computer yet"_s);
    QCOMPARE(line->accessibleName(), u"Not synced on this computer yet"_s);
    QVERIFY(line->isVisible());
    QCoreApplication::processEvents();
    QCOMPARE(panel().card()->height(), heightBefore);
}

void TestPinlarkSyncPanel::syncAutomaticallyBoxFollowsTheStore()
{
    QCheckBox *box = automaticBox();
    QSignalSpy changes(&store(), &PinlarkStore::syncAutomaticallyChanged);
    QVERIFY(store().syncAutomatically());
    QVERIFY(box->isChecked());

    // A click anywhere on the line turns it off in the store, and in the settings.
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->width() - 4, box->height() / 2));
    QVERIFY(!box->isChecked());
    QVERIFY(!store().syncAutomatically());
    QCOMPARE(changes.count(), 1);

    // Tab after Sync Now reaches it; Space turns it on again.
    syncButton()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(syncButton(), Qt::Key_Tab);
    QVERIFY(box->hasFocus());
    QTest::keyClick(box, Qt::Key_Space);
    QVERIFY(store().syncAutomatically());
    QCOMPARE(changes.count(), 2);

    // The store's value shows, and a sync running leaves the setting to the user.
    store().setSyncAutomatically(false);
    QVERIFY(!box->isChecked());
    store().setIsSyncing(true);
    QVERIFY(box->isEnabled());
    QTest::keyClick(box, Qt::Key_Space);
    QVERIFY(store().syncAutomatically());
    QCOMPARE(changes.count(), 4);
}

void TestPinlarkSyncPanel::tabStaysInThePanel()
{
    QLineEdit *field = panel().codeField();
    auto *copy = part<CardButton>(u"copyCodeButton"_s);
    auto *close = part<CardButton>(u"closeButton"_s);
    CardButton *sync = syncButton();
    QCheckBox *automatic = automaticBox();

    const auto tabs = [](int count, bool forward) {
        QStringList visited;
        for (int i = 0; i < count; ++i) {
            QTest::keyClick(QApplication::focusWidget(), forward ? Qt::Key_Tab : Qt::Key_Backtab,
                            forward ? Qt::NoModifier : Qt::ShiftModifier);
            visited.append(QApplication::focusWidget()->objectName());
        }
        return visited;
    };
    QCOMPARE(tabs(5, true),
             (QStringList{copy->objectName(), close->objectName(), sync->objectName(),
                          automatic->objectName(), field->objectName()}));
    QCOMPARE(tabs(5, false),
             (QStringList{automatic->objectName(), sync->objectName(), close->objectName(),
                          copy->objectName(), field->objectName()}));

    // While a sync runs the field and Sync Now are out of the round.
    store().setIsSyncing(true);
    QVERIFY(copy->hasFocus() || close->hasFocus());
    copy->setFocus();
    QCOMPARE(tabs(3, true),
             (QStringList{close->objectName(), automatic->objectName(), copy->objectName()}));
    QCOMPARE(tabs(2, true), (QStringList{close->objectName(), automatic->objectName()}));
    // The focus was moved on by the sync, then by the user: it stays where the user put it.
    store().setIsSyncing(false);
    QVERIFY(automatic->hasFocus());
    QVERIFY(!m_outside->hasFocus());
}

void TestPinlarkSyncPanel::focusRingOnTheField()
{
    // The field's outline (ink, 1.5 wide) is the same whether it has the focus or not, and no
    // highlight-coloured frame covers it; focus shows as a ring inside it.
    QLineEdit *field = panel().codeField();
    const QColor highlight = field->palette().color(QPalette::Highlight);
    QVERIFY(field->hasFocus());
    const QImage focused = field->grab().toImage();
    m_outside->setFocus();
    QTRY_VERIFY(!field->hasFocus());
    const QImage unfocused = field->grab().toImage();
    QCOMPARE(focused.size(), field->size());

    // Points along the straight part of each edge, `depth` pixels in from it.
    const int w = field->width();
    const int h = field->height();
    const auto edgePoints = [&](int depth) {
        QList<QPoint> points;
        for (int x = 12; x < w - 12; ++x)
            points << QPoint(x, depth) << QPoint(x, h - 1 - depth);
        for (int y = 12; y < h - 12; ++y)
            points << QPoint(depth, y) << QPoint(w - 1 - depth, y);
        return points;
    };
    for (const int depth : {0, 1}) {
        for (const QPoint point : edgePoints(depth)) {
            const QRgb pixel = focused.pixel(point);
            const QByteArray where =
                QByteArray::number(point.x()) + ',' + QByteArray::number(point.y());
            QVERIFY2(pixel == unfocused.pixel(point), where.constData());
            QVERIFY2(pixel != highlight.rgb(), where.constData());
            if (depth == 0)
                QVERIFY2(pixel == NotePastel::ink().rgb(), where.constData());
        }
    }
    // The ring, just inside the outline, only while the field has the focus.
    const QPoint inside(w / 2, 2);
    QCOMPARE(focused.pixelColor(inside).rgb(), highlight.rgb());
    QCOMPARE(unfocused.pixelColor(inside).rgb(), QColor(Qt::white).rgb());
    QCOMPARE(focused.pixelColor(w / 2, 6).rgb(), QColor(Qt::white).rgb());
}

void TestPinlarkSyncPanel::escapeIsLeftToTheWindow()
{
    // The app closes the panel on Escape; nothing in the panel may take the key first.
    KeyRecorder recorder;
    m_window->installEventFilter(&recorder);
    QTest::keyClick(panel().codeField(), Qt::Key_Escape);
    QTest::keyClick(syncButton(), Qt::Key_Escape);
    QTest::keyClick(part<CardButton>(u"closeButton"_s), Qt::Key_Escape, Qt::ShiftModifier);
    QCOMPARE(recorder.keys.count(Qt::Key_Escape), 3);
    QVERIFY(store().showSync());
}

void TestPinlarkSyncPanel::namedForAssistiveTechnology()
{
    QCOMPARE(panel().codeField()->accessibleName(), u"Passport code"_s);
    const QStringList buttons = {u"copyCodeButton"_s, u"closeButton"_s, u"syncNowButton"_s};
    for (const QString &name : buttons) {
        auto *button = part<CardButton>(name);
        QCOMPARE(button->accessibleName(), button->text());
        QVERIFY2(!button->accessibleDescription().isEmpty(), qPrintable(name));
    }
    QVERIFY(!panel().codeField()->accessibleDescription().isEmpty());
    QAccessibleInterface *automatic = QAccessible::queryAccessibleInterface(automaticBox());
    QVERIFY(automatic);
    QCOMPARE(automatic->role(), QAccessible::CheckBox);
    QCOMPARE(automatic->text(QAccessible::Name), u"Sync automatically"_s);
    QVERIFY(automatic->state().checked);
    QVERIFY(!automatic->text(QAccessible::Description).isEmpty());
    QAccessibleInterface *lastSynced = QAccessible::queryAccessibleInterface(lastSyncedLine());
    QVERIFY(lastSynced);
    QCOMPARE(lastSynced->text(QAccessible::Name), u"Not synced on this computer yet"_s);

    QAccessibleInterface *group = QAccessible::queryAccessibleInterface(panel().card());
    QVERIFY(group);
    QCOMPARE(group->role(), QAccessible::Grouping);
    QCOMPARE(group->text(QAccessible::Name), u"Vault Sync"_s);
    QAccessibleInterface *field = QAccessible::queryAccessibleInterface(panel().codeField());
    QVERIFY(field);
    QCOMPARE(field->role(), QAccessible::EditableText);
    QCOMPARE(field->text(QAccessible::Name), u"Passport code"_s);
    QCOMPARE(field->parent()->object(), panel().card());

    // The status line is announced by what it says, and follows it.
    store().setSyncStatusMessage(u"Synced 4 cards!"_s);
    QAccessibleInterface *status = QAccessible::queryAccessibleInterface(statusLine());
    QVERIFY(status);
    QCOMPARE(status->text(QAccessible::Name), u"Synced 4 cards!"_s);
    store().setSyncStatusMessage(u"Sync error: Vault pull HTTP 500"_s);
    QCOMPARE(status->text(QAccessible::Name), u"Sync error: Vault pull HTTP 500"_s);
}

void TestPinlarkSyncPanel::renderStates()
{
    // Pictures of the panel over the card view, for people to look at; the checks are only
    // that the panel covers the view.
    const QString folder = QString::fromUtf8(PINLARK_RENDER_DIR);
    QVERIFY(QDir().mkpath(folder));
    m_window.reset();
    store().setShowSync(false);
    store().setPassportCode(storedCode);
    PinlarkCardView view(store(), {});
    view.resize(PinlarkCardView::viewWidth, 430);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    store().setShowSync(true);
    QVERIFY(view.syncPanel());
    QCOMPARE(view.syncPanel()->geometry(), view.rect());

    const auto save = [&](const QString &name) {
        QCoreApplication::processEvents();
        return view.grab().save(folder + u"/"_s + name);
    };
    // Synced earlier today, at the same time whenever the pictures are made.
    store().setLastSyncedAt(QDateTime(QDate::currentDate(), QTime(14, 3)));
    QVERIFY(save(u"sync-panel-idle.png"_s));
    store().setIsSyncing(true);
    store().setSyncStatusMessage(u"Syncing with Vault\u2026"_s);
    QVERIFY(save(u"sync-panel-syncing.png"_s));
    store().setIsSyncing(false);
    store().setSyncStatusMessage(u"Sync error: Connection refused"_s);
    QVERIFY(save(u"sync-panel-error.png"_s));
}

QTEST_MAIN(TestPinlarkSyncPanel)
#include "tst_pinlarksyncpanel.moc"
