#include "bench/StackGenerator.h"

#include "model/NotePastel.h"

#include <QDate>
#include <QSet>

#include <algorithm>
#include <array>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 msecsPerDay = 86'400'000;

// Plain words of everyday notes, with a few that carry accents so the text is not ASCII.
const std::array words = {
    u"the"_s,       u"a"_s,       u"to"_s,          u"and"_s,      u"of"_s,        u"in"_s,
    u"for"_s,       u"on"_s,      u"with"_s,        u"at"_s,       u"from"_s,      u"by"_s,
    u"about"_s,     u"after"_s,   u"before"_s,      u"call"_s,     u"email"_s,     u"send"_s,
    u"check"_s,     u"buy"_s,     u"book"_s,        u"fix"_s,      u"ask"_s,       u"write"_s,
    u"read"_s,      u"review"_s,  u"plan"_s,        u"meet"_s,     u"remember"_s,  u"finish"_s,
    u"start"_s,     u"move"_s,    u"pay"_s,         u"return"_s,   u"pick"_s,      u"up"_s,
    u"maybe"_s,     u"later"_s,   u"today"_s,       u"tomorrow"_s, u"monday"_s,    u"friday"_s,
    u"weekend"_s,   u"morning"_s, u"evening"_s,     u"next"_s,     u"week"_s,      u"month"_s,
    u"meeting"_s,   u"project"_s, u"draft"_s,       u"invoice"_s,  u"budget"_s,    u"report"_s,
    u"slides"_s,    u"notes"_s,   u"idea"_s,        u"question"_s, u"answer"_s,    u"list"_s,
    u"groceries"_s, u"milk"_s,    u"bread"_s,       u"eggs"_s,     u"coffee"_s,    u"tea"_s,
    u"apples"_s,    u"rice"_s,    u"pasta"_s,       u"tomatoes"_s, u"dentist"_s,   u"doctor"_s,
    u"train"_s,     u"flight"_s,  u"hotel"_s,       u"ticket"_s,   u"passport"_s,  u"keys"_s,
    u"bike"_s,      u"car"_s,     u"garden"_s,      u"kitchen"_s,  u"window"_s,    u"lamp"_s,
    u"desk"_s,      u"chair"_s,   u"mom"_s,         u"dad"_s,      u"sam"_s,       u"alex"_s,
    u"team"_s,      u"client"_s,  u"server"_s,      u"backup"_s,   u"password"_s,  u"update"_s,
    u"release"_s,   u"bug"_s,     u"test"_s,        u"build"_s,    u"branch"_s,    u"deploy"_s,
    u"design"_s,    u"colour"_s,  u"layout"_s,      u"font"_s,     u"song"_s,      u"album"_s,
    u"film"_s,      u"podcast"_s, u"recipe"_s,      u"soup"_s,     u"birthday"_s,  u"gift"_s,
    u"card"_s,      u"party"_s,   u"friends"_s,     u"walk"_s,     u"run"_s,       u"gym"_s,
    u"yoga"_s,      u"sleep"_s,   u"early"_s,       u"quick"_s,    u"small"_s,     u"big"_s,
    u"new"_s,       u"old"_s,     u"good"_s,        u"better"_s,   u"important"_s, u"urgent"_s,
    u"someday"_s,   u"really"_s,  u"not"_s,         u"again"_s,    u"still"_s,     u"also"_s,
    u"only"_s,      u"just"_s,    u"café"_s,        u"naïve"_s,    u"résumé"_s,    u"Zürich"_s,
    u"jalapeño"_s,  u"crème"_s,   u"brûlée"_s,      u"déjà"_s,     u"über"_s,      u"façade"_s,
    u"São"_s,       u"Paulo"_s,   u"smörgåsbord"_s, u"piñata"_s,   u"coöperate"_s,
};

const std::array emoji = {
    u"\U0001F4DD"_s, u"\u2615"_s,     u"\U0001F389"_s,   u"\u2705"_s,
    u"\U0001F680"_s, u"\U0001F34E"_s, u"\u2764\uFE0F"_s, u"\U0001F914"_s,
};

