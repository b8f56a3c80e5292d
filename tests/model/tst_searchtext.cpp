#include "model/SearchText.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;
using SearchText::Range;

Q_DECLARE_METATYPE(QList<Range>)

namespace QTest {
template<> inline char *toString(const QList<Range> &ranges)
{
    QString text;
    for (const Range &range : ranges)
        text += u'[' + QString::number(range.start) + u',' + QString::number(range.length) + u']';
    return QTest::toString(text);
}
} // namespace QTest

class TestSearchText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matching_data();
    void matching();
    void words_data();
    void words();
    void occurrences_data();
    void occurrences();
    void aPreparedTextAnswersAsItsText();
};

// Whether a card of `text` is found by `query`: the whole road a find takes.
void TestSearchText::matching_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("found");

    QTest::newRow("case") << u"Buy MILK today"_s << u"milk"_s << true;
    QTest::newRow("query in capitals") << u"buy milk"_s << u"MILK"_s << true;
    QTest::newRow("accent in the text") << u"un café noir"_s << u"cafe"_s << true;
    QTest::newRow("accent in the query") << u"un cafe noir"_s << u"café"_s << true;
    QTest::newRow("capital with accent") << u"ÉCOLE"_s << u"ecole"_s << true;
    QTest::newRow("decomposed accent") << u"cafe\u0301"_s << u"café"_s << true;
    QTest::newRow("ligature") << u"the \uFB01le"_s << u"file"_s << true;
    QTest::newRow("greek final sigma") << u"ΟΔΟΣ"_s << u"οδος"_s << true;
    QTest::newRow("cyrillic case") << u"Привет мир"_s << u"ПРИВЕТ"_s << true;
    QTest::newRow("turkish dotted capital") << u"İstanbul"_s << u"istanbul"_s << true;
    QTest::newRow("full-width letters") << u"ＡＢＣ"_s << u"abc"_s << true;
    QTest::newRow("emoji") << u"party \U0001F389 time"_s << u"\U0001F389"_s << true;
    QTest::newRow("cjk") << u"買い物リスト"_s << u"リスト"_s << true;
    QTest::newRow("every word, any order") << u"milk, eggs and bread"_s << u"bread milk"_s << true;
    QTest::newRow("one word missing") << u"milk and eggs"_s << u"milk bread"_s << false;
    QTest::newRow("part of a word") << u"shopping"_s << u"hop"_s << true;
    QTest::newRow("letters apart") << u"m i l k"_s << u"milk"_s << false;
    QTest::newRow("another letter") << u"cafe"_s << u"cafo"_s << false;
    QTest::newRow("words across lines") << u"first\nsecond"_s << u"second first"_s << true;
}

void TestSearchText::matching()
{
    QFETCH(QString, text);
    QFETCH(QString, query);
    QFETCH(bool, found);
    QCOMPARE(SearchText::containsAll(SearchText::fold(text), SearchText::words(query)), found);
    // A card found has something to mark.
    if (found)
        QVERIFY(!SearchText::occurrences(text, SearchText::words(query)).isEmpty());
}

void TestSearchText::words_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("words");

    QTest::newRow("empty") << QString() << QStringList();
    QTest::newRow("white space only") << u" \t\u00A0 "_s << QStringList();
    QTest::newRow("folded and split")
        << u"  Café\tNOIR\u00A0x "_s << QStringList{u"cafe"_s, u"noir"_s, u"x"_s};
    QTest::newRow("repeats once") << u"milk MILK milk"_s << QStringList{u"milk"_s};
    QTest::newRow("a lone mark is no word") << u"a \u0301 b"_s << QStringList{u"a"_s, u"b"_s};
}

void TestSearchText::words()
{
    QFETCH(QString, query);
    QFETCH(QStringList, words);
    QCOMPARE(SearchText::words(query), words);
}

// Where the marks go, in the text's own offsets, whatever folding did to its length.
void TestSearchText::occurrences_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QList<Range>>("ranges");

    QTest::newRow("every occurrence")
        << u"milk and more milk"_s << u"milk"_s << QList<Range>{{0, 4}, {14, 4}};
    QTest::newRow("two words, in text order")
        << u"eggs, milk"_s << u"milk eggs"_s << QList<Range>{{0, 4}, {6, 4}};
    QTest::newRow("overlapping words merge")
        << u"abcdef"_s << u"abcd cdef"_s << QList<Range>{{0, 6}};
    QTest::newRow("touching occurrences merge") << u"aaaa"_s << u"aa"_s << QList<Range>{{0, 4}};
    QTest::newRow("decomposed accent kept with its letter")
        << u"cafe\u0301 noir"_s << u"cafe"_s << QList<Range>{{0, 5}};
    QTest::newRow("after an emoji") << u"\U0001F389 milk"_s << u"milk"_s << QList<Range>{{3, 4}};
    QTest::newRow("an emoji whole") << u"a\U0001F389b"_s << u"\U0001F389"_s << QList<Range>{{1, 2}};
    QTest::newRow("ligature wholly, by half of it")
        << u"\uFB01ne"_s << u"ine"_s << QList<Range>{{0, 3}};
    QTest::newRow("after a ligature") << u"\uFB01x"_s << u"x"_s << QList<Range>{{1, 1}};
    QTest::newRow("none") << u"milk"_s << u"eggs"_s << QList<Range>{};
}

void TestSearchText::occurrences()
{
    QFETCH(QString, text);
    QFETCH(QString, query);
    QFETCH(QList<Range>, ranges);
    QCOMPARE(SearchText::occurrences(text, SearchText::words(query)), ranges);
}

// The bits of a prepared text only save reading it: over many small random texts and words
// (ASCII letters, digits, punctuation, accented letters), a prepared text is found exactly
// where the text itself is.
void TestSearchText::aPreparedTextAnswersAsItsText()
{
    const QString alphabet = u"ab1z -.\u00e9\u00c9#\n"_s;
    QRandomGenerator random(20'261'211);
    const auto randomText = [&](int longest) {
        QString text;
        const int length = int(random.bounded(longest + 1));
        for (int i = 0; i < length; ++i)
            text += alphabet.at(random.bounded(int(alphabet.size())));
        return text;
    };
    int found = 0;
    for (int round = 0; round < 4000; ++round) {
        const QString text = randomText(24);
        const QStringList words = SearchText::words(randomText(5));
        const SearchText::Matcher matcher(words);
        const bool byText = SearchText::containsAll(SearchText::fold(text), words);
        QVERIFY2(matcher.matches(SearchText::prepare(text)) == byText,
                 qPrintable(text + u" / "_s + words.join(u'|')));
        found += byText ? 1 : 0;
    }
    QVERIFY(found > 400 && found < 3600); // both answers were asked for
}

QTEST_APPLESS_MAIN(TestSearchText)
#include "tst_searchtext.moc"
