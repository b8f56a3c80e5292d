// Feeds arbitrary bytes to the notes-file decoder. Beyond not crashing:
// - the fast reader must agree with QJsonDocument, the reference, on every input it takes;
// - whatever decodes must survive our own writer: written and read back, it gives the same
//   text again, and that text means to Qt what Qt's own writer would have written.

#include "model/CardJsonReader.h"
#include "model/NoteJSON.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    const auto fast = CardJsonReader::read(input);
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(input, &parseError);
    if (fast) {
        if (parseError.error != QJsonParseError::NoError || !document.isArray())
            __builtin_trap();
        const auto reference = NoteJSON::cardsFromJson(document.array());
        if (!reference || reference.value() != *fast)
            __builtin_trap();
    }

    const auto cards = NoteJSON::decodeCards(input);
    if (!cards)
        return 0;
    for (const NoteCard &card : cards.value())
        (void)card.hashtags();

    const QByteArray written = NoteJSON::encodeCards(cards.value());
    if (QJsonDocument::fromJson(written) != QJsonDocument(NoteJSON::cardsToJson(cards.value())))
        __builtin_trap();
    const auto reread = NoteJSON::decodeCards(written);
    if (!reread || reread.value().size() != cards.value().size())
        __builtin_trap();
    if (NoteJSON::encodeCards(reread.value()) != written)
        __builtin_trap();
    return 0;
}
