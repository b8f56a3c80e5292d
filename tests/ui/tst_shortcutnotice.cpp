#include "store/PinlarkStore.h"
#include "store/ShortcutSetup.h"
#include "ui/CardButton.h"
#include "ui/PinlarkCardView.h"
#include "ui/ShortcutNoticeBand.h"

#include <QLabel>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Holds the setup's completion until the test answers it.
class FakeShortcutSetup final : public ShortcutSetup
{
public:
    void setUp(Completion done) override
    {
        ++calls;
        pending = std::move(done);
    }
    int calls = 0;
    Completion pending;
};

} // namespace

// The store's shortcut notice and its band in the card view, over a fake desktop setup.
class TestShortcutNotice final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void noticeOffersSetupWhereTheDesktopHasOne_data();
    void noticeOffersSetupWhereTheDesktopHasOne();
    void noticeIsRememberedOnceOnScreen();
    void setupOutcomeIsShown_data();
    void setupOutcomeIsShown();
    void closeButtonPutsItAway();

private:
    void makeStore(bool withSetup);
    [[nodiscard]] ShortcutNoticeBand *band() const { return m_view->shortcutNotice(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    FakeShortcutSetup m_setup;
    std::unique_ptr<PinlarkStore> m_store;
    std::unique_ptr<PinlarkCardView> m_view;
};

void TestShortcutNotice::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_setup.calls = 0;
    m_setup.pending = nullptr;
}

void TestShortcutNotice::cleanup()
{
    m_view.reset();
    m_store.reset();
    m_dir.reset();
}

void TestShortcutNotice::makeStore(bool withSetup)
{
    m_view.reset();
    PinlarkStore::Environment environment;
    environment.notesFolder = m_dir->filePath(u"notes"_s);
    environment.settingsFile = m_dir->filePath(u"settings.ini"_s);
    environment.log = [](const QString &) {};
    environment.shortcutSetup = withSetup ? &m_setup : nullptr;
    m_store = std::make_unique<PinlarkStore>(environment);
    m_view = std::make_unique<PinlarkCardView>(*m_store, PinlarkCardView::Services{});
}

void TestShortcutNotice::noticeOffersSetupWhereTheDesktopHasOne_data()
{
    QTest::addColumn<bool>("withSetup");
    QTest::addColumn<PinlarkStore::ShortcutNotice>("notice");
    QTest::addColumn<QString>("says");
    QTest::addRow("setup") << true << PinlarkStore::ShortcutNotice::Offer
                           << u"Set up another key"_s;
    QTest::addRow("by hand") << false << PinlarkStore::ShortcutNotice::Steps
                             << u"bind \"pinlark --toggle\""_s;
}

void TestShortcutNotice::noticeOffersSetupWhereTheDesktopHasOne()
{
    QFETCH(bool, withSetup);
    QFETCH(PinlarkStore::ShortcutNotice, notice);
    QFETCH(QString, says);
    makeStore(withSetup);
    m_view->show();
    QVERIFY(band()->isHidden());
    QVERIFY(m_store->offerShortcutSetup());
    QCOMPARE(m_store->shortcutNotice(), notice);
    QVERIFY(band()->isVisible());
    QVERIFY2(band()->textLabel()->text().contains(says), qPrintable(band()->textLabel()->text()));
    QVERIFY(band()->textLabel()->text().contains(u"Alt+Space"_s));
    QCOMPARE(band()->actionButton()->isVisible(), withSetup);
    QCOMPARE(band()->actionButton()->text(), u"Set Up Shortcut"_s);
}

void TestShortcutNotice::noticeIsRememberedOnceOnScreen()
{
    makeStore(true);
    // Offered while the popup is closed: not seen yet, so a later start offers it again.
    QVERIFY(m_store->offerShortcutSetup());
    QVERIFY(!m_store->shortcutNoticeWasSeen());
    makeStore(true);
    QVERIFY(m_store->offerShortcutSetup());
    m_view->show();
    QVERIFY(m_store->shortcutNoticeWasSeen());
    const QSettings settings(m_dir->filePath(u"settings.ini"_s), QSettings::IniFormat);
    QVERIFY(settings.value(PinlarkStore::shortcutNoticeKey).toBool());
    // The next start says nothing.
    makeStore(true);
    m_view->show();
    QVERIFY(!m_store->offerShortcutSetup());
    QCOMPARE(m_store->shortcutNotice(), PinlarkStore::ShortcutNotice::None);
    QVERIFY(band()->isHidden());
}

void TestShortcutNotice::setupOutcomeIsShown_data()
{
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<PinlarkStore::ShortcutNotice>("notice");
    QTest::addColumn<QString>("text");
    QTest::addRow("done") << true << u"Ctrl+Alt+Space"_s << PinlarkStore::ShortcutNotice::Done
                          << u"Ctrl+Alt+Space now opens Pinlark."_s;
    QTest::addRow("failed") << false << u"dconf did not keep it."_s
                            << PinlarkStore::ShortcutNotice::Failed
                            << u"Could not set up a shortcut: dconf did not keep it. Bind "
                               u"\"pinlark --toggle\" to a key in your desktop's keyboard "
                               u"shortcut settings."_s;
}

void TestShortcutNotice::setupOutcomeIsShown()
{
    QFETCH(bool, succeeds);
    QFETCH(QString, answer);
    QFETCH(PinlarkStore::ShortcutNotice, notice);
    QFETCH(QString, text);
    makeStore(true);
    m_view->show();
    QVERIFY(m_store->offerShortcutSetup());
    QTest::mouseClick(band()->actionButton(), Qt::LeftButton);
    QCOMPARE(m_setup.calls, 1);
    QCOMPARE(m_store->shortcutNotice(), PinlarkStore::ShortcutNotice::SettingUp);
    QVERIFY(!band()->actionButton()->isVisible());
    QVERIFY(!band()->closeButton()->isEnabled());
    // A second press while it runs starts nothing.
    m_store->setUpShortcut();
    QCOMPARE(m_setup.calls, 1);

    m_setup.pending(succeeds ? Result<QString>(answer) : Result<QString>::failure(answer));
    QCOMPARE(m_store->shortcutNotice(), notice);
    QCOMPARE(band()->textLabel()->text(), text);
    QVERIFY(!band()->actionButton()->isVisible());
    QVERIFY(band()->closeButton()->isEnabled());
}

void TestShortcutNotice::closeButtonPutsItAway()
{
    makeStore(true);
    QVERIFY(m_store->offerShortcutSetup());
    QVERIFY(!m_store->shortcutNoticeWasSeen());
    m_store->dismissShortcutNotice();
    QCOMPARE(m_store->shortcutNotice(), PinlarkStore::ShortcutNotice::None);
    QVERIFY(m_store->shortcutNoticeWasSeen());
    makeStore(true);
    m_view->show();
    QVERIFY(!m_store->offerShortcutSetup());

    // And by its button.
    m_dir = std::make_unique<QTemporaryDir>();
    makeStore(false);
    m_view->show();
    QVERIFY(m_store->offerShortcutSetup());
    QTest::mouseClick(band()->closeButton(), Qt::LeftButton);
    QVERIFY(band()->isHidden());
    QCOMPARE(m_setup.calls, 0);
}

QTEST_MAIN(TestShortcutNotice)
#include "tst_shortcutnotice.moc"
