#include "tests/support/TestPrinters.h"
#include "vault/PinlarkVaultSync.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// A card written as "id@updatedAt" with "*" for pinned or "!" for an explicit false. Every
// other field tells where the card came from ("L0" is the first local card, "R1" the second
// remote one), so a result shows which copy won and that it was taken whole.
NoteCard parseCard(const QString &shorthand, const QString &origin)
{
    QString text = shorthand;
    NoteCard card;
    if (text.endsWith(u'*'))
        card.isPinned = true;
    else if (text.endsWith(u'!'))
        card.isPinned = false;
    if (card.isPinned)
        text.chop(1);
    const qsizetype at = text.indexOf(u'@');
    card.id = text.left(at);
    card.updatedAt = Timestamp{text.mid(at + 1).toDouble()};
    card.content = origin;
    card.color = origin.startsWith(u'L') ? u"mint"_s : u"sky"_s;
    card.createdAt =
        Timestamp{double(origin.mid(1).toInt()) - (origin.startsWith(u'L') ? 100 : 200)};
    return card;
}

QList<NoteCard> parseCards(const QStringList &shorthands, QChar side)
{
    QList<NoteCard> cards;
    for (qsizetype i = 0; i < shorthands.size(); ++i)
        cards.append(parseCard(shorthands.at(i), side + QString::number(i)));
    return cards;
}

// "shorthand origin", the shorthand as in the input it came from.
QList<NoteCard> parseExpected(const QStringList &rows)
{
    QList<NoteCard> cards;
    for (const QString &row : rows) {
        const QStringList parts = row.split(u' ');
        cards.append(parseCard(parts.at(0), parts.at(1)));
    }
    return cards;
}

} // namespace

class TestCardMerge final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void merge_data();
    void merge();
};

void TestCardMerge::merge_data()
{
    QTest::addColumn<QStringList>("local");
    QTest::addColumn<QStringList>("remote");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("both empty") << QStringList() << QStringList() << QStringList();
    QTest::newRow("empty remote: local de-duplicated and sorted")
        << QStringList{u"a@1"_s, u"b@3"_s, u"a@2"_s} << QStringList()
        << QStringList{u"b@3 L1"_s, u"a@2 L2"_s};
    QTest::newRow("empty local") << QStringList() << QStringList{u"a@1"_s, u"b@2*"_s}
                                 << QStringList{u"b@2* R1"_s, u"a@1 R0"_s};
    QTest::newRow("one card on each side survives")
        << QStringList{u"a@1"_s} << QStringList{u"b@2"_s} << QStringList{u"b@2 R0"_s, u"a@1 L0"_s};
    QTest::newRow("remote one second later wins whole")
        << QStringList{u"a@10!"_s} << QStringList{u"a@11*"_s} << QStringList{u"a@11* R0"_s};
    QTest::newRow("equal times: local wins")
        << QStringList{u"a@10"_s} << QStringList{u"a@10*"_s} << QStringList{u"a@10 L0"_s};
    QTest::newRow("local newer wins")
        << QStringList{u"a@12"_s} << QStringList{u"a@11*"_s} << QStringList{u"a@12 L0"_s};
    QTest::newRow("newer unpinned copy beats older pinned one")
        << QStringList{u"a@10*"_s} << QStringList{u"a@11"_s} << QStringList{u"a@11 R0"_s};
    QTest::newRow("later local copy replaces an earlier, newer one")
        << QStringList{u"a@20"_s, u"a@5"_s} << QStringList() << QStringList{u"a@5 L1"_s};
    QTest::newRow("remote is weighed against the later local copy")
        << QStringList{u"a@20"_s, u"a@5"_s} << QStringList{u"a@10"_s} << QStringList{u"a@10 R0"_s};
    QTest::newRow("two remote copies tied: the first stays")
        << QStringList() << QStringList{u"a@10"_s, u"a@10*"_s} << QStringList{u"a@10 R0"_s};
    QTest::newRow("two remote copies: the later edit wins")
        << QStringList() << QStringList{u"a@10"_s, u"a@12"_s} << QStringList{u"a@12 R1"_s};
    QTest::newRow("remote copies against local: only a strictly later one wins")
        << QStringList{u"a@10"_s} << QStringList{u"a@9"_s, u"a@10*"_s, u"a@11!"_s, u"a@10.5"_s}
        << QStringList{u"a@11! R2"_s};
    QTest::newRow("ids compared exactly")
        << QStringList{u"a@1"_s} << QStringList{u"A@2"_s} << QStringList{u"A@2 R0"_s, u"a@1 L0"_s};
    QTest::newRow("pinned first, each group newest first")
        << QStringList{u"a@1"_s, u"b@5*"_s, u"c@3!"_s, u"d@2*"_s}
        << QStringList{u"e@4"_s, u"f@6*"_s, u"g@-1*"_s}
        << QStringList{u"f@6* R1"_s, u"b@5* L1"_s, u"d@2* L3"_s, u"g@-1* R2"_s,
                       u"e@4 R0"_s,  u"c@3! L2"_s, u"a@1 L0"_s};
}

void TestCardMerge::merge()
{
    QFETCH(QStringList, local);
    QFETCH(QStringList, remote);
    QFETCH(QStringList, expected);

    const QList<NoteCard> merged =
        PinlarkVaultSync::merge(parseCards(local, u'L'), parseCards(remote, u'R'));
    QCOMPARE(merged, parseExpected(expected));
}

QTEST_GUILESS_MAIN(TestCardMerge)
#include "tst_cardmerge.moc"
