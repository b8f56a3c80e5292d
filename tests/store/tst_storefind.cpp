#include "model/NoteJSON.h"
#include "model/SearchText.h"
#include "store/PinlarkStore.h"
#include "tests/support/RecordingSoundPlayer.h"
#include "tests/support/StoreTestHelpers.h"
#include "tests/support/TestPrinters.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using StoreTest::card;
using StoreTest::readBytes;
using StoreTest::writeBytes;
using OptionalString = std::optional<QString>;

namespace {

// c0 … c6, in this order.
const QStringList stackTexts{u"Groceries: milk, eggs #home"_s,
                             u"Call the café about Friday"_s,
                             u"Meeting notes #work\nMilk for the office"_s,
                             u"CAFE RECEIPT #work"_s,
                             u"plain card"_s,
                             u"Cafe\u0301 au lait #home"_s,
                             u"eggs benedict"_s};

QList<NoteCard> stackCards()
{
    QList<NoteCard> cards;
    for (qsizetype i = 0; i < stackTexts.size(); ++i)
        cards.append(card(u"c"_s + QString::number(i), stackTexts.at(i), 100.0 + double(i)));
    return cards;
}

QStringList shownIds(const PinlarkStore &store)
{
    QStringList ids;
    for (const qint64 index : store.activeCardIndices())
        ids.append(store.cards().at(index).id);
    return ids;
}

// What a find of `query` must show, found the slow way: every card on its own.
QStringList expectedIds(const QList<NoteCard> &cards, const QString &query)
{
    const QStringList words = SearchText::words(query);
    QStringList ids;
    for (const NoteCard &each : cards) {
        if (words.isEmpty() || SearchText::containsAll(SearchText::fold(each.content), words))
            ids.append(each.id);
    }
    return ids;
}

} // namespace

class TestStoreFind : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void narrowsTheStack_data();
    void narrowsTheStack();
    void typingOnAndBackFindsWhatAFreshFindFinds();
    void theCurrentCard();
    void findStepsRoundTheMatches();
    void findFollowsEditsDeletesPinsAndNewCards();

    void undoDeletePutsTheCardBack_data();
    void undoDeletePutsTheCardBack();
    void undoEndsWithItsWindowAndTheNextDelete();

private:
    std::unique_ptr<PinlarkStore> storeWith(const QList<NoteCard> &cards, int undoMs = 60'000);

    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
    RecordingSoundPlayer m_sounds;
    double m_now = 1000.0;
};

void TestStoreFind::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path() + u"/Pinlark"_s;
    m_sounds.played.clear();
    m_now = 1000.0;
}

std::unique_ptr<PinlarkStore> TestStoreFind::storeWith(const QList<NoteCard> &cards, int undoMs)
{
    if (!QDir().mkpath(m_folder) ||
        !writeBytes(m_folder + u"/notes.json"_s, NoteJSON::encodeCards(cards)))
        qFatal("cannot write the notes file of a test");
    PinlarkStore::Environment environment;
    environment.sounds = &m_sounds;
    environment.notesFolder = m_folder;
    environment.settingsFile = m_dir->path() + u"/Pinlark.conf"_s;
    environment.clock = [this] { return Timestamp{m_now}; };
    environment.log = [](const QString &line) { qWarning("%s", qPrintable(line)); };
    environment.undoDeleteMs = undoMs;
    return std::make_unique<PinlarkStore>(std::move(environment));
}

// Find

void TestStoreFind::narrowsTheStack_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<OptionalString>("tag");
    QTest::addColumn<QStringList>("ids");

    const OptionalString all;
    QTest::newRow("nothing typed")
        << QString() << all
        << QStringList{u"c0"_s, u"c1"_s, u"c2"_s, u"c3"_s, u"c4"_s, u"c5"_s, u"c6"_s};
    QTest::newRow("spaces only") << u"   "_s << all
                                 << QStringList{u"c0"_s, u"c1"_s, u"c2"_s, u"c3"_s,
                                                u"c4"_s, u"c5"_s, u"c6"_s};
    QTest::newRow("case and accents") << u"cafe"_s << all << QStringList{u"c1"_s, u"c3"_s, u"c5"_s};
    QTest::newRow("every word") << u"milk office"_s << all << QStringList{u"c2"_s};
    QTest::newRow("words in any order") << u"EGGS groceries"_s << all << QStringList{u"c0"_s};
    QTest::newRow("nothing holds it") << u"pineapple"_s << all << QStringList{};
    QTest::newRow("with a tag") << u"milk"_s << OptionalString(u"#home"_s) << QStringList{u"c0"_s};
    QTest::newRow("with another tag")
        << u"cafe"_s << OptionalString(u"#work"_s) << QStringList{u"c3"_s};
    QTest::newRow("tags are text too") << u"#home"_s << all << QStringList{u"c0"_s, u"c5"_s};
}

