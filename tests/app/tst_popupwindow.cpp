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
    QTest::addColumn<QRect>("expected");
    const QRect screen(0, 0, 1280, 800);
    const QSize full = PopupWindow::contentSize;
    // A 22 x 22 icon: centred under it, 4 px below.
    QTest::newRow("under the icon")
        << QRect(600, 2, 22, 22) << screen << QRect(QPoint(401, 28), full);
    QTest::newRow("right corner: kept on screen")
        << QRect(1250, 2, 22, 22) << screen << QRect(QPoint(860, 28), full);
    QTest::newRow("left corner: kept on screen")
        << QRect(0, 2, 22, 22) << screen << QRect(QPoint(0, 28), full);
    // The panel's strip is outside the free area, as panels reserve it.
    QTest::newRow("panel at the top, outside the free area")
        << QRect(1200, 2, 22, 22) << QRect(0, 28, 1280, 772) << QRect(QPoint(860, 28), full);
    QTest::newRow("panel at the bottom: over the icon")
        << QRect(1000, 776, 22, 22) << screen << QRect(QPoint(801, 342), full);
    QTest::newRow("panel at the bottom, outside the free area: over the icon")
        << QRect(1000, 776, 22, 22) << QRect(0, 0, 1280, 772) << QRect(QPoint(801, 342), full);
    QTest::newRow("panel at the left: beside the icon")
        << QRect(3, 400, 22, 22) << QRect(28, 0, 1252, 800) << QRect(QPoint(29, 196), full);
    QTest::newRow("panel at the right: beside the icon")
        << QRect(1255, 400, 22, 22) << QRect(0, 0, 1252, 800) << QRect(QPoint(831, 196), full);
    QTest::newRow("panel at the right, icon at its top: under it")
        << QRect(1255, 5, 22, 22) << QRect(0, 0, 1252, 800) << QRect(QPoint(832, 31), full);
    QTest::newRow("panel at the right, icon at its bottom: over it")
        << QRect(1255, 770, 22, 22) << QRect(0, 0, 1252, 800) << QRect(QPoint(832, 336), full);
    // The pointer in the middle of the screen: neither 430 above nor below, so beside it.
    QTest::newRow("pointer") << QRect(640, 400, 1, 1) << screen << QRect(QPoint(645, 185), full);
    QTest::newRow("second screen to the right")
        << QRect(2500, 2, 22, 22) << QRect(1280, 0, 1280, 1024) << QRect(QPoint(2140, 28), full);
    // 1280 x 800 at scale factor 2 is 640 x 400 logical pixels; a 26-pixel panel reserves 13 of
    // them. 385 below the icon hold what the content needs (360 here): it shrinks there.
    QTest::newRow("scale 2, 1280x800, panel at the top")
        << QRect(564, 1, 10, 10) << QRect(0, 13, 640, 387) << QRect(220, 15, 420, 385);
    QTest::newRow("scale 2, 1280x800, no panel reserved")
        << QRect(564, 1, 10, 10) << QRect(0, 0, 640, 400) << QRect(220, 15, 420, 385);
    QTest::newRow("scale 2, 1280x800, panel at the bottom")
        << QRect(564, 389, 10, 10) << QRect(0, 0, 640, 387) << QRect(220, 0, 420, 385);
    // At scale 1.5 the same screen is 853 x 533: the whole popup fits under the icon.
    QTest::newRow("scale 1.5, 1280x800")
        << QRect(752, 1, 15, 15) << QRect(0, 17, 853, 516) << QRect(QPoint(433, 20), full);
    // 1024 x 600 at scale 2: 512 x 300, nowhere 360 high. The largest popup that fits: the
    // 287 rows beside the icon beat the 285 under it.
    QTest::newRow("scale 2, 1024x600: shrunk to the largest room")
        << QRect(440, 1, 10, 10) << QRect(0, 13, 512, 287) << QRect(16, 13, 420, 287);
    QTest::newRow("screen narrower than the popup: narrower too")
        << QRect(300, 2, 22, 22) << QRect(0, 28, 400, 772) << QRect(0, 28, 400, 430);
    QTest::newRow("screen smaller than the popup")
        << QRect(100, 2, 22, 22) << QRect(0, 0, 300, 300) << QRect(0, 28, 300, 272);
    QTest::newRow("no screen known: nothing clamped")
        << QRect(-50, -50, 22, 22) << QRect() << QRect(QPoint(-249, -24), full);
}

void TestPopupWindow::placement()
{
    QFETCH(QRect, anchor);
    QFETCH(QRect, available);
    QFETCH(QRect, expected);
    const QSize minimum(PopupWindow::contentSize.width(), 360);
    const QRect place =
        PopupWindow::placement(anchor, PopupWindow::contentSize, minimum, available);
    QCOMPARE(place, expected);
    if (available.isEmpty())
        return;
    QVERIFY2(available.contains(place), "the popup is whole on the screen's free area");
    QVERIFY2(!place.intersects(anchor), "the popup leaves the icon uncovered");
    // Never nearer the icon than the gap.
    QVERIFY(
        !place.intersects(anchor.adjusted(-PopupWindow::anchorGap + 1, -PopupWindow::anchorGap + 1,
                                          PopupWindow::anchorGap - 1, PopupWindow::anchorGap - 1)));
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
