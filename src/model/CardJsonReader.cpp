#include "model/CardJsonReader.h"

#include "model/NoteJSON.h"
#include "model/NotePastel.h"

#include <QJsonValue>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace CardJsonReader {

namespace {

class Reader
{
public:
    explicit Reader(QByteArrayView json)
        : m_p(json.data())
        , m_end(json.data() + json.size())
    {}

    [[nodiscard]] std::optional<QList<NoteCard>> read()
    {
        QList<NoteCard> cards;
        skipSpace();
        if (!take('['))
            return std::nullopt;
        skipSpace();
        if (!take(']')) {
            do {
                skipSpace();
                NoteCard card;
                if (!readCard(&card))
                    return std::nullopt;
                cards.append(std::move(card));
                skipSpace();
            } while (take(','));
            if (!take(']'))
                return std::nullopt;
        }
        skipSpace();
        if (m_p != m_end)
            return std::nullopt;
        return cards;
    }

private:
    enum Member : unsigned {
        Id = 1,
        Content = 2,
        Color = 4,
        CreatedAt = 8,
        UpdatedAt = 16,
        Pinned = 32
    };
    static constexpr unsigned required = Id | Content | Color | CreatedAt | UpdatedAt;

    void skipSpace()
    {
        while (m_p != m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    bool take(char c)
    {
        if (m_p == m_end || *m_p != c)
            return false;
        ++m_p;
        return true;
    }

    bool takeWord(QByteArrayView word)
    {
        if (m_end - m_p < word.size() || QByteArrayView(m_p, word.size()) != word)
            return false;
        m_p += word.size();
        return true;
    }

    bool readCard(NoteCard *card)
    {
        if (!take('{'))
            return false;
        unsigned seen = 0;
        do {
            skipSpace();
            const Member member = readMemberName();
            if (member == 0 || (seen & member) != 0)
                return false;
            seen |= member;
            skipSpace();
            if (!take(':'))
                return false;
            skipSpace();
            bool ok = false;
            switch (member) {
            case Id:
                ok = readString(&card->id);
                break;
            case Content:
                ok = readString(&card->content);
                break;
            case Color:
                ok = readString(&card->color);
                if (ok)
                    card->color = sharedColorKey(card->color);
                break;
            case CreatedAt:
                ok = readTimestamp(&card->createdAt);
                break;
            case UpdatedAt:
                ok = readTimestamp(&card->updatedAt);
                break;
            case Pinned:
                ok = readPinned(&card->isPinned);
                break;
            }
            if (!ok)
                return false;
            skipSpace();
        } while (take(','));
        return take('}') && (seen & required) == required;
    }

    // The member whose name starts here, or 0 for any other name (or one with escapes).
    Member readMemberName()
    {
        if (!take('"'))
            return Member(0);
        const char *start = m_p;
        while (m_p != m_end && *m_p != '"' && *m_p != '\\')
            ++m_p;
        if (m_p == m_end || *m_p != '"')
            return Member(0);
        const QByteArrayView name(start, m_p - start);
        ++m_p;
        if (name == "id")
            return Id;
        if (name == "content")
            return Content;
        if (name == "color")
            return Color;
        if (name == "createdAt")
            return CreatedAt;
        if (name == "updatedAt")
            return UpdatedAt;
        if (name == "pinned")
            return Pinned;
        return Member(0);
    }

    // The palette's own string for a palette key, so ten thousand cards share five strings.
    static QString sharedColorKey(const QString &key)
    {
        for (const QString &known : NotePastel::allKeys()) {
            if (known == key)
                return known;
        }
        return key;
    }

    bool readPinned(std::optional<bool> *pinned)
    {
        if (takeWord("true"))
            *pinned = true;
        else if (takeWord("false"))
            *pinned = false;
        else if (takeWord("null"))
            *pinned = std::nullopt;
        else
            return false;
        return true;
    }

    bool readTimestamp(Timestamp *timestamp)
    {
        if (m_p != m_end && *m_p == '"') {
            // The text forms are short and plain ASCII; anything else is left to the general
            // path, which also words the error.
            ++m_p;
            std::array<char16_t, 32> text{};
            std::size_t length = 0;
            while (m_p != m_end && *m_p != '"') {
                const auto c = static_cast<unsigned char>(*m_p);
                if (c < 0x20 || c >= 0x80 || c == '\\' || length == text.size())
                    return false;
                text[length++] = char16_t(c);
                ++m_p;
            }
            if (!take('"'))
                return false;
            const auto parsed =
                NoteJSON::parseIsoString(QStringView(text.data(), qsizetype(length)));
            if (!parsed)
                return false;
            *timestamp = *parsed;
            return true;
        }

        // A number, checked against JSON's grammar before it is converted.
        const char *start = m_p;
        take('-');
        if (!take('0') && !(m_p != m_end && *m_p >= '1' && *m_p <= '9' && skipDigits()))
            return false;
        if (take('.') && !skipDigits())
            return false;
        if (take('e') || take('E')) {
            if (!take('+'))
                take('-');
            if (!skipDigits())
                return false;
        }
        double seconds = 0;
        const auto [end, error] = std::from_chars(start, m_p, seconds);
        if (error != std::errc() || end != m_p)
            return false;
        const auto read = NoteJSON::readTimestamp(QJsonValue(seconds));
        if (!read)
            return false;
        *timestamp = read.value();
        return true;
    }

    bool skipDigits()
    {
        const char *start = m_p;
        while (m_p != m_end && *m_p >= '0' && *m_p <= '9')
            ++m_p;
        return m_p != start;
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // Four hexadecimal digits after "\u", or -1.
    int readHex4()
    {
        if (m_end - m_p < 4)
            return -1;
        int value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hexValue(m_p[i]);
            if (digit < 0)
                return -1;
            value = value * 16 + digit;
        }
        m_p += 4;
        return value;
    }

    // Whether all eight bytes at `p` stand for themselves in a string: printable ASCII, no
    // backslash. Bit tricks on one 64-bit word, exact for the question "is any byte not":
    // a high bit set; a byte below 0x20 (subtracting 0x20 from each byte borrows into its
    // high bit); a backslash (which xor-ed with itself is a zero byte, found the same way).
    static bool allPlain(const char *p)
    {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        std::uint64_t word = 0;
        std::memcpy(&word, p, sizeof word);
        const std::uint64_t below20 = (word - ones * 0x20) & ~word;
        const std::uint64_t backslash = word ^ (ones * '\\');
        const std::uint64_t zero = (backslash - ones) & ~backslash;
        return ((word | below20 | zero) & highs) == 0;
    }

    // A string in strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF),
    // with no raw control characters and only JSON's escapes.
    bool readString(QString *out)
    {
        if (!take('"'))
            return false;
        // Find the closing quote first, to size the result once: the first quote after an
        // even number of backslashes (none counts), found with memchr, which covers the
        // text of a large stack several bytes at a time.
        const char *close = m_p;
        for (;;) {
            close = static_cast<const char *>(std::memchr(close, '"', std::size_t(m_end - close)));
            if (!close)
                return false;
            qsizetype backslashes = 0;
            while (close - backslashes > m_p && close[-1 - backslashes] == '\\')
                ++backslashes;
            if (backslashes % 2 == 0)
                break;
            ++close;
        }
        // Qt drops a byte-order mark that opens a plain string; which one it keeps is its
        // parser's business, so such a string is left to it.
        if (QByteArrayView(m_p, close).startsWith("\xef\xbb\xbf"))
            return false;

        QString text(close - m_p, Qt::Uninitialized);
        char16_t *dst = reinterpret_cast<char16_t *>(text.data());
        char16_t *const begin = dst;
        while (m_p != close) {
            // Most of a card's text is plain ASCII: eight bytes at a time while none needs
            // a second look, then one character the careful way below.
            while (close - m_p >= 8 && allPlain(m_p)) {
                for (int i = 0; i < 8; ++i)
                    dst[i] = char16_t(static_cast<unsigned char>(m_p[i]));
                dst += 8;
                m_p += 8;
            }
            if (m_p == close)
                break;
            const auto c = static_cast<unsigned char>(*m_p);
            if (c >= 0x20 && c < 0x80 && c != '\\') {
                *dst++ = char16_t(c);
                ++m_p;
            } else if (c == '\\') {
                if (!readEscape(&dst, close))
                    return false;
            } else if (c < 0x20) {
                return false;
            } else if (!readUtf8(&dst, close)) {
                return false;
            }
        }
        ++m_p;
        text.truncate(dst - begin);
        *out = std::move(text);
        return true;
    }

    bool readEscape(char16_t **dst, const char *close)
    {
        ++m_p;
        if (m_p == close)
            return false;
        const char kind = *m_p++;
        switch (kind) {
        case '"':
        case '\\':
        case '/':
            *(*dst)++ = char16_t(kind);
            return true;
        case 'b':
            *(*dst)++ = u'\b';
            return true;
        case 'f':
            *(*dst)++ = u'\f';
            return true;
        case 'n':
            *(*dst)++ = u'\n';
            return true;
        case 'r':
            *(*dst)++ = u'\r';
            return true;
        case 't':
            *(*dst)++ = u'\t';
            return true;
        case 'u':
            break;
        default:
            return false;
        }
        const int unit = readHex4();
        if (unit < 0 || m_p > close)
            return false;
        if (!QChar::isSurrogate(char16_t(unit))) {
            *(*dst)++ = char16_t(unit);
            return true;
        }
        // Only a whole pair is read here.
        if (!QChar::isHighSurrogate(char16_t(unit)) || close - m_p < 6 || m_p[0] != '\\' ||
            m_p[1] != 'u')
            return false;
        m_p += 2;
        const int low = readHex4();
        if (low < 0 || !QChar::isLowSurrogate(char16_t(low)))
            return false;
        *(*dst)++ = char16_t(unit);
        *(*dst)++ = char16_t(low);
        return true;
    }

    bool readUtf8(char16_t **dst, const char *close)
    {
        const auto lead = static_cast<unsigned char>(*m_p);
        int extra = 0;
        char32_t c = 0;
        unsigned char low = 0x80;  // bounds of the second byte, which rule out overlong
        unsigned char high = 0xbf; // forms, surrogates and code points past U+10FFFF
        if (lead >= 0xc2 && lead <= 0xdf) {
            extra = 1;
            c = lead & 0x1f;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            extra = 2;
            c = lead & 0x0f;
            if (lead == 0xe0)
                low = 0xa0;
            else if (lead == 0xed)
                high = 0x9f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            extra = 3;
            c = lead & 0x07;
            if (lead == 0xf0)
                low = 0x90;
            else if (lead == 0xf4)
                high = 0x8f;
        } else {
            return false;
        }
        if (close - m_p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            const auto byte = static_cast<unsigned char>(m_p[i]);
            if (i == 1 ? (byte < low || byte > high) : (byte & 0xc0) != 0x80)
                return false;
            c = (c << 6) | (byte & 0x3f);
        }
        m_p += extra + 1;
        if (QChar::requiresSurrogates(c)) {
            *(*dst)++ = QChar::highSurrogate(c);
            *(*dst)++ = QChar::lowSurrogate(c);
        } else {
            *(*dst)++ = char16_t(c);
        }
        return true;
    }

    const char *m_p;
    const char *const m_end;
};

} // namespace

std::optional<QList<NoteCard>> read(QByteArrayView json)
{
    return Reader(json).read();
}

} // namespace CardJsonReader
