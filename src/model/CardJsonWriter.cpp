#include "model/CardJsonWriter.h"

#include "model/NoteJSON.h"

#include <QIODevice>

#include <algorithm>

namespace CardJsonWriter {

namespace {

class Writer
{
public:
    // `device` null: everything stays in bytes(); otherwise it is written out in pieces.
    explicit Writer(QIODevice *device)
        : m_device(device)
    {}

    [[nodiscard]] bool write(const QList<NoteCard> &cards)
    {
        if (!m_device) {
            qsizetype estimate = 2;
            for (const NoteCard &card : cards)
                estimate += card.content.size() + card.id.size() + card.color.size() + 128;
            m_out.reserve(estimate);
        } else {
            m_out.reserve(chunkSize + 4096);
        }
        m_out.append('[');
        bool first = true;
        for (const NoteCard &card : cards) {
            if (!first)
                m_out.append(',');
            first = false;
            writeCard(card);
            if (m_device && m_out.size() >= chunkSize && !flush())
                return false;
        }
        m_out.append(']');
        return !m_device || flush();
    }

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
        m_out.append('"');
        m_out.append(NoteJSON::isoString(timestamp).toLatin1());
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
    Writer writer(nullptr);
    (void)writer.write(cards);
    return std::move(writer).bytes();
}

bool write(const QList<NoteCard> &cards, QIODevice &device)
{
    Writer writer(&device);
    return writer.write(cards);
}

} // namespace CardJsonWriter
