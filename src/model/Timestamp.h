#pragma once

#include <QDateTime>

#include <compare>

// A point in time as double-precision seconds since 2001-01-01 00:00:00 UTC: the
// reference instant every Pinlark client stores. Compared exactly, like the double.
struct Timestamp
{
    double secondsSinceReference = 0.0;

    [[nodiscard]] static Timestamp now();
    [[nodiscard]] static Timestamp fromMSecsSinceReference(qint64 msecs);
    [[nodiscard]] static Timestamp fromDateTime(const QDateTime &dateTime);
    // The instant rounded to the nearest millisecond, in UTC.
    [[nodiscard]] QDateTime toDateTime() const;
    // Nearest whole millisecond since the reference instant.
    [[nodiscard]] qint64 toMSecsSinceReference() const;

    friend bool operator==(Timestamp, Timestamp) = default;
    friend auto operator<=>(Timestamp, Timestamp) = default;
};

// Seconds between 1970-01-01 (the Unix epoch) and the 2001-01-01 reference instant.
inline constexpr qint64 referenceEpochOffsetSeconds = 978307200;
