#include "model/CardJsonWriter.h"

#include "model/NoteJSON.h"

#include <QIODevice>

#include <algorithm>
#include <array>
#include <future>
#include <span>
#include <system_error>

namespace CardJsonWriter {

namespace {

using Cards = std::span<const NoteCard>;

// Room for the cards' JSON: enough unless a text is mostly outside ASCII, which costs a
// reallocation at worst.
qsizetype estimatedBytes(Cards cards)
{
    qsizetype estimate = 2;
    for (const NoteCard &card : cards)
        estimate += card.content.size() + card.id.size() + card.color.size() + 128;
    return estimate;
}

// Stacks from this size on are written on two threads; below it a thread costs more than
// it saves.
constexpr std::size_t parallelCards = 1024;

class Writer
{
public:
    // `device` null: everything stays in bytes(), which has room for `reserve` bytes;
    // otherwise it is written out in pieces.
    explicit Writer(QIODevice *device, qsizetype reserve = 0)
        : m_device(device)
    {
        m_out.reserve(m_device ? chunkSize + 4096 : reserve);
    }

    // The whole array.
    [[nodiscard]] bool write(Cards cards)
    {
        m_out.append('[');
        if (!writeCards(cards))
            return false;
        m_out.append(']');
        return !m_device || flush();
    }

    // The cards separated by commas, without the brackets.
    [[nodiscard]] bool writeCards(Cards cards)
    {
        bool first = true;
        for (const NoteCard &card : cards) {
            if (!first)
                m_out.append(',');
            first = false;
            writeCard(card);
            if (m_device && m_out.size() >= chunkSize && !flush())
                return false;
        }
        return true;
    }

    // Bytes written elsewhere, appended as they are.
    void append(QByteArrayView bytes) { m_out.append(bytes); }

    [[nodiscard]] QByteArray bytes() && { return std::move(m_out); }

private:
    static constexpr qsizetype chunkSize = 64 * 1024;

    [[nodiscard]] bool flush()
    {
        if (m_device->write(m_out) != m_out.size())
            return false;
        m_out.resize(0); // keeps the capacity for the next piece
        return true;
    }

    void writeCard(const NoteCard &card)
    {
        m_out.append(R"({"color":)");
        writeString(card.color);
        m_out.append(R"(,"content":)");
        writeString(card.content);
        m_out.append(R"(,"createdAt":)");
        writeTimestamp(card.createdAt);
        m_out.append(R"(,"id":)");
        writeString(card.id);
        if (card.isPinned)
            m_out.append(*card.isPinned ? R"(,"pinned":true)" : R"(,"pinned":false)");
        m_out.append(R"(,"updatedAt":)");
        writeTimestamp(card.updatedAt);
        m_out.append('}');
    }

    void writeTimestamp(Timestamp timestamp)
    {
        const std::array<char, NoteJSON::isoLength> text = NoteJSON::isoChars(timestamp);
        m_out.append('"');
        m_out.append(text.data(), qsizetype(text.size()));
        m_out.append('"');
    }

    void writeString(QStringView text)
    {
        static constexpr char hex[] = "0123456789abcdef";
        // Room for the worst case, every unit as \uXXXX; the unused end is dropped below.
        const qsizetype start = m_out.size();
        m_out.resize(start + 2 + 6 * text.size());
        char *out = m_out.data() + start;
        *out++ = '"';
        const char16_t *src = text.utf16();
        const char16_t *const end = src + text.size();
        while (src != end) {
            const char16_t u = *src++;
            if (u < 0x80) {
                if (u >= 0x20 && u != u'"' && u != u'\\') {
                    *out++ = char(u);
                    continue;
                }
                *out++ = '\\';
                switch (u) {
                case u'"':
                    *out++ = '"';
                    break;
                case u'\\':
                    *out++ = '\\';
                    break;
                case u'\b':
                    *out++ = 'b';
                    break;
                case u'\f':
                    *out++ = 'f';
                    break;
                case u'\n':
                    *out++ = 'n';
                    break;
                case u'\r':
                    *out++ = 'r';
                    break;
                case u'\t':
                    *out++ = 't';
                    break;
                default:
                    *out++ = 'u';
                    *out++ = '0';
                    *out++ = '0';
                    *out++ = hex[u >> 4];
                    *out++ = hex[u & 0xf];
                }
            } else if (u == 0xfeff) {
                const char escaped[] = "\\ufeff";
                out = std::copy(escaped, escaped + 6, out);
            } else if (u < 0x800) {
                *out++ = char(0xc0 | (u >> 6));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (!QChar::isSurrogate(u)) {
                *out++ = char(0xe0 | (u >> 12));
                *out++ = char(0x80 | ((u >> 6) & 0x3f));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (QChar::isHighSurrogate(u) && src != end && QChar::isLowSurrogate(*src)) {
                const char32_t c = QChar::surrogateToUcs4(u, *src++);
                *out++ = char(0xf0 | (c >> 18));
                *out++ = char(0x80 | ((c >> 12) & 0x3f));
                *out++ = char(0x80 | ((c >> 6) & 0x3f));
                *out++ = char(0x80 | (c & 0x3f));
            } else {
                *out++ = '\\';
                *out++ = 'u';
                *out++ = hex[u >> 12];
                *out++ = hex[(u >> 8) & 0xf];
                *out++ = hex[(u >> 4) & 0xf];
                *out++ = hex[u & 0xf];
            }
        }
        *out++ = '"';
        m_out.resize(out - m_out.constData());
    }

    QIODevice *m_device;
    QByteArray m_out;
};

} // namespace

QByteArray toBytes(const QList<NoteCard> &cards)
{
    const Cards all(cards.constData(), std::size_t(cards.size()));
    // A large stack is written in two halves side by side, the second on another thread:
    // a Vault sync of ten thousand cards writes 7 MB here while the user waits. The two
    // halves joined by a comma are the bytes of one pass.
    if (all.size() >= parallelCards) {
        const Cards first = all.first(all.size() / 2);
        const Cards second = all.subspan(all.size() / 2);
        std::future<QByteArray> secondBytes;
        try {
            secondBytes = std::async(std::launch::async, [second] {
                Writer writer(nullptr, estimatedBytes(second));
                (void)writer.writeCards(second);
                return std::move(writer).bytes();
            });
        } catch (const std::system_error &) {
            // No thread to be had: one pass below.
        }
        if (secondBytes.valid()) {
            Writer writer(nullptr, estimatedBytes(all));
            writer.append("[");
            (void)writer.writeCards(first);
            writer.append(",");
            writer.append(secondBytes.get());
            writer.append("]");
            return std::move(writer).bytes();
        }
    }
    Writer writer(nullptr, estimatedBytes(all));
    (void)writer.write(all);
    return std::move(writer).bytes();
}

bool write(const QList<NoteCard> &cards, QIODevice &device)
{
    Writer writer(&device);
    return writer.write(Cards(cards.constData(), std::size_t(cards.size())));
}

} // namespace CardJsonWriter
