#include "app/PopupWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

class TestPopupWindow final : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void noScreenAtPoint();
};

void TestPopupWindow::placement_data()
{
    QTest::addColumn<QRect>("anchor");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("expected");
    const QRect screen(0, 0, 1280, 800);
    // A 22 x 22 icon: centred under it, 4 px below.
    QTest::newRow("under the icon") << QRect(600, 2, 22, 22) << screen << QPoint(401, 28);
    QTest::newRow("right corner: kept on screen")
        << QRect(1250, 2, 22, 22) << screen << QPoint(860, 28);
    QTest::newRow("left corner: kept on screen") << QRect(0, 2, 22, 22) << screen << QPoint(0, 28);
    QTest::newRow("panel at the bottom: over the icon")
        << QRect(1000, 776, 22, 22) << screen << QPoint(801, 342);
    QTest::newRow("pointer") << QRect(640, 400, 1, 1) << screen << QPoint(430, 370);
    QTest::newRow("second screen to the right")
        << QRect(2500, 2, 22, 22) << QRect(1280, 0, 1280, 1024) << QPoint(2140, 28);
    QTest::newRow("screen smaller than the popup")
        << QRect(100, 2, 22, 22) << QRect(0, 0, 300, 300) << QPoint(0, 0);
    QTest::newRow("no screen known: nothing clamped")
        << QRect(-50, -50, 22, 22) << QRect() << QPoint(-249, -24);
}

void TestPopupWindow::placement()
{
    QFETCH(QRect, anchor);
    QFETCH(QRect, available);
    QFETCH(QPoint, expected);
    QCOMPARE(PopupWindow::placement(anchor, PopupWindow::contentSize, available), expected);
}

void TestPopupWindow::noScreenAtPoint()
{
    // Far off every screen: the primary screen is used, and the popup opens on it.
    const QPoint nowhere(-100000, -100000);
    QCOMPARE(QGuiApplication::screenAt(nowhere), nullptr);
    QCOMPARE(PopupWindow::availableAround(nowhere),
             QGuiApplication::primaryScreen()->availableGeometry());
    PopupWindow popup;
    popup.openAt(QRect(nowhere, QSize(1, 1)));
    QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(popup.geometry()));
}

QTEST_MAIN(TestPopupWindow)
#include "tst_popupwindow.moc"
