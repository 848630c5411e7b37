#include "stats/intervalstats.h"
#include "common/timeunits.h"

#include <QDateTime>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr qint64 kMsPerMinute = 60 * qint64(kMsPerSecond);
constexpr int kMinutesPerHour = 60;
constexpr double kFullCircle = 360.0;

// Decimals of each column, in the table and in the JSON alike.
constexpr int kCoverageDecimals = 3;
constexpr int kSpeedDecimals = 3;
constexpr int kTiDecimals = 4;
constexpr int kDirectionDecimals = 1;

double degrees(double radians)
{
    return radians * 180.0 / std::numbers::pi;
}
double radians(double degrees)
{
    return degrees * std::numbers::pi / 180.0;
}

double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// A mean direction as written: rounded, and 359.96 written as 0.0, not 360.0.
double directionRounded(double deg)
{
    const double r = rounded(deg, kDirectionDecimals);
    return r >= kFullCircle ? 0.0 : r;
}

QString number(const std::optional<double> &value, int decimals)
{
    return value ? QString::number(rounded(*value, decimals), 'f', decimals) : QString();
}

QJsonValue jsonNumber(const std::optional<double> &value, int decimals)
{
    return value ? QJsonValue(rounded(*value, decimals)) : QJsonValue(QJsonValue::Null);
}

QString directionText(const std::optional<double> &deg)
{
    return deg ? QString::number(directionRounded(*deg), 'f', kDirectionDecimals) : QString();
}

QJsonValue directionJson(const std::optional<double> &deg)
{
    return deg ? QJsonValue(directionRounded(*deg)) : QJsonValue(QJsonValue::Null);
}

QString utcIso(qint64 utcMs, Qt::DateFormat format)
{
    return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).toString(format);
}

} // namespace

bool IntervalStats::isValidMinutes(int minutes)
{
    return minutes > 0 && minutes <= kMinutesPerHour && kMinutesPerHour % minutes == 0;
}

IntervalStats::IntervalStats(int minutes)
    : m_minutes(isValidMinutes(minutes) ? minutes : kDefaultMinutes),
      m_intervalMs(m_minutes * kMsPerMinute)
{
}

// Midnight UTC is a whole multiple of every interval length since the
// epoch, so flooring the epoch time aligns to midnight too.
qint64 IntervalStats::intervalStart(qint64 utcMs) const
{
    qint64 q = utcMs / m_intervalMs;
    if (utcMs % m_intervalMs < 0)
        --q;
    return q * m_intervalMs;
}

std::optional<IntervalRow> IntervalStats::add(const WindSample &sample)
{
    std::optional<IntervalRow> ended;
    const qint64 start = intervalStart(sample.utcMs);
    if (m_open && start != m_start)
        ended = finish();
    if (!m_open)
        begin(start);

    ++m_count;
    const double delta = sample.speed - m_mean;
    m_mean += delta / double(m_count);
    m_m2 += delta * (sample.speed - m_mean);
    m_min = m_count == 1 ? sample.speed : std::min(m_min, sample.speed);
    m_max = m_count == 1 ? sample.speed : std::max(m_max, sample.speed);

    const auto second = std::size_t((sample.utcMs - m_start) / kMsPerSecond);
    if (!m_seconds[second]) {
        m_seconds[second] = true;
        ++m_secondsHeld;
    }

    // The gust window ends at the sample's time; all samples of one
    // instant belong to it before its mean is a candidate.
    const qint64 t = m_window.empty() ? sample.utcMs : std::max(sample.utcMs, m_window.back().t);
    if (!m_window.empty() && t != m_window.back().t)
        takeGust();
    m_window.push_back({t, sample.speed});
    while (m_window.front().t <= t - kGustMs)
        m_window.pop_front();

    if (sample.directionDeg) {
        const double a = radians(*sample.directionDeg);
        m_sinSum += std::sin(a);
        m_cosSum += std::cos(a);
        ++m_directions;
    }
    if (sample.status != QLatin1String("00"))
        ++m_statusBad;
    if (m_count == 1)
        m_units = sample.units;
    else if (sample.units != m_units)
        m_mixedUnits = true;
    return ended;
}

std::optional<IntervalRow> IntervalStats::closeUntil(qint64 utcMs)
{
    if (m_open && utcMs >= openIntervalEnd())
        return finish();
    return std::nullopt;
}

std::optional<IntervalRow> IntervalStats::flush()
{
    if (m_open)
        return finish();
    return std::nullopt;
}

