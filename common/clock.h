#pragma once

#include <QDateTime>

// Where the day file's name, its header and the record times take the date
// and time from. The programs use the system clock; tests hand in their own.
class Clock
{
public:
    virtual ~Clock() = default;
    // The local date and time. Its offset from UTC is the local one at that
    // moment, so other instants near it convert to local time without
    // another look at the time zone.
    virtual QDateTime now() const = 0;
    // Milliseconds since the epoch, without the time zone: cheap enough to
    // stamp every chunk of received bytes with.
    virtual qint64 msecsSinceEpoch() const = 0;
};

class SystemClock final : public Clock
{
public:
    // One reading of the clock and one of the time zone.
    QDateTime now() const override;
    qint64 msecsSinceEpoch() const override { return QDateTime::currentMSecsSinceEpoch(); }
};