void TestStoreFind::narrowsTheStack()
{
    QFETCH(QString, query);
    QFETCH(OptionalString, tag);
    QFETCH(QStringList, ids);

    auto store = storeWith(stackCards());
    store->setSelectedTag(tag);
    QSignalSpy announced(store.get(), &PinlarkStore::findQueryChanged);
    store->setFindQuery(query);
    QCOMPARE(announced.size(), 1);
    QCOMPARE(shownIds(*store), ids);
    // Closing shows the whole stack (or the tag's part of it) again.
    store->setFindQuery(std::nullopt);
    QCOMPARE(store->findWords(), QStringList());
    QCOMPARE(shownIds(*store).size(), tag ? 2 : stackTexts.size());
}

// Typing on only looks at what was found so far: a query typed a letter at a time, with
// letters taken back and words added, finds at each step what a find of it alone finds.
void TestStoreFind::typingOnAndBackFindsWhatAFreshFindFinds()
{
    const QList<NoteCard> cards = stackCards();
    auto store = storeWith(cards);
    const QStringList typed{u"e"_s,      u"eg"_s,      u"egg"_s,    u"eggs"_s,      u"eggs "_s,
                            u"eggs m"_s, u"eggs mi"_s, u"eggs m"_s, u"eggs "_s,     u"eggs"_s,
                            u"egg"_s,    u"e"_s,       u"ca"_s,     u"caf"_s,       u"café"_s,
                            u"cafe r"_s, u"r cafe"_s,  u"afe"_s,    u"milk eggs"_s, u"milk"_s};
    for (const QString &query : typed) {
        store->setFindQuery(query);
        QVERIFY2(shownIds(*store) == expectedIds(cards, query), qPrintable(query));
    }
}

void TestStoreFind::theCurrentCard()
{
    auto store = storeWith(stackCards());
    store->setActiveIndex(4);
    store->setFindQuery(QString());
    QCOMPARE(store->activeIndex(), 4); // an empty field finds nothing yet

    // A fresh query goes to its first match.
    store->setFindQuery(u"c"_s);
    QCOMPARE(store->activeIndex(), 0);
    store->setActiveIndex(3);
    // Typing on keeps a current card the query still finds…
    store->setFindQuery(u"ca"_s);
    QCOMPARE(store->activeIndex(), 3);
    // …and goes to the first match where it does not.
    store->setFindQuery(u"ca fri"_s);
    QCOMPARE(store->activeIndex(), 1);
    store->setFindQuery(u"pineapple"_s);
    QCOMPARE(store->activeIndex(), 1); // nothing to go to
    // After an empty field, a query is fresh again.
    store->setFindQuery(QString());
    store->setActiveIndex(5);
    store->setFindQuery(u"cafe"_s);
    QCOMPARE(store->activeIndex(), 1);

    // Closing leaves the found card current.
    store->setActiveIndex(5);
    store->setFindQuery(std::nullopt);
    QCOMPARE(store->activeIndex(), 5);
    QCOMPARE(store->currentCard()->id, u"c5"_s);
}

void TestStoreFind::findStepsRoundTheMatches()
{
    auto store = storeWith(stackCards());
    store->setFindQuery(u"cafe"_s); // c1, c3, c5
    QCOMPARE(store->activeIndex(), 1);
    m_sounds.played.clear();
    QList<qint64> visited;
    for (int i = 0; i < 4; ++i) {
        store->findNext();
        visited.append(store->activeIndex());
    }
    QCOMPARE(visited, (QList<qint64>{3, 5, 1, 3}));
    visited.clear();
    for (int i = 0; i < 3; ++i) {
        store->findPrevious();
        visited.append(store->activeIndex());
    }
    QCOMPARE(visited, (QList<qint64>{1, 5, 3}));
    QCOMPARE(m_sounds.played.size(), 7);

    // One match, or none: nothing moves and nothing sounds.
    store->setFindQuery(u"office"_s);
    m_sounds.played.clear();
    store->findNext();
    store->findPrevious();
    QCOMPARE(store->activeIndex(), 2);
    store->setFindQuery(u"pineapple"_s);
    store->findNext();
    QCOMPARE(store->activeIndex(), 2);
    QVERIFY(m_sounds.played.isEmpty());
}

