#include "model/NoteJSON.h"

#include "model/CardJsonReader.h"
#include "model/CardJsonWriter.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <array>
#include <cmath>

using namespace Qt::StringLiterals;

namespace NoteJSON {

namespace {

constexpr qint64 msecsPerDay = 86'400'000;

qint64 referenceJulianDay()
{
    static const qint64 day = QDate(2001, 1, 1).toJulianDay();
    return day;
}

// Years 0001 to 9999 are all the four-digit text form can hold. A timestamp outside them
// could be read from a number but never written back, so it is refused when read.
qint64 earliestMSecs()
{
    static const qint64 msecs = (QDate(1, 1, 1).toJulianDay() - referenceJulianDay()) * msecsPerDay;
    return msecs;
}

qint64 latestMSecs()
{
    static const qint64 msecs =
        (QDate(9999, 12, 31).toJulianDay() - referenceJulianDay() + 1) * msecsPerDay - 1;
    return msecs;
}

// Floor division, so instants before the reference fall on the right day.
qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

class Digits
{
public:
    explicit Digits(QStringView text)
        : m_text(text)
    {}

    // The number written by the `count` ASCII digits at `pos`, or -1.
    [[nodiscard]] int at(qsizetype pos, int count) const
    {
        if (pos + count > m_text.size())
            return -1;
        int value = 0;
        for (int i = 0; i < count; ++i) {
            const char16_t c = m_text[pos + i].unicode();
            if (c < u'0' || c > u'9')
                return -1;
            value = value * 10 + (c - u'0');
        }
        return value;
    }

    [[nodiscard]] bool is(qsizetype pos, char16_t c) const
    {
        return pos < m_text.size() && m_text[pos].unicode() == c;
    }

private:
    QStringView m_text;
};

QString unparseable(const QString &text)
{
    return u"Unparseable date: "_s + text;
}

} // namespace

std::array<char, isoLength> isoChars(Timestamp timestamp)
{
    const qint64 msecs = timestamp.toMSecsSinceReference();
    const qint64 days = floorDiv(msecs, msecsPerDay);
    qint64 rest = msecs - days * msecsPerDay;
    int year = 0;
    int month = 0;
    int day = 0;
    QDate::fromJulianDay(referenceJulianDay() + days).getDate(&year, &month, &day);

    const int millis = int(rest % 1000);
    rest /= 1000;
    const int seconds = int(rest % 60);
    rest /= 60;
    const int minutes = int(rest % 60);
    const int hours = int(rest / 60);

    // Formatting by hand: QDateTime::toString costs several times more, and a save of a
    // large stack formats two timestamps per card.
    std::array<char, isoLength> out{};
    auto put = [&out](int pos, int value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out[std::size_t(pos + i)] = char('0' + value % 10);
            value /= 10;
        }
    };
    put(0, year, 4);
    out[4] = '-';
    put(5, month, 2);
    out[7] = '-';
    put(8, day, 2);
    out[10] = 'T';
    put(11, hours, 2);
    out[13] = ':';
    put(14, minutes, 2);
    out[16] = ':';
    put(17, seconds, 2);
    out[19] = '.';
    put(20, millis, 3);
    out[23] = 'Z';
    return out;
}

