#pragma once

#include "model/Result.h"
#include "model/Timestamp.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// One note: free text with a colour key, a pin flag and two timestamps. A plain value;
// the store's list is the only live collection of cards.
struct NoteCard
{
    // The JSON member names, in the order a card hands them to the encoder.
    enum class CodingKeys { id, content, color, createdAt, updatedAt, pinned };
    [[nodiscard]] static QString keyName(CodingKeys key);

    QString id;
    QString content;
    QString color;
    // Three-valued on purpose: a record read without "pinned" is written back without it.
    std::optional<bool> isPinned;
    Timestamp createdAt;
    Timestamp updatedAt;

    [[nodiscard]] bool pinned() const { return isPinned.value_or(false); }
    void setPinned(bool value) { isPinned = value; }

    // The "#tags" named in the text, lower-cased, each once, in order of first appearance.
    [[nodiscard]] QStringList hashtags() const { return hashtagsIn(content); }
    [[nodiscard]] static QStringList hashtagsIn(const QString &text);

    // The pinned welcome card shown when there is nothing to load; its two times are read
    // from `clock` one after the other.
    [[nodiscard]] static NoteCard
    defaultCard(const std::function<Timestamp()> &clock = &Timestamp::now);
    // "card_" and eight upper-case hexadecimal digits from a fresh random UUID.
    [[nodiscard]] static QString makeId();
    [[nodiscard]] static QString welcomeText();

    // The card's JSON object; timestamps in the text form of NoteJSON.
    [[nodiscard]] QJsonObject toJson() const;
    // Reads one card object, or says what is wrong with it.
    [[nodiscard]] static Result<NoteCard> fromJson(const QJsonValue &value);

    friend bool operator==(const NoteCard &, const NoteCard &) = default;
};
