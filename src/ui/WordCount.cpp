#include "ui/WordCount.h"

#include <QChar>
#include <QTextBoundaryFinder>

namespace {

bool isSeparator(char32_t codePoint)
{
    // QChar::isSpace is exactly White_Space: tab to carriage return, space, U+0085, and the
    // separator categories (no-break space, the U+2000 block, line and paragraph separators).
    return QChar::isSpace(codePoint);
}

// Whether a UTF-16 unit may belong to a code point that extends the cluster before it
// (combining marks, joiners, variation selectors, anything outside the BMP). Below U+0300
// nothing does, so texts made only of such units count by code point, without the cluster
// finder.
bool mayExtendCluster(char16_t unit)
{
    return unit >= 0x0300;
}

} // namespace

int wordCount(QStringView text)
{
    bool plain = true;
    for (const QChar unit : text) {
        if (mayExtendCluster(unit.unicode())) {
            plain = false;
            break;
        }
    }

    int words = 0;
    bool inWord = false;
    if (plain) {
        for (const QChar unit : text) {
            const bool separator = isSeparator(unit.unicode());
            if (!separator && !inWord)
                ++words;
            inWord = !separator;
        }
        return words;
    }

    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, text.data(), text.size());
    qsizetype start = 0;
    for (qsizetype end = clusters.toNextBoundary(); end > 0 && start < text.size();
         end = clusters.toNextBoundary()) {
        char32_t first = text.at(start).unicode();
        if (QChar::isHighSurrogate(first) && start + 1 < text.size() &&
            text.at(start + 1).isLowSurrogate())
            first = QChar::surrogateToUcs4(text.at(start), text.at(start + 1));
        const bool separator = isSeparator(first);
        if (!separator && !inWord)
            ++words;
        inWord = !separator;
        start = end;
    }
    return words;
}
