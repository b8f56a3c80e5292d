#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

// The fixed palette: five card colours named by the keys cards store, and the surface and
// text tones of the views.
namespace NotePastel {

[[nodiscard]] QColor yellow();
[[nodiscard]] QColor mint();
[[nodiscard]] QColor lavender();
[[nodiscard]] QColor peach();
[[nodiscard]] QColor sky();

[[nodiscard]] QColor paper();
[[nodiscard]] QColor cardBg();
[[nodiscard]] QColor ink();
[[nodiscard]] QColor inkSoft();
[[nodiscard]] QColor inkMuted();

// "yellow", "mint", "lavender", "peach", "sky", in that order.
[[nodiscard]] const QStringList &allKeys();

// The colour of a stored key, compared exactly; any other key shows as yellow. The key a
// card stores is never rewritten by this fallback.
[[nodiscard]] QColor colorFor(QStringView key);

} // namespace NotePastel
