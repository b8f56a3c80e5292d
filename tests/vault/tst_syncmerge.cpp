#include "tests/support/TestPrinters.h"
#include "vault/PinlarkVaultSync.h"

#include <QTest>

#include <algorithm>
#include <initializer_list>

using namespace Qt::StringLiterals;
using PinlarkVaultSync::CardDeletion;
using PinlarkVaultSync::VaultStack;

namespace {

constexpr double day = 86'400.0;
const Timestamp now{200 * day};

QStringList L(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts)
        list.append(QString::fromUtf8(text));
    return list;
}

// "id:text@updatedAt", "*" at the end for pinned.
NoteCard parseCard(QString text)
{
    NoteCard card;
    card.isPinned = text.endsWith(u'*');
    if (*card.isPinned)
        text.chop(1);
    const qsizetype colon = text.indexOf(u':');
    const qsizetype at = text.lastIndexOf(u'@');
    card.id = text.left(colon);
    card.content = text.mid(colon + 1, at - colon - 1);
    card.color = u"mint"_s;
    card.updatedAt = Timestamp{text.mid(at + 1).toDouble()};
    card.createdAt = Timestamp{0};
    return card;
}

QList<NoteCard> parseCards(const QStringList &texts)
{
    QList<NoteCard> cards;
    for (const QString &text : texts)
        cards.append(parseCard(text));
    return cards;
}

// "id@seen/deletedAt", the deletion time in days; the deletion knows no digest.
QList<CardDeletion> parseDeletions(const QStringList &texts)
{
    QList<CardDeletion> deletions;
    for (const QString &text : texts) {
        const QStringList parts = text.split(u'@');
        const QStringList times = parts.at(1).split(u'/');
        deletions.append({parts.at(0), Timestamp{times.at(1).toDouble() * day},
                          Timestamp{times.at(0).toDouble()}, QByteArray()});
    }
    return deletions;
}

// A result written like the input; a conflict copy as "copy:" and the text it keeps.
QStringList describe(const QList<NoteCard> &cards)
{
    QStringList out;
    for (const NoteCard &card : cards) {
        if (card.content.startsWith(PinlarkVaultSync::conflictTag)) {
            out.append(u"copy:"_s + card.content.section(u'\n', 1));
            continue;
        }
        out.append(card.id + u':' + card.content + u'@' +
                   QString::number(card.updatedAt.secondsSinceReference) +
                   (card.pinned() ? u"*"_s : QString()));
    }
    out.sort();
    return out;
}

} // namespace

class TestSyncMerge final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reconcile_data();
    void reconcile();
    void oneConflictMakesOneCopyEverywhere();
    void aCopySaysWhereTheOtherEditWasMade();
};

