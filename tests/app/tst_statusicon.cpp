#include "app/StatusIcon.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestStatusIcon final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void drawnCardHasShorteningLines_data();
    void drawnCardHasShorteningLines();
    void drawnCardFollowsPalette();
    void themeIconWinsWhenThemeHasOne();
};

namespace {

// Whether the pixel at (x, y) of the 18 x 18 grid, scaled to the image, is inked.
bool inked(const QImage &image, qreal x, qreal y)
{
    const qreal scale = image.width() / qreal(StatusIcon::gridSize);
    return qAlpha(image.pixel(int(x * scale), int(y * scale))) > 100;
}

QImage render(const QIcon &icon, int side, qreal dpr)
{
    return icon.pixmap(QSize(side, side), dpr).toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

void TestStatusIcon::cleanup()
{
    QGuiApplication::setPalette(QPalette());
    QIcon::setThemeName(QString());
}

void TestStatusIcon::drawnCardHasShorteningLines_data()
{
    QTest::addColumn<int>("side");
    QTest::addColumn<qreal>("dpr");
    QTest::newRow("18 at 1x") << 18 << 1.0;
    QTest::newRow("18 at 2x") << 18 << 2.0;
    QTest::newRow("22 at 1x") << 22 << 1.0;
    QTest::newRow("24 at 1.5x") << 24 << 1.5;
}

void TestStatusIcon::drawnCardHasShorteningLines()
{
    QFETCH(int, side);
    QFETCH(qreal, dpr);
    const QImage image = render(StatusIcon::drawnIcon(), side, dpr);
    // Drawn at the device's own resolution, not scaled up from a small picture.
    QCOMPARE(image.width(), qRound(side * dpr));

    // The grid's y axis points up: the lines at 11.5, 7.5 and 4.5 are 6.5, 10.5 and 13.5
    // from the top.
    QVERIFY(inked(image, 2, 9));    // left edge of the card
    QVERIFY(inked(image, 16, 9));   // right edge
    QVERIFY(inked(image, 9, 1.5));  // top edge
    QVERIFY(inked(image, 9, 16.5)); // bottom edge
    QVERIFY(!inked(image, 9, 8.5)); // inside, between two lines: empty
    QVERIFY(!inked(image, 0.5, 9)); // outside the card

    QVERIFY(inked(image, 13, 6.5));
    QVERIFY(inked(image, 11, 10.5));
    QVERIFY(!inked(image, 13, 10.5));
    QVERIFY(inked(image, 9, 13.5));
    QVERIFY(!inked(image, 11, 13.5));
}

void TestStatusIcon::drawnCardFollowsPalette()
{
    // At 72 px a grid unit is 4 px: the card's left edge is stroked from 1.3 to 2.7, with a
    // halo from 0.7 to 1.3 outside it.
    for (const QColor ink : {QColor(Qt::black), QColor(Qt::white)}) {
        QPalette palette;
        palette.setColor(QPalette::WindowText, ink);
        QGuiApplication::setPalette(palette);
        const QImage image = render(StatusIcon::drawnIcon(), 72, 1.0);
        const QColor edge = image.pixelColor(8, 36);
        QCOMPARE(edge.alpha(), 255);
        QCOMPARE(edge.rgb(), ink.rgb());
        // The halo has the opposite lightness, so the card shows on any panel.
        const QColor halo = image.pixelColor(4, 36);
        QVERIFY2(halo.alpha() > 60, qPrintable(halo.name(QColor::HexArgb)));
        QCOMPARE(halo.lightness() > 128, ink.lightness() < 128);
    }
}

void TestStatusIcon::themeIconWinsWhenThemeHasOne()
{
    QVERIFY(!StatusIcon::icon().isNull());
    // Without the theme's picture, the drawn card: ink on the left edge.
    QIcon::setThemeName(u"pinlark-test-empty"_s);
    QVERIFY(inked(render(StatusIcon::icon(), 18, 1.0), 2, 9));

    QTemporaryDir themes;
    QVERIFY(themes.isValid());
    const QString theme = themes.filePath(u"pinlark-test"_s);
    QVERIFY(QDir().mkpath(theme + u"/22x22/status"_s));
    QFile index(theme + u"/index.theme"_s);
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=pinlark-test\nDirectories=22x22/status\n\n"
                "[22x22/status]\nSize=22\nContext=Status\nType=Fixed\n");
    index.close();
    QImage red(22, 22, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(theme + u"/22x22/status/plk-menubar.png"_s));

    QIcon::setThemeSearchPaths({themes.path()});
    QIcon::setThemeName(u"pinlark-test"_s);
    const QImage image = render(StatusIcon::icon(), 22, 1.0);
    QCOMPARE(image.pixelColor(1, 1).rgb(), QColor(Qt::red).rgb());
}

QTEST_MAIN(TestStatusIcon)
#include "tst_statusicon.moc"
