#include "model/NoteCard.h"

#include "model/NoteJSON.h"

#include <QJsonValue>
#include <QRegularExpression>
#include <QUuid>

using namespace Qt::StringLiterals;

QString NoteCard::keyName(CodingKeys key)
{
    switch (key) {
    case CodingKeys::id:
        return u"id"_s;
    case CodingKeys::content:
        return u"content"_s;
    case CodingKeys::color:
        return u"color"_s;
    case CodingKeys::createdAt:
        return u"createdAt"_s;
    case CodingKeys::updatedAt:
        return u"updatedAt"_s;
    case CodingKeys::pinned:
        return u"pinned"_s;
    }
    Q_UNREACHABLE();
    return {};
}

QStringList NoteCard::hashtagsIn(const QString &text)
{
    // QRegularExpression is safe to share between threads for matching; the sync task
    // derives tags off the GUI thread too.
    static const QRegularExpression tagPattern(u"#([a-zA-Z0-9_-]+)"_s);
    QStringList tags;
    if (!text.contains(u'#'))
        return tags;
    for (auto it = tagPattern.globalMatch(text); it.hasNext();) {
        // The match is ASCII: lower-case it in place, one allocation per tag.
        QString tag = it.next().captured(0);
        for (QChar &c : tag) {
            if (c >= u'A' && c <= u'Z')
                c = QChar(c.unicode() + (u'a' - u'A'));
        }
        if (!tags.contains(tag))
            tags.append(std::move(tag));
    }
    return tags;
}

QString NoteCard::makeId()
{
    // QUuid::toString gives lower case; other clients write the canonical upper-case form.
    return u"card_"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
}

QString NoteCard::welcomeText()
{
    return QStringList{
        u"yo! welcome to Pinlark for Linux \U0001F4DD"_s,
        QString(),
        u"\u2022 cursor is already blinking \u2014 just start typing"_s,
        u"\u2022 Ctrl+[ and Ctrl+] (or buttons above) flick between index cards"_s,
        u"\u2022 tap any pastel highlighter to color-code this card"_s,
        u"\u2022 use #hashtags like #ideas or #todo for instant filtering"_s,
        u"\u2022 Ctrl+N pulls a fresh card from the stack"_s,
        u"\u2022 Alt+Space brings Pinlark up from anywhere"_s,
        u"\u2022 close it or hit Esc \u2014 it's already saved"_s,
        QString(),
        u"small notes, big thoughts"_s,
    }
        .join(u'\n');
}

NoteCard NoteCard::defaultCard(const std::function<Timestamp()> &clock)
{
    NoteCard card;
    card.id = makeId();
    card.content = welcomeText();
    card.color = u"yellow"_s;
    card.isPinned = true;
    card.createdAt = clock();
    card.updatedAt = clock();
    return card;
}

QJsonObject NoteCard::toJson() const
{
    QJsonObject object;
    object.insert(keyName(CodingKeys::id), id);
    object.insert(keyName(CodingKeys::content), content);
    object.insert(keyName(CodingKeys::color), color);
    object.insert(keyName(CodingKeys::createdAt), NoteJSON::isoString(createdAt));
    object.insert(keyName(CodingKeys::updatedAt), NoteJSON::isoString(updatedAt));
    if (isPinned)
        object.insert(keyName(CodingKeys::pinned), *isPinned);
    return object;
}

namespace {

Result<QString> readString(const QJsonObject &object, NoteCard::CodingKeys key)
{
    const QString name = NoteCard::keyName(key);
    const auto it = object.constFind(name);
    if (it == object.constEnd())
        return Result<QString>::failure(u"missing member \""_s + name + u'"');
    if (!it->isString())
        return Result<QString>::failure(u"member \""_s + name + u"\" is not a string"_s);
    return it->toString();
}

Result<Timestamp> readTimestamp(const QJsonObject &object, NoteCard::CodingKeys key)
{
    const QString name = NoteCard::keyName(key);
    const auto it = object.constFind(name);
    if (it == object.constEnd())
        return Result<Timestamp>::failure(u"missing member \""_s + name + u'"');
    return NoteJSON::readTimestamp(*it);
}

} // namespace

Result<NoteCard> NoteCard::fromJson(const QJsonValue &value)
{
    using Card = Result<NoteCard>;
    if (!value.isObject())
        return Card::failure(u"a card is not a JSON object"_s);
    const QJsonObject object = value.toObject();
    NoteCard card;
    for (const auto &[key, field] :
         {std::pair{CodingKeys::id, &card.id}, std::pair{CodingKeys::content, &card.content},
          std::pair{CodingKeys::color, &card.color}}) {
        auto text = readString(object, key);
        if (!text)
            return Card::failure(text.error());
        *field = std::move(text).value();
    }
    for (const auto &[key, field] : {std::pair{CodingKeys::createdAt, &card.createdAt},
                                     std::pair{CodingKeys::updatedAt, &card.updatedAt}}) {
        const auto timestamp = readTimestamp(object, key);
        if (!timestamp)
            return Card::failure(timestamp.error());
        *field = timestamp.value();
    }

    const QJsonValue pinned = object.value(keyName(CodingKeys::pinned));
    if (pinned.isBool())
        card.isPinned = pinned.toBool();
    else if (!pinned.isUndefined() && !pinned.isNull())
        return Card::failure(u"member \"pinned\" is not a boolean"_s);
    return card;
}
