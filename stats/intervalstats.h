#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <deque>
#include <optional>
#include <vector>

// Statistics of wind samples over fixed intervals of M minutes, as a
// measurement campaign reports them: mean, standard deviation, extremes,
// the 3-second gust, turbulence intensity, the vector-mean direction and
// its spread, availability and bad status, one row per interval.
//
// Intervals are aligned to UTC at whole multiples of M minutes since
// midnight and hold [start, end). Only intervals with at least one sample
// give a row; a gap shows as a missing row, or as coverage below 1.

// One message as the statistics see it.
struct WindSample
{
    qint64 utcMs = 0; // milliseconds since the epoch, UTC
    double speed = 0.0; // finite
    std::optional<double> directionDeg; // none when the message had none
    QString units; // the sensor's units letter
    QString status; // "00" is good, anything else counts as bad
};

// One interval's figures. A column that is empty in the table is an empty
// optional here: the speed columns when the interval mixes units, the
// standard deviation below two samples, the direction without directions.
struct IntervalRow
{
    qint64 startMs = 0;
    qint64 endMs = 0;
    qint64 count = 0;
    double coverage = 0.0; // share of the interval's seconds with a sample
    std::optional<double> speedMean;
    std::optional<double> speedSd; // sample standard deviation (n - 1)
    std::optional<double> speedMin;
    std::optional<double> speedMax;
    std::optional<double> gust; // highest running 3-second mean
    std::optional<double> ti; // speedSd / speedMean
    std::optional<double> dirMean; // 0 to under 360 degrees
    std::optional<double> dirSd; // Yamartino estimate, degrees
    qint64 statusBad = 0;
    QString units; // empty when the interval mixes units
};

class IntervalStats
{
public:
    static constexpr int kDefaultMinutes = 10;
    static constexpr qint64 kGustMs = 3000;

    // M must divide 60 (isValidMinutes); anything else is taken as the default.
    explicit IntervalStats(int minutes = kDefaultMinutes);

    static bool isValidMinutes(int minutes);
    int minutes() const { return m_minutes; }
    qint64 intervalMs() const { return m_intervalMs; }
    // The start of the interval that holds the instant.
    qint64 intervalStart(qint64 utcMs) const;

    // Feeds one sample. Samples come in time order; when one lies past the
    // interval in progress, that interval has ended and its row is returned.
    // A sample that lies before it (the clock was set back) ends it as well
    // and starts its own interval; within an interval a sample older than
    // the one before counts at that one's time for the gust.
    std::optional<IntervalRow> add(const WindSample &sample);
    // The row of the interval in progress if it has ended by this instant:
    // what a timer calls so that a row comes out without waiting for the
    // next sample.
    std::optional<IntervalRow> closeUntil(qint64 utcMs);
    // The row of the interval in progress, cut short (its coverage shows
    // it); nothing when no sample has come since the last row.
    std::optional<IntervalRow> flush();

    bool hasOpenInterval() const { return m_open; }
    // The end of the interval in progress, valid while one is open.
    qint64 openIntervalEnd() const { return m_start + m_intervalMs; }

private:
    struct GustSample
    {
        qint64 t;
        double speed;
    };

    void begin(qint64 start);
    void takeGust();
    IntervalRow finish();

    int m_minutes;
    qint64 m_intervalMs;

    bool m_open = false;
    qint64 m_start = 0;
    qint64 m_count = 0;
    // Welford's running mean and sum of squared deviations.
    double m_mean = 0.0;
    double m_m2 = 0.0;
    double m_min = 0.0;
    double m_max = 0.0;
    std::vector<bool> m_seconds;
    qint64 m_secondsHeld = 0;
    // The samples of the last 3 s, for the gust.
    std::deque<GustSample> m_window;
    std::optional<double> m_gust;
    double m_sinSum = 0.0;
    double m_cosSum = 0.0;
    qint64 m_directions = 0;
    qint64 m_statusBad = 0;
    QString m_units;
    bool m_mixedUnits = false;
};

// The table's columns and one row of it, in CSV (no line end).
QString intervalCsvHeader();
QString intervalCsvLine(const IntervalRow &row);
// The row as a JSON object with the same names: numbers as they stand in
// the table, null where the table is empty.
QJsonObject intervalJson(const IntervalRow &row);
// "2026-12-07T03:10:00Z", and with milliseconds "2026-12-07T03:12:40.125Z".
QString utcIsoSeconds(qint64 utcMs);
QString utcIsoMillis(qint64 utcMs);