void TestSyncMerge::reconcile_data()
{
    QTest::addColumn<QStringList>("base");
    QTest::addColumn<QStringList>("local");
    QTest::addColumn<QStringList>("localDeletions");
    QTest::addColumn<QStringList>("remote");
    QTest::addColumn<QStringList>("remoteDeletions");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("deletionsKept");

    const QStringList none;
    QTest::newRow("edited here only")
        << L({"a:x@1"}) << L({"a:y@2"}) << none << L({"a:x@1"}) << none << L({"a:y@2"}) << none;
    QTest::newRow("edited there only")
        << L({"a:x@5"}) << L({"a:x@5"}) << none << L({"a:z@6"}) << none << L({"a:z@6"}) << none;
    // Older than what was exchanged: an edit by a clock that is behind, or a client without
    // preconditions writing an old stack over a newer one. Both texts stay.
    QTest::newRow("went back to an older version there")
        << L({"a:x@5"}) << L({"a:x@5"}) << none << L({"a:z@3"}) << none << L({"a:x@5", "copy:z"})
        << none;
    QTest::newRow("edited on both: later stays, other copied")
        << L({"a:x@1"}) << L({"a:y@2"}) << none << L({"a:z@3"}) << none << L({"a:z@3", "copy:y"})
        << none;
    QTest::newRow("edited on both at the same time: the local one stays")
        << L({"a:x@1"}) << L({"a:y@2"}) << none << L({"a:z@2"}) << none << L({"a:y@2", "copy:z"})
        << none;
    QTest::newRow("edited on both into the same text: no copy")
        << L({"a:x@1"}) << L({"a:y@2"}) << none << L({"a:y@3"}) << none << L({"a:y@3"}) << none;
    QTest::newRow("never exchanged, texts differ: both kept")
        << none << L({"a:y@2"}) << none << L({"a:z@3"}) << none << L({"a:z@3", "copy:y"}) << none;
    QTest::newRow("never exchanged, same text: one card")
        << none << L({"a:y@2"}) << none << L({"a:y@2"}) << none << L({"a:y@2"}) << none;
    QTest::newRow("a pin made here wins over a later edit there")
        << L({"a:x@1"}) << L({"a:x@1*"}) << none << L({"a:z@3"}) << none << L({"a:z@3*"}) << none;
    QTest::newRow("an unpin made there wins over an edit here")
        << L({"a:x@1*"}) << L({"a:y@2*"}) << none << L({"a:x@1"}) << none << L({"a:y@2"}) << none;
    QTest::newRow("only on one side: kept")
        << L({"a:x@1"}) << L({"a:x@1", "b:new@4"}) << none << L({"a:x@1", "c:other@5"}) << none
        << L({"a:x@1", "b:new@4", "c:other@5"}) << none;
    QTest::newRow("deleted there, unchanged here: gone")
        << L({"a:x@1", "b:keep@1"}) << L({"a:x@1", "b:keep@1"}) << none << L({"b:keep@1"})
        << L({"a@1/150"}) << L({"b:keep@1"}) << L({"a"});
    QTest::newRow("deleted there, edited here since: the edit stays")
        << L({"a:x@1"}) << L({"a:y@2"}) << none << none << L({"a@1/150"}) << L({"a:y@2"}) << none;
    QTest::newRow("deleted here, unchanged there: gone")
        << L({"a:x@1"}) << none << L({"a@1/150"}) << L({"a:x@1"}) << none << none << L({"a"});
    // An old stack written over the vault brings no edit the deletion missed.
    QTest::newRow("deleted here, the vault back at an older version: gone")
        << L({"a:x@5"}) << none << L({"a@5/150"}) << L({"a:old@3"}) << none << none << L({"a"});
    QTest::newRow("deleted here, edited there since: the edit stays")
        << L({"a:x@1"}) << none << L({"a@1/150"}) << L({"a:z@3"}) << none << L({"a:z@3"}) << none;
    QTest::newRow("never exchanged, edited after what the deletion saw")
        << none << L({"a:y@9"}) << none << none << L({"a@5/150"}) << L({"a:y@9"}) << none;
    // Its clock read earlier, but the deletion saw another version: an edit it missed.
    QTest::newRow("never exchanged, older than what the deletion saw")
        << none << L({"a:y@3"}) << none << none << L({"a@5/150"}) << L({"a:y@3"}) << none;
    QTest::newRow("never exchanged, the version the deletion saw")
        << none << L({"a:y@5"}) << none << none << L({"a@5/150"}) << none << L({"a"});
    QTest::newRow("deletions older than 90 days are forgotten")
        << L({"a:x@1"}) << L({"a:x@1"}) << none << L({"b:y@1"}) << L({"a@1/100", "c@1/120"})
        << L({"a:x@1", "b:y@1"}) << L({"c"});
}

void TestSyncMerge::reconcile()
{
    QFETCH(QStringList, base);
    QFETCH(QStringList, local);
    QFETCH(QStringList, localDeletions);
    QFETCH(QStringList, remote);
    QFETCH(QStringList, remoteDeletions);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, deletionsKept);

    const PinlarkVaultSync::Reconciled merged = PinlarkVaultSync::reconcile(
        VaultStack{parseCards(local), parseDeletions(localDeletions)},
        VaultStack{parseCards(remote), parseDeletions(remoteDeletions)},
        PinlarkVaultSync::exchangedVersions(parseCards(base)), now, u"laptop"_s);

    expected.sort();
    QCOMPARE(describe(merged.stack.cards), expected);
    QStringList kept;
    for (const CardDeletion &deletion : merged.stack.deletions)
        kept.append(deletion.id);
    QCOMPARE(kept, deletionsKept);
    // Pin order, as every client sorts.
    QVERIFY(std::is_sorted(merged.stack.cards.cbegin(), merged.stack.cards.cend(),
                           [](const NoteCard &a, const NoteCard &b) {
                               return a.pinned() != b.pinned() ? a.pinned()
                                                               : a.updatedAt > b.updatedAt;
                           }));
}