const QString emDash = u"\u2014"_s;
const QString openItem = u"- [ ] "_s;
const QString doneItem = u"- [x] "_s;

// 2025-03-01 09:00 UTC, in milliseconds since the reference instant: a fixed "now", so the
// same seed gives the same times on every run.
qint64 newestMSecs()
{
    return (QDate(2025, 3, 1).toJulianDay() - QDate(2001, 1, 1).toJulianDay()) * msecsPerDay +
           9 * 3'600'000;
}

} // namespace

StackGenerator::StackGenerator(quint32 seed)
    : m_random(seed)
    , m_newest(double(newestMSecs()) / 1000.0)
    , m_oldest(m_newest - 2 * 365.25 * 86'400)
{}

const QStringList &StackGenerator::tagVocabulary()
{
    static const QStringList tags = {
        u"#work"_s,     u"#home"_s,      u"#todo"_s,      u"#ideas"_s,    u"#groceries"_s,
        u"#shopping"_s, u"#travel"_s,    u"#health"_s,    u"#fitness"_s,  u"#finance"_s,
        u"#bills"_s,    u"#family"_s,    u"#friends"_s,   u"#birthday"_s, u"#gifts"_s,
        u"#recipes"_s,  u"#cooking"_s,   u"#books"_s,     u"#reading"_s,  u"#films"_s,
        u"#music"_s,    u"#podcasts"_s,  u"#garden"_s,    u"#car"_s,      u"#bike"_s,
        u"#meetings"_s, u"#project-x"_s, u"#q3_review"_s, u"#clients"_s,  u"#invoices"_s,
        u"#taxes"_s,    u"#design"_s,    u"#code"_s,      u"#bugs"_s,     u"#release"_s,
        u"#learning"_s, u"#journal"_s,   u"#quotes"_s,    u"#someday"_s,  u"#urgent"_s,
        u"#waiting"_s,  u"#errands"_s,   u"#kids"_s,      u"#school"_s,   u"#pets"_s,
        u"#vet"_s,      u"#house"_s,     u"#repairs"_s,
    };
    return tags;
}

QList<NoteCard> StackGenerator::stack(qsizetype cardCount)
{
    Shape shape;
    shape.cardCount = cardCount;
    return stack(shape);
}

QList<NoteCard> StackGenerator::stack(const Shape &shape)
{
    QList<NoteCard> cards;
    cards.reserve(shape.cardCount);
    QSet<QString> ids;
    ids.reserve(shape.cardCount);
    while (cards.size() < shape.cardCount) {
        NoteCard next = card(shape);
        if (ids.contains(next.id))
            continue;
        ids.insert(next.id);
        cards.append(std::move(next));
    }
    std::stable_sort(cards.begin(), cards.end(), [](const NoteCard &left, const NoteCard &right) {
        if (left.pinned() != right.pinned())
            return left.pinned();
        return left.updatedAt > right.updatedAt;
    });
    return cards;
}

NoteCard StackGenerator::card(const Shape &shape)
{
    NoteCard card;
    card.id = makeId();
    card.content = content(shape.contentLength, shape.tagsPerCard);

    // Yellow is the colour a fresh card most often keeps.
    const QStringList &colours = NotePastel::allKeys();
    const int colourRoll = int(m_random.bounded(100));
    card.color = colourRoll < 40 ? colours.first()
                                 : colours.at(1 + (colourRoll - 40) % (colours.size() - 1));

    // A few records come from a version that wrote no "pinned" at all.
    const int pinRoll = int(m_random.bounded(100));
    if (pinRoll < shape.pinnedPercent)
        card.isPinned = true;
    else if (pinRoll < 98)
        card.isPinned = false;

    // Whole milliseconds, as the notes file keeps them, so a card survives a round trip.
    const double span = m_newest - m_oldest;
    const double created = m_oldest + m_random.bounded(span);
    double updated = created;
    if (m_random.bounded(100) < 70) {
        // Most edits come soon after a card was written; a few much later.
        const double horizon = m_random.bounded(100) < 80 ? 3.0 * 86'400 : m_newest - created;
        updated = std::min(m_newest, created + m_random.bounded(horizon));
    }
    card.createdAt = Timestamp::fromMSecsSinceReference(qint64(created * 1000.0));
    card.updatedAt = Timestamp::fromMSecsSinceReference(qint64(updated * 1000.0));
    return card;
}

QString StackGenerator::content(qsizetype length, int tagCount)
{
    const QStringList tags = pickTags(tagCount);
    qsizetype tagsLength = 0;
    for (const QString &tag : tags)
        tagsLength += tag.size() + 1;

    // Some tags sit inside the text, the rest close the note on a line of their own.
    const int inlineTags = int(m_random.bounded(tagCount + 1));
    QList<qsizetype> tagAt;
    for (int i = 0; i < inlineTags; ++i)
        tagAt.append(qsizetype(m_random.bounded(int(std::max<qsizetype>(1, length - tagsLength)))));
    std::sort(tagAt.begin(), tagAt.end());

    QString text;
    text.reserve(length + 32);
    qsizetype nextTag = 0;
    qsizetype remainingTags = tagsLength;
    bool lineStart = true;
    bool sentenceStart = true;
    const bool hasEmoji = m_random.bounded(100) < 35;
    const bool hasDash = m_random.bounded(100) < 45;
    bool emojiPlaced = false;
    bool dashPlaced = false;

    while (text.size() + remainingTags < length) {
        if (lineStart) {
            const int roll = int(m_random.bounded(100));
            if (roll < 20)
                text += openItem;
            else if (roll < 24)
                text += doneItem;
            lineStart = false;
        } else {
            text += u' ';
        }

        if (nextTag < tagAt.size() && text.size() >= tagAt.at(nextTag)) {
            text += tags.at(nextTag);
            remainingTags -= tags.at(nextTag).size() + 1;
            ++nextTag;
            continue;
        }
        // A dash goes between two words, never after punctuation or at a line's start.
        if (hasDash && !dashPlaced && text.size() > length / 3 && text.endsWith(u' ') &&
            text.at(text.size() - 2).isLetter()) {
            text += emDash;
            dashPlaced = true;
            continue;
        }
        if (hasEmoji && !emojiPlaced && text.size() > length / 2) {
            text += emoji.at(m_random.bounded(int(emoji.size())));
            emojiPlaced = true;
            continue;
        }

        QString next = word();
        if (sentenceStart && !next.isEmpty())
            next[0] = next.at(0).toUpper();
        text += next;
        sentenceStart = false;

        const int roll = int(m_random.bounded(100));
        if (roll < 8) {
            text += u'\n';
            lineStart = true;
            sentenceStart = true;
        } else if (roll < 14) {
            text += u'.';
            sentenceStart = true;
        } else if (roll < 20) {
            text += u',';
        }
    }

    if (nextTag < tags.size()) {
        if (!text.endsWith(u'\n'))
            text += u'\n';
        for (qsizetype i = nextTag; i < tags.size(); ++i) {
            if (i > nextTag)
                text += u' ';
            text += tags.at(i);
        }
    }
    return text;
}

QString StackGenerator::word()
{
    return words.at(m_random.bounded(int(words.size())));
}

QString StackGenerator::makeId()
{
    return u"card_"_s + QString::number(m_random.generate(), 16).toUpper().rightJustified(8, u'0');
}

QStringList StackGenerator::pickTags(int count)
{
    // A few tags are used on far more cards than the rest, as people's tags are.
    const QStringList &vocabulary = tagVocabulary();
    QStringList picked;
    while (picked.size() < count && picked.size() < vocabulary.size()) {
        const int roll = int(m_random.bounded(100));
        const qsizetype index =
            roll < 40 ? m_random.bounded(8) : m_random.bounded(int(vocabulary.size()));
        const QString &tag = vocabulary.at(index);
        if (!picked.contains(tag))
            picked.append(tag);
    }
    return picked;
}
