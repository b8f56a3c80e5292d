#include "model/Timestamp.h"

#include <chrono>
#include <cmath>

Timestamp Timestamp::now()
{
    // Microseconds, so two edits in one millisecond still order correctly in memory.
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const double micros = static_cast<double>(sinceEpoch.count());
    return {micros / 1e6 - static_cast<double>(referenceEpochOffsetSeconds)};
}

Timestamp Timestamp::fromMSecsSinceReference(qint64 msecs)
{
    return {static_cast<double>(msecs) / 1000.0};
}

Timestamp Timestamp::fromDateTime(const QDateTime &dateTime)
{
    return fromMSecsSinceReference(dateTime.toMSecsSinceEpoch() -
                                   referenceEpochOffsetSeconds * 1000);
}

qint64 Timestamp::toMSecsSinceReference() const
{
    return std::llround(secondsSinceReference * 1000.0);
}

QDateTime Timestamp::toDateTime() const
{
    return QDateTime::fromMSecsSinceEpoch(
        toMSecsSinceReference() + referenceEpochOffsetSeconds * 1000, Qt::UTC);
}
