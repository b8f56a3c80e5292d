#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringMatcher>
#include <QStringView>

#include <array>
#include <vector>

// Finding words in card texts the way people type them: case and accents do not count.
// Both the text and the typed words are folded the same way (compatibility decomposition,
// combining marks dropped, Unicode case folding), so "Cafe" finds "café", "CAFÉ" and
// "cafe\u0301" alike, and "ﬁle" finds "file".
namespace SearchText {

// `text` folded for searching. With `origins`, also where each folded character came
// from: the offset in `text` of the code point it was folded from.
[[nodiscard]] QString fold(QStringView text, std::vector<qsizetype> *origins = nullptr);

// The words typed into a find field, folded, split at white space, without repeats; none
// for a query of white space only.
[[nodiscard]] QStringList words(QStringView query);

// What a text holds, in bits: each ASCII letter and digit, each pair of adjacent ones
// (exactly), and the other pairs of adjacent characters (hashed). A word whose bits are not
// all in a text's cannot be in it, which rules out most texts without reading them; a
// word of one or two letters or digits is decided by them alone.
using Signature = std::array<quint64, 26>;

// A folded text ready to be searched many times.
struct Folded
{
    QString text;
    Signature bits{};
};
[[nodiscard]] Folded prepare(QStringView text);

// Whether every word occurs in `folded` (a text as fold() gives it).
[[nodiscard]] bool containsAll(QStringView folded, const QStringList &words);

// One folded word, prepared to be looked for in many texts.
class Word final
{
public:
    explicit Word(const QString &word);
    // False only where the word cannot be in the text, going by its bits.
    [[nodiscard]] bool mayBeIn(const Folded &folded) const;
    // Whether mayBeIn() is the whole answer: no need to read the text.
    [[nodiscard]] bool decidedByBits() const { return m_decidedByBits; }
    // Where the word first occurs in `text` at or after `from`; -1 where it does not.
    [[nodiscard]] qsizetype indexIn(QStringView text, qsizetype from = 0) const;

private:
    QString m_word;
    static constexpr qsizetype longWord = 16; // longer: looked for through a skip table
    QStringMatcher m_matcher;                 // set for a long word only
    qsizetype m_anchor = 0; // the word's rarest character, looked for first in short ones
    std::vector<std::pair<std::size_t, quint64>> m_bits; // the words of the signature set
    bool m_decidedByBits = false;
};

// containsAll() for one set of words over many texts: the words are prepared once, and
// looked for longest first, as the longest rules out the most texts soonest.
class Matcher final
{
public:
    explicit Matcher(const QStringList &words);
    [[nodiscard]] bool matches(QStringView folded) const;
    [[nodiscard]] bool matches(const Folded &folded) const;

private:
    std::vector<Word> m_words;
};

// Every stretch of `text` where one of `words` occurs, in `text`'s own offsets, in order and
// merged where they touch or overlap. A stretch covers whole code points, and the combining
// marks after its last one.
struct Range
{
    qsizetype start = 0;
    qsizetype length = 0;
    friend bool operator==(const Range &, const Range &) = default;
};
[[nodiscard]] QList<Range> occurrences(QStringView text, const QStringList &words);

} // namespace SearchText
