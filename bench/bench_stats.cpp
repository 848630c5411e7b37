// sorvik7-bench-stats: samples a second through the interval statistics,
// on a day of a sensor at 4 messages a second (345 600 samples) and at 32,
// with directions, in one-minute and ten-minute intervals. Prints one line
// per case and a summary line.

#include "stats/intervalstats.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr qint64 kMsPerSecond = 1000;
constexpr qint64 kSecondsPerDay = 86400;
constexpr qint64 kDayStartMs = 1796601600000; // 2026-12-07T00:00:00Z

struct Case
{
    int rateHz;
    int minutes;
};

// A day of samples through the module; returns samples a second.
double run(const Case &c, qint64 &rows)
{
    IntervalStats stats(c.minutes);
    const qint64 n = kSecondsPerDay * c.rateHz;
    const QString units = QStringLiteral("M");
    const QString good = QStringLiteral("00");
    double checksum = 0.0;
    rows = 0;
    QElapsedTimer clock;
    clock.start();
    for (qint64 i = 0; i < n; ++i) {
        WindSample s;
        s.utcMs = kDayStartMs + i * kMsPerSecond / c.rateHz;
        s.speed = 5.0 + 3.0 * std::sin(double(i) * 0.01);
        s.directionDeg = double((i * 7) % 360);
        s.units = units;
        s.status = good;
        if (const auto row = stats.add(s)) {
            ++rows;
            checksum += *row->gust;
        }
    }
    if (stats.flush())
        ++rows;
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (checksum < 0) // keeps the loop from being optimised away
        std::printf("?\n");
    return double(n) / seconds;
}

} // namespace

int main()
{
    double slowest = 0.0;
    for (const Case c : {Case{4, 10}, Case{4, 1}, Case{32, 10}}) {
        qint64 rows = 0;
        const double rate = run(c, rows);
        slowest = slowest == 0.0 ? rate : std::min(slowest, rate);
        std::printf("stats %2d Hz, %2d-min intervals: %10.0f samples/s  (%lld rows a day)\n", c.rateHz, c.minutes, rate,
                    rows);
    }
    std::printf("summary: stats_samples_per_s=%.0f\n", slowest);
    return 0;
}
