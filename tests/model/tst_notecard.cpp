#include "model/NoteCard.h"
#include "model/NoteJSON.h"
#include "tests/support/TestPrinters.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

class TestNoteCard final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hashtags_data();
    void hashtags();
    void welcomeCard();
    void pinFlagIsThreeValued();
    void pinFlagSurvivesJson_data();
    void pinFlagSurvivesJson();
    void unknownMembersAreDropped();
    void roundTripKeepsMilliseconds();
};

void TestNoteCard::hashtags_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QStringList>("tags");

    QTest::newRow("none") << u"plain text, no tags"_s << QStringList();
    QTest::newRow("empty") << QString() << QStringList();
    QTest::newRow("case folds to first")
        << u"#Ideas then #ideas and #IDEAS"_s << QStringList{u"#ideas"_s};
    QTest::newRow("order of first appearance")
        << u"#zeta #alpha #zeta #mid"_s << QStringList{u"#zeta"_s, u"#alpha"_s, u"#mid"_s};
    QTest::newRow("double hash") << u"##x"_s << QStringList{u"#x"_s};
    QTest::newRow("inside a word") << u"a#b"_s << QStringList{u"#b"_s};
    QTest::newRow("in a link") << u"see https://example.com/page#section-2"_s
                               << QStringList{u"#section-2"_s};
    QTest::newRow("class characters") << u"#a-b_c9"_s << QStringList{u"#a-b_c9"_s};
    QTest::newRow("hash then space") << u"# heading"_s << QStringList();
    QTest::newRow("lone hash at end") << u"end #"_s << QStringList();
    QTest::newRow("stops at non-ASCII") << u"#café"_s << QStringList{u"#caf"_s};
    QTest::newRow("non-ASCII only") << u"#élan"_s << QStringList();
    QTest::newRow("adjacent tags") << u"#one#two"_s << QStringList{u"#one"_s, u"#two"_s};
    QTest::newRow("across lines") << u"#todo\n- [ ] milk #shop"_s
                                  << QStringList{u"#todo"_s, u"#shop"_s};
    QTest::newRow("emoji before") << u"💡#spark"_s << QStringList{u"#spark"_s};
}

void TestNoteCard::hashtags()
{
    QFETCH(QString, content);
    QFETCH(QStringList, tags);
    NoteCard card;
    card.content = content;
    QCOMPARE(card.hashtags(), tags);
}

void TestNoteCard::welcomeCard()
{
    const NoteCard card = NoteCard::defaultCard();

    QVERIFY2(QRegularExpression(u"^card_[0-9A-F]{8}$"_s).match(card.id).hasMatch(),
             qPrintable(card.id));
    QCOMPARE(card.color, u"yellow"_s);
    QCOMPARE(card.isPinned, std::optional<bool>(true));
    QVERIFY(card.updatedAt >= card.createdAt);
    QCOMPARE(card.hashtags(), (QStringList{u"#hashtags"_s, u"#ideas"_s, u"#todo"_s}));

    const QStringList lines = card.content.split(u'\n');
    QCOMPARE(lines.size(), 11);
    QCOMPARE(lines.at(0), u"yo! welcome to Pinlark for Linux \U0001F4DD"_s);
    QVERIFY(lines.at(1).isEmpty());
    QCOMPARE(lines.at(3),
             u"\u2022 Ctrl+[ and Ctrl+] (or buttons above) flick between index cards"_s);
    QCOMPARE(lines.at(6), u"\u2022 Ctrl+N pulls a fresh card from the stack"_s);
    QCOMPARE(lines.at(7), u"\u2022 Alt+Space brings Pinlark up from anywhere"_s);
    // The keys named are the ones bound here: no glyph of another platform's keyboard.
    for (const QChar glyph : {QChar(0x2318), QChar(0x2325), QChar(0x232B), QChar(0x2190)})
        QVERIFY2(!card.content.contains(glyph), qPrintable(QString(glyph)));
    QCOMPARE(lines.at(8), u"\u2022 close it or hit Esc \u2014 it's already saved"_s);
    QVERIFY(lines.at(9).isEmpty());
    QVERIFY(!lines.at(10).isEmpty());
    QCOMPARE(lines.at(10), lines.at(10).toLower());
    QVERIFY(!card.content.endsWith(u'\n'));

    QVERIFY(NoteCard::defaultCard().id != card.id);
}