QString isoString(Timestamp timestamp)
{
    const std::array<char, isoLength> text = isoChars(timestamp);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

std::optional<Timestamp> parseIsoString(QStringView text)
{
    // Exactly YYYY-MM-DDTHH:MM:SS, an optional .fff, then Z or ±HH:MM. QDateTime's own ISO
    // reader accepts much more (date-only text, local time, a space for T), so the shape is
    // checked here and only the calendar arithmetic is left to QDate.
    const Digits digits(text);
    const int year = digits.at(0, 4);
    const int month = digits.at(5, 2);
    const int day = digits.at(8, 2);
    const int hour = digits.at(11, 2);
    const int minute = digits.at(14, 2);
    const int second = digits.at(17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 ||
        !digits.is(4, u'-') || !digits.is(7, u'-') || !digits.is(10, u'T') ||
        !digits.is(13, u':') || !digits.is(16, u':'))
        return std::nullopt;

    qsizetype pos = 19;
    int millis = 0;
    if (digits.is(pos, u'.')) {
        millis = digits.at(pos + 1, 3);
        if (millis < 0)
            return std::nullopt;
        pos += 4;
    }

    int offsetMinutes = 0;
    if (digits.is(pos, u'Z')) {
        pos += 1;
    } else if (digits.is(pos, u'+') || digits.is(pos, u'-')) {
        const int offsetHours = digits.at(pos + 1, 2);
        const int offsetMins = digits.at(pos + 4, 2);
        if (offsetHours < 0 || offsetHours > 23 || !digits.is(pos + 3, u':') || offsetMins < 0 ||
            offsetMins > 59)
            return std::nullopt;
        offsetMinutes = (offsetHours * 60 + offsetMins) * (digits.is(pos, u'-') ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;

    const QDate date(year, month, day);
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    const qint64 msecs = (date.toJulianDay() - referenceJulianDay()) * msecsPerDay +
                         ((hour * 60 + minute - offsetMinutes) * 60 + second) * qint64(1000) +
                         millis;
    if (msecs < earliestMSecs() || msecs > latestMSecs())
        return std::nullopt;
    return Timestamp::fromMSecsSinceReference(msecs);
}

Result<Timestamp> readTimestamp(const QJsonValue &value)
{
    if (value.isString()) {
        const QString text = value.toString();
        if (auto timestamp = parseIsoString(text))
            return *timestamp;
        return Result<Timestamp>::failure(unparseable(text));
    }
    if (value.isDouble()) {
        const double seconds = value.toDouble();
        const double msecs = seconds * 1000.0;
        if (!std::isfinite(msecs) || msecs < double(earliestMSecs()) ||
            msecs > double(latestMSecs()))
            return Result<Timestamp>::failure(u"Timestamp out of range: "_s +
                                              QString::number(seconds, 'g', 17));
        return Timestamp{seconds};
    }
    return Result<Timestamp>::failure(u"Expected a date string or a number of seconds"_s);
}

QJsonArray cardsToJson(const QList<NoteCard> &cards)
{
    QJsonArray array;
    for (const NoteCard &card : cards)
        array.append(card.toJson());
    return array;
}

QByteArray encodeCards(const QList<NoteCard> &cards)
{
    return CardJsonWriter::toBytes(cards);
}

bool writeCards(const QList<NoteCard> &cards, QIODevice &device)
{
    return CardJsonWriter::write(cards, device);
}

Result<QList<NoteCard>> cardsFromJson(const QJsonArray &array)
{
    QList<NoteCard> cards;
    cards.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        auto card = NoteCard::fromJson(array.at(i));
        if (!card) {
            // The date reader's own text stands alone, so it reads the same in every client.
            if (card.error().startsWith(u"Unparseable date: "))
                return Result<QList<NoteCard>>::failure(card.error());
            return Result<QList<NoteCard>>::failure(u"card "_s + QString::number(i + 1) + u": "_s +
                                                    card.error());
        }
        cards.append(std::move(card).value());
    }
    return cards;
}

Result<QList<NoteCard>> decodeCards(QByteArray json)
{
    if (auto cards = CardJsonReader::read(json))
        return std::move(*cards);

    QJsonParseError parseError{};
    QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    json = QByteArray();
    if (parseError.error != QJsonParseError::NoError)
        return Result<QList<NoteCard>>::failure(u"not valid JSON ("_s + parseError.errorString() +
                                                u" at offset "_s +
                                                QString::number(parseError.offset) + u')');
    if (!document.isArray())
        return Result<QList<NoteCard>>::failure(u"expected a JSON array of cards"_s);
    const QJsonArray array = document.array();
    document = QJsonDocument();
    return cardsFromJson(array);
}

} // namespace NoteJSON