void TestStoreFind::findFollowsEditsDeletesPinsAndNewCards()
{
    auto store = storeWith(stackCards());
    store->setFindQuery(u"eggs"_s); // c0, c6
    QCOMPARE(shownIds(*store), (QStringList{u"c0"_s, u"c6"_s}));

    // An edit is found by the next query, and the card edited stays among those shown.
    store->setActiveIndex(4);
    store->updateCurrentCard(u"plain card with Éggs now"_s);
    store->setFindQuery(u"eggs now"_s);
    QCOMPARE(shownIds(*store), (QStringList{u"c4"_s}));
    store->setFindQuery(u"eggs"_s);
    QCOMPARE(shownIds(*store), (QStringList{u"c0"_s, u"c4"_s, u"c6"_s}));

    // Deleting a found card goes on to the next found one, not the next in the stack.
    store->setActiveIndex(0);
    store->deleteCurrentCard();
    QCOMPARE(shownIds(*store), (QStringList{u"c4"_s, u"c6"_s}));
    QCOMPARE(store->currentCard()->id, u"c4"_s);
    store->setActiveIndex(store->activeCardIndices().last());
    store->deleteCurrentCard();
    QCOMPARE(shownIds(*store), (QStringList{u"c4"_s}));
    QCOMPARE(store->currentCard()->id, u"c4"_s);

    // A pin sorts the stack; the matches follow their cards.
    store->togglePinCurrentCard();
    QCOMPARE(store->cards().first().id, u"c4"_s);
    QCOMPARE(shownIds(*store), (QStringList{u"c4"_s}));
    store->setFindQuery(u"cafe"_s);
    QCOMPARE(shownIds(*store), expectedIds(store->cards(), u"cafe"_s));
    QCOMPARE(shownIds(*store).size(), 3);

    // A new card is empty: adding one ends the find.
    store->addCard();
    QCOMPARE(store->findQuery(), std::nullopt);
    QCOMPARE(store->activeCardIndices().size(), store->cards().size());
    QCOMPARE(store->currentCard()->content, QString());
}

// Undo of a delete

void TestStoreFind::undoDeletePutsTheCardBack_data()
{
    QTest::addColumn<qint64>("index");
    QTest::newRow("first") << qint64(0);
    QTest::newRow("middle") << qint64(3);
    QTest::newRow("last") << qint64(6);
}

void TestStoreFind::undoDeletePutsTheCardBack()
{
    QFETCH(qint64, index);
    const QList<NoteCard> cards = stackCards();
    auto store = storeWith(cards);
    store->setActiveIndex(index);
    QVERIFY(!store->canUndoDelete());
    QSignalSpy undoable(store.get(), &PinlarkStore::canUndoDeleteChanged);
    store->deleteCurrentCard();
    QCOMPARE(undoable.size(), 1);
    QVERIFY(store->canUndoDelete());
    // The delete is on disk at once, and remembered for the other machines.
    QCOMPARE(NoteJSON::decodeCards(readBytes(m_folder + u"/notes.json"_s)).value().size(),
             cards.size() - 1);
    QCOMPARE(store->syncState().deletions.size(), 1);

    m_now += 3;
    m_sounds.played.clear();
    QVERIFY(store->undoDelete());
    QVERIFY(!store->canUndoDelete());
    QCOMPARE(undoable.size(), 2);
    // Where it was, with its id and both times, and saved so.
    QCOMPARE(store->cards(), cards);
    QCOMPARE(store->activeIndex(), index);
    QVERIFY(!store->hasPendingSave());
    QCOMPARE(NoteJSON::decodeCards(readBytes(m_folder + u"/notes.json"_s)).value(), cards);
    // No deletion is left to carry: the other machines keep their copies.
    QVERIFY(store->syncState().deletions.isEmpty());
    QCOMPARE(m_sounds.played, QStringList{u"Pop"_s});
    // Once only.
    QVERIFY(!store->undoDelete());
    QCOMPARE(store->cards(), cards);
}

void TestStoreFind::undoEndsWithItsWindowAndTheNextDelete()
{
    const QList<NoteCard> cards = stackCards();
    auto store = storeWith(cards, 100);
    store->setActiveIndex(1);
    store->deleteCurrentCard(); // c1
    QTRY_VERIFY(!store->canUndoDelete());
    QVERIFY(!store->undoDelete());
    QCOMPARE(store->cards().size(), cards.size() - 1);

    // Two deletes: the last is the one taken back, and the first stays deleted.
    store.reset();
    init();
    store = storeWith(cards);
    store->setActiveIndex(1);
    store->deleteCurrentCard(); // c1
    store->deleteCurrentCard(); // c2, now at 1
    QVERIFY(store->undoDelete());
    QStringList ids;
    for (const NoteCard &each : store->cards())
        ids.append(each.id);
    QCOMPARE(ids, (QStringList{u"c0"_s, u"c2"_s, u"c3"_s, u"c4"_s, u"c5"_s, u"c6"_s}));
    QCOMPARE(store->syncState().deletions.size(), 1);
    QCOMPARE(store->syncState().deletions.first().id, u"c1"_s);
}

QTEST_GUILESS_MAIN(TestStoreFind)
#include "tst_storefind.moc"
