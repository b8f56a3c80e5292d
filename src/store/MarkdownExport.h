#pragma once

#include "model/NoteCard.h"
#include "model/Result.h"
#include "model/Timestamp.h"
#include "store/SaveDialog.h"

#include <QList>
#include <QLocale>
#include <QString>
#include <QTimeZone>
#include <QUrl>

#include <optional>

// Formats instants as the locale's medium date and short time, joined by ", "
// ("Mar 1, 2025, 9:15 AM" in en_US). QLocale has no medium date format of its own, so it
// is derived once, at construction, from the long one: the weekday goes and full month
// names become abbreviations. Make one per batch of dates and reuse it.
class MediumDateTimeFormatter final
{
public:
    // `zone` empty: the system's local time zone.
    explicit MediumDateTimeFormatter(const QLocale &locale = QLocale(),
                                     std::optional<QTimeZone> zone = std::nullopt);

    [[nodiscard]] QString format(Timestamp timestamp) const;

    [[nodiscard]] const QString &dateFormat() const { return m_dateFormat; }
    [[nodiscard]] const QString &timeFormat() const { return m_timeFormat; }

    // The locale's long date format made medium, or its short date format when that fails.
    [[nodiscard]] static QString mediumDateFormat(const QLocale &locale);
    // A long date format without its weekday (and the separator that goes with it) and with
    // "MMMM" shortened to "MMM": "dddd, MMMM d, yyyy" → "MMM d, yyyy". None when that does
    // not leave a day, a month and a year.
    [[nodiscard]] static std::optional<QString> mediumFromLongDateFormat(const QString &format);

private:
    QLocale m_locale;
    std::optional<QTimeZone> m_zone;
    QString m_dateFormat;
    QString m_timeFormat;
};

// The whole stack as one plain Markdown document, and the writing of it.
namespace MarkdownExport {

// Every card in list order, each under a "---" header naming its place in the stack, its
// colour key and when it was last edited; sections are separated by one blank line.
// Contents are written verbatim, without escaping, and the document has no final line feed.
[[nodiscard]] QString document(const QList<NoteCard> &cards,
                               const MediumDateTimeFormatter &formatter);

// What the save dialog for an export shows, starting in `directory`.
[[nodiscard]] SaveDialogOptions saveDialogOptions(const QString &directory = {});

// The folder an export's dialog starts in: the folder of the last export written in this run,
// else the user's documents folder, each only if it is a folder now; else the home folder.
// Empty paths count as missing.
[[nodiscard]] QString startFolder(const QString &lastExportFolder, const QString &documentsFolder,
                                  const QString &homeFolder);

// Writes `document` as UTF-8 to the local file `location`, replacing it atomically: on
// failure a file already there is left exactly as it was. The failure's description names
// the target.
[[nodiscard]] Result<bool> write(const QString &document, const QUrl &location);

} // namespace MarkdownExport
