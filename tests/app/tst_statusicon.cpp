#include "app/StatusIcon.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

class TestStatusIcon final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void drawnCardHasShorteningLines_data();
    void drawnCardHasShorteningLines();
    void drawnCardStandsOutOnAnyPanel_data();
    void drawnCardStandsOutOnAnyPanel();
    void themeIconWinsWhenThemeHasOne();
};

namespace {

QColor at(const QImage &image, qreal x, qreal y)
{
    const qreal scale = image.width() / qreal(StatusIcon::gridSize);
    return image.pixelColor(int(x * scale), int(y * scale));
}

// Whether the pixel at (x, y) of the 18 x 18 grid, scaled to the image, is dark ink.
bool inked(const QImage &image, qreal x, qreal y)
{
    const QColor pixel = at(image, x, y);
    return pixel.alpha() > 100 && pixel.lightness() < 100;
}

// The card's paper: opaque and light.
bool paper(const QImage &image, qreal x, qreal y)
{
    const QColor pixel = at(image, x, y);
    return pixel.alpha() > 200 && pixel.lightness() > 180;
}

// WCAG's relative luminance and contrast ratio.
double luminance(const QColor &colour)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
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
    QVERIFY(inked(image, 2, 9));            // left edge of the card
    QVERIFY(inked(image, 16, 9));           // right edge
    QVERIFY(inked(image, 9, 1.5));          // top edge
    QVERIFY(inked(image, 9, 16.5));         // bottom edge
    QVERIFY(paper(image, 9, 8.5));          // inside, between two lines: the yellow card
    QCOMPARE(at(image, 0.5, 9).alpha(), 0); // outside the card

    QVERIFY(inked(image, 12.5, 6.5));
    QVERIFY(inked(image, 10.5, 10.5));
    QVERIFY(paper(image, 13, 10.5));
    QVERIFY(inked(image, 8.5, 13.5));
    QVERIFY(paper(image, 11, 13.5));
}

void TestStatusIcon::drawnCardStandsOutOnAnyPanel_data()
{
    QTest::addColumn<QColor>("panel");
    QTest::addColumn<QColor>("text");
    QTest::addColumn<int>("side");

    // The application's palette need not be the panel's: a light theme under a dark top bar
    // is the common case, and the other way round happens too.
    const QColor dark(0x30, 0x30, 0x30);
    const QColor light(0xf0, 0xf0, 0xf0);
    for (const int side : {16, 22, 32}) {
        QTest::addRow("dark panel, dark text, %d px", side) << dark << QColor(Qt::black) << side;
        QTest::addRow("dark panel, light text, %d px", side) << dark << QColor(Qt::white) << side;
        QTest::addRow("light panel, dark text, %d px", side) << light << QColor(Qt::black) << side;
        QTest::addRow("light panel, light text, %d px", side) << light << QColor(Qt::white) << side;
    }
}

void TestStatusIcon::drawnCardStandsOutOnAnyPanel()
{
    QFETCH(QColor, panel);
    QFETCH(QColor, text);
    QFETCH(int, side);
    QPalette palette;
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Window, text.lightness() < 128 ? Qt::white : Qt::black);
    QGuiApplication::setPalette(palette);

    // The icon as the panel shows it: composed over the panel's colour.
    const QImage icon = render(StatusIcon::drawnIcon(), side, 1.0);
    QImage shown(icon.size(), QImage::Format_RGB32);
    shown.fill(panel);
    {
        QPainter painter(&shown);
        painter.drawImage(0, 0, icon);
    }
    // Of the pixels the card covers, a good share must stand apart from the panel by at least
    // 3:1, the contrast asked of the parts of a graphic that carry its meaning. On a dark panel
    // that is the yellow card, on a light one its ink; strokes in the panel's own lightness,
    // the old drawing, manage about 1.6:1.
    int covered = 0;
    int standing = 0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            if (qAlpha(icon.pixel(x, y)) == 0)
                continue;
            ++covered;
            if (contrast(shown.pixelColor(x, y), panel) >= 3.0)
                ++standing;
        }
    }
    QVERIFY(covered > 0);
    const double share = double(standing) / covered;
    QVERIFY2(share >= 0.3,
             qPrintable(u"%1 of %2 pixels (%3) stand out by 3:1"_s.arg(standing).arg(covered).arg(
                 share, 0, 'f', 2)));
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
