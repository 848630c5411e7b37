#include "viewer/timebuckets.h"

#include "common/timeunits.h"
#include "datafile/dayfilereader.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kFullCircle = 360.0;

bool hasDirection(float d)
{
    return d >= 0.0f && d <= float(kFullCircle);
}

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

} // namespace

void TimeBuckets::Bucket::add(qint64 t, float speed, float d, int slot)
{
    if (count == 0 || speed < low) {
        low = speed;
        lowAt = t;
    }
    if (count == 0 || speed > high) {
        high = speed;
        highAt = t;
    }
    ++count;
    if (hasDirection(d) && !hasDirection(direction[slot])) {
        direction[slot] = d;
        directionAt[slot] = t;
    }
}

void TimeBuckets::Bucket::merge(const Bucket &other, int half)
{
    if (other.count == 0)
        return;
    if (count == 0 || other.low < low) {
        low = other.low;
        lowAt = other.lowAt;
    }
    if (count == 0 || other.high > high) {
        high = other.high;
        highAt = other.highAt;
    }
    count += other.count;
    for (int s = 0; s < kDirectionSlots; ++s) {
        const int slot = half * kDirectionSlots / 2 + s / 2;
        if (hasDirection(other.direction[s]) && !hasDirection(direction[slot])) {
            direction[slot] = other.direction[s];
            directionAt[slot] = other.directionAt[s];
        }
    }
}

void TimeBuckets::add(qint64 utcSeconds, double speed, double direction)
{
    const float d = std::isnan(direction) ? -1.0f : float(direction);
    m_first = m_count ? std::min(m_first, utcSeconds) : utcSeconds;
    m_last = m_count ? std::max(m_last, utcSeconds) : utcSeconds;
    ++m_count;
    if (m_buckets.empty()) {
        m_raw.push_back({utcSeconds, float(speed), d});
        if (m_raw.size() > size_t(kRawLimit))
            makeBuckets();
        return;
    }
    addToBucket(utcSeconds, float(speed), d);
}

qint64 TimeBuckets::originFor(qint64 t) const
{
    return floorDiv(t, m_width) * m_width;
}

int TimeBuckets::slotOf(qint64 t) const
{
    return int((t - originFor(t)) * kDirectionSlots / m_width);
}

void TimeBuckets::makeBuckets()
{
    m_width = 1;
    while ((m_last - originFor(m_first)) / m_width >= kMaxBuckets)
        m_width *= 2;
    m_origin = originFor(m_first);
    m_buckets.assign(size_t((m_last - m_origin) / m_width + 1), Bucket());
    for (const Raw &r : m_raw)
        m_buckets[size_t((r.t - m_origin) / m_width)].add(r.t, r.speed, r.direction, slotOf(r.t));
    m_raw.clear();
    m_raw.shrink_to_fit();
}

void TimeBuckets::addToBucket(qint64 t, float speed, float direction)
{
    // Grow towards t, halving the resolution while the span does not fit.
    for (;;) {
        const qint64 low = originFor(std::min(t, m_origin));
        const qint64 high = std::max(m_last, m_origin + qint64(m_buckets.size()) * m_width - 1);
        if ((high - low) / m_width < kMaxBuckets)
            break;
        coarsen();
    }
    if (t < m_origin) {
        const qint64 origin = originFor(t);
        m_buckets.insert(m_buckets.begin(), size_t((m_origin - origin) / m_width), Bucket());
        m_origin = origin;
    }
    const size_t index = size_t((t - m_origin) / m_width);
    if (index >= m_buckets.size())
        m_buckets.resize(index + 1);
    m_buckets[index].add(t, speed, direction, slotOf(t));
}

void TimeBuckets::coarsen()
{
    const qint64 width = m_width * 2;
    const qint64 origin = floorDiv(m_origin, width) * width;
    std::vector<Bucket> merged(size_t((m_origin + qint64(m_buckets.size()) * m_width - 1 - origin) / width + 1));
    for (size_t i = 0; i < m_buckets.size(); ++i) {
        const qint64 offset = m_origin + qint64(i) * m_width - origin;
        merged[size_t(offset / width)].merge(m_buckets[i], int(offset % width / m_width));
    }
    m_buckets.swap(merged);
    m_width = width;
    m_origin = origin;
}

