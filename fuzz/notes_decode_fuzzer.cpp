// Feeds arbitrary bytes to the notes-file decoder. Beyond not crashing, whatever decodes
// must survive our own writer: writing it and reading it back gives the same text again.

#include "NoteJSON.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto cards = NoteJSON::decodeCards(input);
    if (!cards)
        return 0;
    for (const NoteCard &card : cards.value())
        (void)card.hashtags();

    const QByteArray written = NoteJSON::encodeCards(cards.value());
    const auto reread = NoteJSON::decodeCards(written);
    if (!reread || reread.value().size() != cards.value().size())
        __builtin_trap();
    if (NoteJSON::encodeCards(reread.value()) != written)
        __builtin_trap();
    return 0;
}