void TestNoteCard::pinFlagIsThreeValued()
{
    NoteCard absent;
    absent.id = u"a"_s;
    NoteCard unpinned = absent;
    unpinned.setPinned(false);

    QVERIFY(!absent.pinned());
    QVERIFY(!unpinned.pinned());
    QVERIFY(absent != unpinned);
    QCOMPARE(unpinned.isPinned, std::optional<bool>(false));
}

void TestNoteCard::pinFlagSurvivesJson_data()
{
    QTest::addColumn<QByteArray>("pinnedMember");
    QTest::addColumn<std::optional<bool>>("expected");

    QTest::newRow("missing") << QByteArray() << std::optional<bool>();
    QTest::newRow("null") << QByteArray(R"(,"pinned":null)") << std::optional<bool>();
    QTest::newRow("false") << QByteArray(R"(,"pinned":false)") << std::optional<bool>(false);
    QTest::newRow("true") << QByteArray(R"(,"pinned":true)") << std::optional<bool>(true);
}

void TestNoteCard::pinFlagSurvivesJson()
{
    QFETCH(QByteArray, pinnedMember);
    QFETCH(std::optional<bool>, expected);

    const QByteArray json = R"([{"id":"x","content":"","color":"mint",)"
                            R"("createdAt":0,"updatedAt":1)" +
                            pinnedMember + "}]";
    const auto cards = NoteJSON::decodeCards(json);
    QVERIFY2(cards.ok(), cards.ok() ? "" : qPrintable(cards.error()));
    QCOMPARE(cards.value().at(0).isPinned, expected);

    // Written back, the member is there exactly when the flag is.
    const QJsonObject written = cards.value().at(0).toJson();
    QCOMPARE(written.contains(u"pinned"_s), expected.has_value());
    if (expected)
        QCOMPARE(written.value(u"pinned"_s).toBool(), *expected);
}

void TestNoteCard::unknownMembersAreDropped()
{
    const QByteArray json = R"([{"extra":{"deep":[1,2]},"id":"x","content":"hi","color":"sky",)"
                            R"("createdAt":"2025-03-01T09:15:02.125Z","updatedAt":0}])";
    const auto cards = NoteJSON::decodeCards(json);
    QVERIFY(cards.ok());
    const QJsonObject written = cards.value().at(0).toJson();
    QCOMPARE(written.keys(),
             (QStringList{u"color"_s, u"content"_s, u"createdAt"_s, u"id"_s, u"updatedAt"_s}));
}

void TestNoteCard::roundTripKeepsMilliseconds()
{
    NoteCard card;
    card.id = u"card_0000ABCD"_s;
    card.content = u"line one\nline \"two\" / \\ \t 📝"_s;
    card.color = u"not-a-palette-key"_s;
    card.isPinned = false;
    card.createdAt = Timestamp{762513302.1254}; // sub-millisecond part is not kept
    card.updatedAt = Timestamp{-1.5};

    const auto decoded = NoteJSON::decodeCards(NoteJSON::encodeCards({card}));
    QVERIFY(decoded.ok());
    const NoteCard back = decoded.value().at(0);
    QVERIFY(back != card);
    QCOMPARE(back.createdAt, Timestamp{762513302.125});
    QCOMPARE(back.updatedAt, card.updatedAt);

    NoteCard expected = card;
    expected.createdAt = Timestamp{762513302.125};
    QCOMPARE(back, expected);
}

QTEST_GUILESS_MAIN(TestNoteCard)
#include "tst_notecard.moc"
