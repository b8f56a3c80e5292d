#include "model/SearchText.h"

#include <QHash>

#include <algorithm>

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
    QString out;
    out.reserve(text.size());
    if (origins) {
        origins->clear();
        origins->reserve(std::size_t(text.size()));
    }
    const char16_t *chars = text.utf16();
    for (qsizetype i = 0; i < text.size();) {
        const char16_t unit = chars[i];
        if (unit < 0x80) {
            out.append(QChar(unit >= u'A' && unit <= u'Z' ? char16_t(unit + 32) : unit));
            if (origins)
                origins->push_back(i);
            ++i;
            continue;
        }
        const qsizetype length = codePointLength(text, i);
        const char32_t codePoint =
            length == 2 ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : char32_t(unit);
        const QString &folded = foldCodePoint(codePoint);
        out.append(folded);
        if (origins)
            origins->insert(origins->end(), std::size_t(folded.size()), i);
        i += length;
    }
    return out;
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
    return std::all_of(words.cbegin(), words.cend(), [folded](const QString &word) {
        return folded.contains(word, Qt::CaseSensitive);
    });
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
