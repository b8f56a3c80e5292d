#include "store/MarkdownExport.h"

#include "store/AtomicFile.h"

#include <QFileInfo>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// One piece of a QLocale date format: a field such as "MMMM" (a run of one pattern letter)
// or literal text, quoted parts kept with their quotes.
struct FormatPiece
{
    QChar letter; // 'd', 'M' or 'y'; null for literal text
    qsizetype count = 0;
    QString text;

    [[nodiscard]] bool isField() const { return !letter.isNull(); }
    [[nodiscard]] bool isWeekday() const { return letter == u'd' && count >= 3; }
};

std::vector<FormatPiece> splitDateFormat(const QString &format)
{
    std::vector<FormatPiece> pieces;
    const auto appendLiteral = [&pieces](QStringView text) {
        if (pieces.empty() || pieces.back().isField())
            pieces.push_back({});
        pieces.back().text += text;
    };
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            // Up to and with the closing quote. A doubled quote inside ("'o''clock'") reads
            // as two quoted parts side by side, which are literal text all the same.
            const qsizetype close = format.indexOf(u'\'', i + 1);
            const qsizetype end = close < 0 ? format.size() : close + 1;
            appendLiteral(QStringView(format).mid(i, end - i));
            i = end;
        } else if (c == u'd' || c == u'M' || c == u'y') {
            qsizetype end = i;
            while (end < format.size() && format.at(end) == c)
                ++end;
            pieces.push_back({c, end - i, format.mid(i, end - i)});
            i = end;
        } else {
            appendLiteral(QStringView(format).mid(i, 1));
            ++i;
        }
    }
    return pieces;
}

// What separates a trailing weekday from the date before it: spaces and commas.
bool isTrailingSeparator(QChar c)
{
    return c.isSpace() || c == u',' || c == u'\u060C' /* Arabic comma */ ||
           c == u'\u3001' /* ideographic comma */ || c == u'\uFF0C' /* fullwidth comma */;
}

void dropWeekdays(std::vector<FormatPiece> &pieces)
{
    for (;;) {
        const auto weekday =
            std::find_if(pieces.begin(), pieces.end(),
                         [](const FormatPiece &piece) { return piece.isWeekday(); });
        if (weekday == pieces.end())
            return;
        const auto nextField = std::find_if(
            weekday + 1, pieces.end(), [](const FormatPiece &piece) { return piece.isField(); });
        if (nextField != pieces.end()) {
            // "dddd, MMMM d" → "MMMM d": the weekday and the text up to the next field go.
            pieces.erase(weekday, nextField);
            continue;
        }
        // "d MMMM yyyy, dddd" → "d MMMM yyyy": a weekday at the end takes any text after it
        // and the spaces and commas before it. Letters before it stay: in "d日dddd" the 日
        // belongs to the day.
        const auto position = weekday - pieces.begin();
        pieces.erase(weekday, pieces.end());
        if (position > 0 && !pieces.back().isField()) {
            QString &text = pieces.back().text;
            qsizetype keep = text.size();
            while (keep > 0 && isTrailingSeparator(text.at(keep - 1)))
                --keep;
            text.truncate(keep);
            if (text.isEmpty())
                pieces.pop_back();
        }
    }
}

// Once the weekday is gone, every 'd' field left is the day of the month.
bool hasDayMonthAndYear(const std::vector<FormatPiece> &pieces)
{
    const auto has = [&pieces](QChar letter) {
        return std::any_of(pieces.cbegin(), pieces.cend(),
                           [letter](const FormatPiece &piece) { return piece.letter == letter; });
    };
    return has(u'd') && has(u'M') && has(u'y');
}

} // namespace

// MediumDateTimeFormatter

MediumDateTimeFormatter::MediumDateTimeFormatter(const QLocale &locale,
                                                 std::optional<QTimeZone> zone)
    : m_locale(locale)
    , m_zone(std::move(zone))
    , m_dateFormat(mediumDateFormat(locale))
    , m_timeFormat(locale.timeFormat(QLocale::ShortFormat))
{}

QString MediumDateTimeFormatter::mediumDateFormat(const QLocale &locale)
{
    return mediumFromLongDateFormat(locale.dateFormat(QLocale::LongFormat))
        .value_or(locale.dateFormat(QLocale::ShortFormat));
}

std::optional<QString> MediumDateTimeFormatter::mediumFromLongDateFormat(const QString &format)
{
    std::vector<FormatPiece> pieces = splitDateFormat(format);
    dropWeekdays(pieces);
    if (!hasDayMonthAndYear(pieces))
        return std::nullopt;
    QString medium;
    for (const FormatPiece &piece : pieces) {
        if (piece.letter == u'M' && piece.count == 4)
            medium += u"MMM"_s;
        else
            medium += piece.text;
    }
    return medium;
}

QString MediumDateTimeFormatter::format(Timestamp timestamp) const
{
    const QDateTime utc = timestamp.toDateTime();
    const QDateTime local = m_zone ? utc.toTimeZone(*m_zone) : utc.toLocalTime();
    return m_locale.toString(local.date(), m_dateFormat) + u", "_s +
           m_locale.toString(local.time(), m_timeFormat);
}

// MarkdownExport

QString MarkdownExport::document(const QList<NoteCard> &cards,
                                 const MediumDateTimeFormatter &formatter)
{
    const QString total = QString::number(cards.size());
    QString text;
    for (qsizetype i = 0; i < cards.size(); ++i) {
        const NoteCard &card = cards.at(i);
        if (i > 0)
            text += u"\n\n"_s;
        text += u"---\nCard "_s + QString::number(i + 1) + u" of "_s + total + u" | Color: "_s +
                card.color + u" | "_s + formatter.format(card.updatedAt) + u"\n---\n\n"_s +
                card.content;
    }
    return text;
}

SaveDialogOptions MarkdownExport::saveDialogOptions(const QString &directory)
{
    SaveDialogOptions options;
    options.directory = directory;
    options.title = u"Export Pinlark Cards to Markdown"_s;
    options.acceptLabel = u"Export"_s;
    options.proposedName = u"Pinlark-Export.md"_s;
    options.nameFilters = {u"Markdown and plain text (*.md *.markdown *.txt)"_s};
    options.defaultSuffix = u"md"_s;
    return options;
}

QString MarkdownExport::startFolder(const QString &lastExportFolder, const QString &documentsFolder,
                                    const QString &homeFolder)
{
    for (const QString &folder : {lastExportFolder, documentsFolder}) {
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return folder;
    }
    return homeFolder;
}

Result<bool> MarkdownExport::write(const QString &document, const QUrl &location)
{
    if (!location.isLocalFile()) {
        return Result<bool>::failure(location.toDisplayString() +
                                     u": only files on this computer can be written"_s);
    }
    const QByteArray bytes = document.toUtf8();
    return writeFileAtomically(location.toLocalFile(), [&bytes](QIODevice &file) {
        return file.write(bytes) == bytes.size();
    });
}
