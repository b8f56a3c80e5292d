#pragma once

#include "model/NoteCard.h"
#include "model/Result.h"
#include "model/Timestamp.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <array>
#include <cstddef>
#include <optional>

class QIODevice;

// The one JSON coding of cards, shared by the notes file and the Vault payload. Timestamps
// are written as ISO-8601 UTC text with milliseconds and read from exactly three forms:
// that text, the same text without the fraction, and a number of seconds since 2001.
// Every function here is stateless and safe to call from several threads at once.
namespace NoteJSON {

// "2025-03-01T09:15:02.125Z": the instant rounded to the nearest millisecond, in UTC.
[[nodiscard]] QString isoString(Timestamp timestamp);
// The same 24 characters as ASCII bytes, for writers that produce bytes: no string to
// allocate, and a large stack writes two per card.
inline constexpr std::size_t isoLength = 24;
[[nodiscard]] std::array<char, isoLength> isoChars(Timestamp timestamp);

// The fractional or plain ISO-8601 form, with "Z" or a "+HH:MM"/"-HH:MM" offset.
[[nodiscard]] std::optional<Timestamp> parseIsoString(QStringView text);

// One timestamp in its JSON place: a string in one of the two text forms, or a number of
// seconds since the reference instant. A failure says why (for an unreadable string,
// "Unparseable date: " and the string as read).
[[nodiscard]] Result<Timestamp> readTimestamp(const QJsonValue &value);

// A JSON array of card objects, compact, in list order.
[[nodiscard]] QByteArray encodeCards(const QList<NoteCard> &cards);
// The same bytes, written to `device` a piece at a time. False when a write was refused.
[[nodiscard]] bool writeCards(const QList<NoteCard> &cards, QIODevice &device);
[[nodiscard]] QJsonArray cardsToJson(const QList<NoteCard> &cards);

// Reads a whole JSON array of cards, all or nothing: one bad card fails the whole list.
// Files in the usual shape take a fast path; everything else is read by QJsonDocument.
// Takes the bytes by value so a caller can move them in and have them freed early.
[[nodiscard]] Result<QList<NoteCard>> decodeCards(QByteArray json);
[[nodiscard]] Result<QList<NoteCard>> cardsFromJson(const QJsonArray &array);

} // namespace NoteJSON
