#include "common/clock.h"

#include <ctime>

QDateTime SystemClock::now() const
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    // The time zone is looked up afresh every time, so a change of it (or
    // of summer time) shows at the next record.
    ::tzset();
    const time_t seconds = time_t(ms / 1000);
    tm local{};
    if (!::localtime_r(&seconds, &local))
        return QDateTime::fromMSecsSinceEpoch(ms);
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, int(local.tm_gmtoff));
}