// Each machine of a conflict may resolve it (one sync's push refused, a crash before the
// save): the copy is the same card wherever it was made, and merging two machines' copies
// makes no copy of a copy.
void TestSyncMerge::oneConflictMakesOneCopyEverywhere()
{
    const auto base = PinlarkVaultSync::exchangedVersions(parseCards(L({"a:x@1"})));
    const VaultStack laptop{parseCards(L({"a:y@2"})), {}};
    const VaultStack desktop{parseCards(L({"a:z@3"})), {}};
    const auto onLaptop = PinlarkVaultSync::reconcile(laptop, desktop, base, now, u"laptop"_s);
    const auto onDesktop = PinlarkVaultSync::reconcile(desktop, laptop, base, now, u"desktop"_s);
    QCOMPARE(onLaptop.counts.copies, 1);
    QCOMPARE(onDesktop.counts.copies, 1);
    QCOMPARE(describe(onLaptop.stack.cards), describe(onDesktop.stack.cards));
    QCOMPARE(onLaptop.stack.cards.last().id, onDesktop.stack.cards.last().id);
    QVERIFY(onLaptop.stack.cards.last().content != onDesktop.stack.cards.last().content);

    const auto together =
        PinlarkVaultSync::reconcile(onLaptop.stack, onDesktop.stack, {}, now, u"laptop"_s);
    QCOMPARE(together.counts.copies, 0);
    QCOMPARE(together.stack.cards.size(), 2);
    // The laptop meets the conflict the desktop resolved already: it keeps that copy.
    const auto again = PinlarkVaultSync::reconcile(laptop, onDesktop.stack, base, now, u"laptop"_s);
    QCOMPARE(again.counts.conflicts, 1);
    QCOMPARE(again.counts.copies, 0);
    QCOMPARE(describe(again.stack.cards), describe(onDesktop.stack.cards));
}

void TestSyncMerge::aCopySaysWhereTheOtherEditWasMade()
{
    const auto base = PinlarkVaultSync::exchangedVersions(parseCards(L({"a:x@1"})));
    NoteCard mine = parseCard(u"a:y\nsecond line@2"_s);
    mine.color = u"peach"_s;
    const auto lostHere = PinlarkVaultSync::reconcile({{mine}, {}}, {parseCards(L({"a:z@3"})), {}},
                                                      base, now, u"laptop"_s);
    const NoteCard copy = lostHere.stack.cards.last();
    const QStringList lines = copy.content.split(u'\n');
    QVERIFY2(lines.first().startsWith(u"#conflict "_s) && lines.first().endsWith(u" on laptop"_s),
             qPrintable(lines.first()));
    QCOMPARE(lines.mid(1), QStringList({u"y"_s, u"second line"_s}));
    QCOMPARE(copy.color, u"peach"_s);
    QVERIFY(!copy.pinned());
    QVERIFY(copy.id.startsWith(u"card_"_s) && copy.id.size() == 13);
    QCOMPARE(NoteCard::hashtagsIn(copy.content).first(), u"#conflict"_s);

    const auto lostThere = PinlarkVaultSync::reconcile({parseCards(L({"a:z@3"})), {}}, {{mine}, {}},
                                                       base, now, u"laptop"_s);
    QVERIFY(lostThere.stack.cards.last()
                .content.section(u'\n', 0, 0)
                .endsWith(u" on another computer"_s));
}

QTEST_GUILESS_MAIN(TestSyncMerge)
#include "tst_syncmerge.moc"
