#pragma once

#include <QDateTime>

// Where the day file's name, its header and the record time take the date and
// time from. The program uses the system clock; tests set the time by hand.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

// A clock that shows the time it was set to, optionally moving on by a fixed
// step at every reading (so "23:59:59 then midnight" is one line in a test).
class SettableClock final : public Clock
{
public:
    explicit SettableClock(const QDateTime &t = QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7)))
        : m_now(t) {}
    void set(const QDateTime &t) { m_now = t; }
    void setStepMs(qint64 ms) { m_stepMs = ms; }
    QDateTime now() const override;

private:
    mutable QDateTime m_now;
    qint64 m_stepMs = 0;
};
