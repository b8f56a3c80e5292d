#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

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

// Whether every word occurs in `folded` (a text as fold() gives it).
[[nodiscard]] bool containsAll(QStringView folded, const QStringList &words);

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