void IntervalStats::begin(qint64 start)
{
    m_open = true;
    m_start = start;
    m_count = 0;
    m_mean = m_m2 = m_min = m_max = 0.0;
    m_seconds.assign(std::size_t(m_intervalMs / kMsPerSecond), false);
    m_secondsHeld = 0;
    m_window.clear();
    m_gust.reset();
    m_sinSum = m_cosSum = 0.0;
    m_directions = 0;
    m_statusBad = 0;
    m_units.clear();
    m_mixedUnits = false;
}

void IntervalStats::takeGust()
{
    // Summed afresh (a few dozen samples at most) rather than kept by
    // adding and subtracting, so no rounding builds up over an interval.
    double sum = 0.0;
    for (const GustSample &g : m_window)
        sum += g.speed;
    const double mean = sum / double(m_window.size());
    if (!m_gust || mean > *m_gust)
        m_gust = mean;
}

IntervalRow IntervalStats::finish()
{
    takeGust();
    IntervalRow row;
    row.startMs = m_start;
    row.endMs = m_start + m_intervalMs;
    row.count = m_count;
    row.coverage = double(m_secondsHeld) / double(m_seconds.size());
    row.statusBad = m_statusBad;
    if (!m_mixedUnits) {
        row.units = m_units;
        row.speedMean = m_mean;
        row.speedMin = m_min;
        row.speedMax = m_max;
        row.gust = m_gust;
        if (m_count > 1) {
            row.speedSd = std::sqrt(m_m2 / double(m_count - 1));
            if (m_mean != 0.0)
                row.ti = *row.speedSd / m_mean;
        }
    }
    if (m_directions > 0) {
        const double s = m_sinSum / double(m_directions);
        const double c = m_cosSum / double(m_directions);
        double mean = degrees(std::atan2(s, c));
        if (mean < 0.0)
            mean += kFullCircle;
        row.dirMean = mean;
        const double eps = std::sqrt(std::max(0.0, 1.0 - (s * s + c * c)));
        row.dirSd = degrees(std::asin(std::min(1.0, eps)) * (1.0 + (2.0 / std::sqrt(3.0) - 1.0) * eps * eps * eps));
    }
    m_open = false;
    return row;
}

QString intervalCsvHeader()
{
    return QStringLiteral("start,end,count,coverage,speed_mean,speed_sd,speed_min,speed_max,"
                          "gust,ti,dir_mean,dir_sd,status_bad,units");
}

QString intervalCsvLine(const IntervalRow &row)
{
    return QStringList{
        utcIsoSeconds(row.startMs),
        utcIsoSeconds(row.endMs),
        QString::number(row.count),
        QString::number(row.coverage, 'f', kCoverageDecimals),
        number(row.speedMean, kSpeedDecimals),
        number(row.speedSd, kSpeedDecimals),
        number(row.speedMin, kSpeedDecimals),
        number(row.speedMax, kSpeedDecimals),
        number(row.gust, kSpeedDecimals),
        number(row.ti, kTiDecimals),
        directionText(row.dirMean),
        number(row.dirSd, kDirectionDecimals),
        QString::number(row.statusBad),
        row.units,
    }
        .join(u',');
}

QJsonObject intervalJson(const IntervalRow &row)
{
    return QJsonObject{
        {QStringLiteral("start"), utcIsoSeconds(row.startMs)},
        {QStringLiteral("end"), utcIsoSeconds(row.endMs)},
        {QStringLiteral("count"), row.count},
        {QStringLiteral("coverage"), rounded(row.coverage, kCoverageDecimals)},
        {QStringLiteral("speed_mean"), jsonNumber(row.speedMean, kSpeedDecimals)},
        {QStringLiteral("speed_sd"), jsonNumber(row.speedSd, kSpeedDecimals)},
        {QStringLiteral("speed_min"), jsonNumber(row.speedMin, kSpeedDecimals)},
        {QStringLiteral("speed_max"), jsonNumber(row.speedMax, kSpeedDecimals)},
        {QStringLiteral("gust"), jsonNumber(row.gust, kSpeedDecimals)},
        {QStringLiteral("ti"), jsonNumber(row.ti, kTiDecimals)},
        {QStringLiteral("dir_mean"), directionJson(row.dirMean)},
        {QStringLiteral("dir_sd"), jsonNumber(row.dirSd, kDirectionDecimals)},
        {QStringLiteral("status_bad"), row.statusBad},
        {QStringLiteral("units"), row.units.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(row.units)},
    };
}

QString utcIsoSeconds(qint64 utcMs)
{
    return utcIso(utcMs, Qt::ISODate);
}

QString utcIsoMillis(qint64 utcMs)
{
    return utcIso(utcMs, Qt::ISODateWithMs);
}
