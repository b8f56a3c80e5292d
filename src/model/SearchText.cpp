#include "model/SearchText.h"

#include <QHash>

#include <algorithm>
#include <tuple>

namespace SearchText {

namespace {

bool isMark(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
        return true;
    default:
        return false;
    }
}

// The folding of one code point outside ASCII. Normalising a string is costly next to a
// table lookup, and a card uses few distinct letters, so each is folded once per thread.
const QString &foldCodePoint(char32_t codePoint)
{
    thread_local QHash<char32_t, QString> folded;
    auto found = folded.constFind(codePoint);
    if (found != folded.cend())
        return *found;
    const QString decomposed =
        QString::fromUcs4(&codePoint, 1).normalized(QString::NormalizationForm_KD);
    QString kept;
    for (qsizetype i = 0; i < decomposed.size(); ++i) {
        char32_t part = decomposed.at(i).unicode();
        if (QChar::isHighSurrogate(part) && i + 1 < decomposed.size() &&
            decomposed.at(i + 1).isLowSurrogate()) {
            part = QChar::surrogateToUcs4(decomposed.at(i), decomposed.at(i + 1));
            ++i;
        }
        if (!isMark(part))
            kept.append(QString::fromUcs4(&part, 1));
    }
    return *folded.insert(codePoint, kept.toCaseFolded());
}

// The length of the code point at `offset` of `text`: two for a whole surrogate pair.
qsizetype codePointLength(QStringView text, qsizetype offset)
{
    return text.at(offset).isHighSurrogate() && offset + 1 < text.size() &&
                   text.at(offset + 1).isLowSurrogate()
               ? 2
               : 1;
}

} // namespace

QString fold(QStringView text, std::vector<qsizetype> *origins)
{
    // Written in place: most of a card is ASCII, one character for one.
    QString out(text.size(), Qt::Uninitialized);
    char16_t *written = reinterpret_cast<char16_t *>(out.data());
    qsizetype length = 0;
    if (origins) {
        origins->clear();
        origins->reserve(std::size_t(text.size()));
    }
    const char16_t *chars = text.utf16();
    for (qsizetype i = 0; i < text.size();) {
        const char16_t unit = chars[i];
        if (unit < 0x80) {
            written[length++] = unit >= u'A' && unit <= u'Z' ? char16_t(unit + 32) : unit;
            if (origins)
                origins->push_back(i);
            ++i;
            continue;
        }
        const qsizetype units = codePointLength(text, i);
        const char32_t codePoint =
            units == 2 ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : char32_t(unit);
        const QString &folded = foldCodePoint(codePoint);
        // Room for this folding and one character for each left to read.
        const qsizetype needed = length + folded.size() + (text.size() - i - units);
        if (needed > out.size()) {
            out.resize(std::max(out.size() * 2, needed));
            written = reinterpret_cast<char16_t *>(out.data());
        }
        std::copy(folded.utf16(), folded.utf16() + folded.size(), written + length);
        length += folded.size();
        if (origins)
            origins->insert(origins->end(), std::size_t(folded.size()), i);
        i += units;
    }
    out.truncate(length);
    return out;
}

namespace {

// The signature's bits: 36 x 36 for the pairs of ASCII letters and digits, then one for
// each of them alone, then the other pairs hashed into the rest.
constexpr quint32 alnumCount = 36;
constexpr quint32 firstSingleBit = alnumCount * alnumCount;
constexpr quint32 firstHashedBit = firstSingleBit + alnumCount;
constexpr quint32 hashedBits = quint32(std::tuple_size_v<Signature> * 64) - firstHashedBit;

// 0-35 for a folded ASCII letter or digit; -1 for anything else.
constexpr std::array<qint8, 128> alnumTable = [] {
    std::array<qint8, 128> table{};
    table.fill(-1);
    for (int c = 'a'; c <= 'z'; ++c)
        table[std::size_t(c)] = qint8(c - 'a');
    for (int c = '0'; c <= '9'; ++c)
        table[std::size_t(c)] = qint8(26 + c - '0');
    return table;
}();

int alnumIndex(char16_t c)
{
    return c < 128 ? alnumTable[c] : -1;
}

void setBit(Signature &bits, quint32 bit)
{
    bits[bit >> 6] |= quint64(1) << (bit & 63);
}

void addBits(QStringView text, Signature &bits)
{
    if (text.isEmpty())
        return;
    const char16_t *chars = text.utf16();
    int previous = alnumIndex(chars[0]);
    if (previous >= 0)
        setBit(bits, firstSingleBit + quint32(previous));
    for (qsizetype i = 1; i < text.size(); ++i) {
        const int current = alnumIndex(chars[i]);
        if (current >= 0) {
            setBit(bits, firstSingleBit + quint32(current));
            if (previous >= 0) {
                setBit(bits, quint32(previous) * alnumCount + quint32(current));
                previous = current;
                continue;
            }
        }
        const quint32 hash = ((quint32(chars[i - 1]) << 16) | chars[i]) * 2654435761u;
        setBit(bits, firstHashedBit + quint32((quint64(hash) * hashedBits) >> 32));
        previous = current;
    }
}

} // namespace