QList<QPointF> TimeBuckets::speedPoints() const
{
    QList<QPointF> points;
    const auto epochMs = &TimeBuckets::toEpochMs;
    if (!m_raw.empty()) {
        points.reserve(qsizetype(m_raw.size()));
        // Records of one second spread evenly over it.
        for (size_t i = 0, next = 0; i < m_raw.size(); i = next) {
            next = i;
            while (next < m_raw.size() && m_raw[next].t == m_raw[i].t)
                ++next;
            const double base = double(epochMs(m_raw[i].t)), step = double(kMsPerSecond) / double(next - i);
            for (size_t k = i; k < next; ++k)
                points.append(QPointF(base + step * double(k - i), m_raw[k].speed));
        }
        return points;
    }
    for (const Bucket &b : m_buckets) {
        if (b.count == 0)
            continue;
        const bool lowFirst = b.lowAt <= b.highAt;
        points.append(QPointF(double(epochMs(lowFirst ? b.lowAt : b.highAt)), lowFirst ? b.low : b.high));
        if (b.count > 1)
            points.append(QPointF(double(epochMs(lowFirst ? b.highAt : b.lowAt)), lowFirst ? b.high : b.low));
    }
    return points;
}

QList<QPointF> TimeBuckets::directionPoints() const
{
    QList<QPointF> points;
    const auto epochMs = &TimeBuckets::toEpochMs;
    if (!m_raw.empty()) {
        const QList<QPointF> speeds = speedPoints(); // the same spread times
        for (size_t i = 0; i < m_raw.size(); ++i) {
            if (hasDirection(m_raw[i].direction))
                points.append(QPointF(speeds[qsizetype(i)].x(), m_raw[i].direction));
        }
        return points;
    }
    for (const Bucket &b : m_buckets) {
        for (int slot = 0; slot < kDirectionSlots; ++slot) {
            if (hasDirection(b.direction[slot]))
                points.append(QPointF(double(epochMs(b.directionAt[slot])), b.direction[slot]));
        }
    }
    return points;
}

std::vector<qint64> TimeBuckets::gapsBefore() const
{
    std::vector<qint64> gaps;
    if (!m_raw.empty()) {
        // Steps between records of different seconds; a gap is well above the usual one.
        std::vector<qint64> steps;
        for (size_t i = 1; i < m_raw.size(); ++i) {
            if (m_raw[i].t != m_raw[i - 1].t)
                steps.push_back(m_raw[i].t - m_raw[i - 1].t);
        }
        qint64 usual = 1;
        if (!steps.empty()) {
            std::vector<qint64> sorted = steps;
            std::nth_element(sorted.begin(), sorted.begin() + qsizetype(sorted.size() / 2), sorted.end());
            usual = sorted[sorted.size() / 2];
        }
        const qint64 threshold = std::max(kGapSeconds, kGapSteps * usual);
        for (size_t i = 1; i < m_raw.size(); ++i) {
            const qint64 step = m_raw[i].t - m_raw[i - 1].t;
            gaps.push_back(step > threshold ? step : 0);
        }
        return gaps;
    }
    // Buckets: the empty stretch between two that hold records.
    qint64 previous = -1;
    for (size_t i = 0; i < m_buckets.size(); ++i) {
        if (m_buckets[i].count == 0)
            continue;
        if (previous >= 0) {
            const qint64 empty = (qint64(i) - previous - 1) * m_width;
            gaps.push_back(empty >= kGapSeconds ? empty : 0);
        }
        if (m_buckets[i].count > 1)
            gaps.push_back(0);
        previous = qint64(i);
    }
    return gaps;
}

QList<QList<QPointF>> TimeBuckets::speedSegments() const
{
    const QList<QPointF> points = speedPoints();
    std::vector<qint64> gaps = gapsBefore();
    // Too many pieces: only the longest gaps cut.
    std::vector<qint64> cuts;
    for (qint64 g : gaps) {
        if (g > 0)
            cuts.push_back(g);
    }
    qint64 least = 1;
    if (cuts.size() >= size_t(kMaxSegments)) {
        std::nth_element(cuts.begin(), cuts.begin() + (kMaxSegments - 2), cuts.end(), std::greater<>());
        least = cuts[kMaxSegments - 2] + 1;
    }
    QList<QList<QPointF>> segments;
    for (qsizetype i = 0; i < points.size(); ++i) {
        if (i == 0 || (size_t(i - 1) < gaps.size() && gaps[size_t(i - 1)] >= least && segments.size() < kMaxSegments))
            segments.append(QList<QPointF>());
        segments.last().append(points[i]);
    }
    return segments;
}
