#pragma once

#include <QStringView>

// The number of words in a text: maximal runs of user-perceived characters (grapheme
// clusters) that are neither whitespace nor line breaks. A cluster counts as whitespace when
// its first code point has the Unicode White_Space property, which takes in every line break.
[[nodiscard]] int wordCount(QStringView text);
