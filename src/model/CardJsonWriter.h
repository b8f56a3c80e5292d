#pragma once

#include "model/NoteCard.h"

#include <QByteArray>
#include <QList>

class QIODevice;

// Writes a list of cards as one compact JSON array, the same bytes QJsonDocument writes for
// NoteJSON::cardsToJson() (members in QJsonObject's sorted order, Qt's escapes), but straight
// from the cards: building a QJsonObject per card and letting Qt serialise it costs several
// times more on a large stack. One deliberate difference: U+FEFF is written as "\ufeff",
// because Qt's reader drops a byte-order mark that opens a string, which would change the
// text of a card whose content starts with one.
namespace CardJsonWriter {

[[nodiscard]] QByteArray toBytes(const QList<NoteCard> &cards);
// The same bytes, written to `device` a piece at a time, so a large stack is never held a
// second time as one block of text. False when the device refused a write.
[[nodiscard]] bool write(const QList<NoteCard> &cards, QIODevice &device);

} // namespace CardJsonWriter