Folded prepare(QStringView text)
{
    Folded folded{fold(text), {}};
    addBits(folded.text, folded.bits);
    return folded;
}

QStringList words(QStringView query)
{
    QStringList found;
    const QString folded = fold(query);
    // Any white space splits: tabs and no-break spaces as well as the plain space.
    for (qsizetype start = 0, i = 0; i <= folded.size(); ++i) {
        if (i < folded.size() && !folded.at(i).isSpace())
            continue;
        if (i > start) {
            QString word = folded.sliced(start, i - start);
            if (!found.contains(word))
                found.append(std::move(word));
        }
        start = i + 1;
    }
    return found;
}

bool containsAll(QStringView folded, const QStringList &words)
{
    return Matcher(words).matches(folded);
}

Word::Word(const QString &word)
    : m_word(word)
{
    if (word.size() > longWord)
        m_matcher.setPattern(word);
    Signature bits{};
    addBits(word, bits);
    for (std::size_t i = 0; i < bits.size(); ++i) {
        if (bits[i] != 0)
            m_bits.emplace_back(i, bits[i]);
    }
    // English letters from the most to the least common; anything else counts as rarer.
    static constexpr QStringView byFrequency = u"etaoinshrdlcumwfgypbvkjxqz";
    qsizetype rarest = -1;
    for (qsizetype i = 0; i < word.size(); ++i) {
        const qsizetype rank = byFrequency.indexOf(word.at(i));
        const qsizetype rarity = rank < 0 ? byFrequency.size() : rank;
        if (rarity > rarest) {
            rarest = rarity;
            m_anchor = i;
        }
    }
    m_decidedByBits = (word.size() == 1 || word.size() == 2) &&
                      std::all_of(word.cbegin(), word.cend(),
                                  [](QChar c) { return alnumIndex(c.unicode()) >= 0; });
}

bool Word::mayBeIn(const Folded &folded) const
{
    return std::all_of(m_bits.cbegin(), m_bits.cend(), [&folded](const auto &slot) {
        return (folded.bits[slot.first] & slot.second) == slot.second;
    });
}

qsizetype Word::indexIn(QStringView text, qsizetype from) const
{
    // A short word's skip table lets it skip little: finding its rarest character with the
    // vectorised search for one character, and comparing the rest there, reads less.
    if (m_word.size() > longWord)
        return m_matcher.indexIn(text, from);
    const QChar anchor = m_word.at(m_anchor);
    const QStringView word(m_word);
    for (qsizetype at = text.indexOf(anchor, from + m_anchor); at >= 0;
         at = text.indexOf(anchor, at + 1)) {
        const qsizetype start = at - m_anchor;
        if (start + word.size() <= text.size() && text.sliced(start, word.size()) == word)
            return start;
    }
    return -1;
}

Matcher::Matcher(const QStringList &words)
{
    QStringList longestFirst = words;
    std::stable_sort(longestFirst.begin(), longestFirst.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &word : std::as_const(longestFirst)) {
        if (!word.isEmpty())
            m_words.emplace_back(word);
    }
}

bool Matcher::matches(const Folded &folded) const
{
    return std::all_of(m_words.cbegin(), m_words.cend(),
                       [&folded](const Word &word) { return word.mayBeIn(folded); }) &&
           std::all_of(m_words.cbegin(), m_words.cend(), [&folded](const Word &word) {
               return word.decidedByBits() || word.indexIn(folded.text) >= 0;
           });
}

bool Matcher::matches(QStringView folded) const
{
    return std::all_of(m_words.cbegin(), m_words.cend(),
                       [folded](const Word &word) { return word.indexIn(folded) >= 0; });
}

QList<Range> occurrences(QStringView text, const QStringList &words)
{
    std::vector<qsizetype> origins;
    const QString folded = fold(text, &origins);
    std::vector<Range> found;
    for (const QString &word : words) {
        if (word.isEmpty())
            continue;
        for (qsizetype at = folded.indexOf(word); at >= 0; at = folded.indexOf(word, at + 1)) {
            const qsizetype last = origins[std::size_t(at + word.size() - 1)];
            qsizetype end = last + codePointLength(text, last);
            while (end < text.size()) {
                const qsizetype length = codePointLength(text, end);
                const char32_t next = length == 2
                                          ? QChar::surrogateToUcs4(text.at(end), text.at(end + 1))
                                          : char32_t(text.at(end).unicode());
                if (!isMark(next))
                    break;
                end += length;
            }
            const qsizetype start = origins[std::size_t(at)];
            found.push_back({start, end - start});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Range &a, const Range &b) { return a.start < b.start; });
    QList<Range> merged;
    for (const Range &range : found) {
        if (!merged.isEmpty() && range.start <= merged.last().start + merged.last().length) {
            Range &last = merged.last();
            last.length = std::max(last.length, range.start + range.length - last.start);
        } else {
            merged.append(range);
        }
    }
    return merged;
}

} // namespace SearchText
