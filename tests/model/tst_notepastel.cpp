#include "model/NotePastel.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestNotePastel final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keys();
    void colorFor_data();
    void colorFor();
};

void TestNotePastel::keys()
{
    QCOMPARE(NotePastel::allKeys(),
             (QStringList{u"yellow"_s, u"mint"_s, u"lavender"_s, u"peach"_s, u"sky"_s}));
}

void TestNotePastel::colorFor_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QColor>("color");

    QTest::newRow("yellow") << u"yellow"_s << NotePastel::yellow();
    QTest::newRow("mint") << u"mint"_s << NotePastel::mint();
    QTest::newRow("lavender") << u"lavender"_s << NotePastel::lavender();
    QTest::newRow("peach") << u"peach"_s << NotePastel::peach();
    QTest::newRow("sky") << u"sky"_s << NotePastel::sky();
    QTest::newRow("capital") << u"Mint"_s << NotePastel::yellow();
    QTest::newRow("leading space") << u" mint"_s << NotePastel::yellow();
    QTest::newRow("empty") << QString() << NotePastel::yellow();
    QTest::newRow("surface tone") << u"paper"_s << NotePastel::yellow();
    QTest::newRow("text tone") << u"ink"_s << NotePastel::yellow();
    QTest::newRow("cardBg") << u"cardBg"_s << NotePastel::yellow();
}

void TestNotePastel::colorFor()
{
    QFETCH(QString, key);
    QFETCH(QColor, color);
    QCOMPARE(NotePastel::colorFor(key), color);
}

QTEST_GUILESS_MAIN(TestNotePastel)
#include "tst_notepastel.moc"
