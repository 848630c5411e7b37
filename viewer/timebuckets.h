#pragma once

#include <QList>
#include <QPointF>

#include <array>
#include <vector>

// What the two time charts draw of any number of records, in memory that
// does not grow with them. While there are at most kRawLimit records every
// one is kept and drawn (records stamped with the same second are spread
// evenly over it). Past that, time is cut into at most kMaxBuckets buckets
// of a whole number of seconds, doubled whenever the records outgrow them;
// a bucket keeps its lowest and highest speed (drawn in the order they came,
// so gusts and lulls stay visible) and, of each eighth of its time, the
// first record's direction (so the direction chart is a sample of real
// records, evenly spread over time, at most kDirectionSlots per bucket).
//
// Times are UTC seconds (DayRecord::utc), so the repeated hour of the
// change back from summer time lies once, in order; the points' x is
// milliseconds since the epoch, as QDateTimeAxis wants.
//
// The speed line is cut where the records have a gap: a step between two
// records of more than kGapSeconds (and more than three times the usual
// step), or an empty stretch of buckets at least that long. At most
// kMaxSegments pieces are made; beyond that only the longest gaps cut.
class TimeBuckets
{
public:
    static constexpr int kRawLimit = 4096;
    static constexpr int kMaxBuckets = 1024;
    static constexpr int kDirectionSlots = 8;
    static constexpr qint64 kGapSeconds = 5;
    static constexpr int kGapSteps = 3;
    static constexpr int kMaxSegments = 200;

    void clear() { *this = TimeBuckets(); }
    // `direction` NaN (or outside 0..360): the record has none.
    void add(qint64 utcSeconds, double speed, double direction);

    qint64 count() const { return m_count; }
    qint64 firstSeconds() const { return m_first; }
    qint64 lastSeconds() const { return m_last; }
    // 0 while every record is kept.
    qint64 bucketSeconds() const { return m_raw.empty() && m_count ? m_width : 0; }

    QList<QPointF> speedPoints() const;
    // The same points, in pieces between the gaps.
    QList<QList<QPointF>> speedSegments() const;
    QList<QPointF> directionPoints() const;

    static qint64 toEpochMs(qint64 utcSeconds) { return utcSeconds * 1000; }

private:
    struct Raw
    {
        qint64 t;
        float speed;
        float direction;
    };
    struct Bucket
    {
        quint32 count = 0;
        float low = 0.0f, high = 0.0f;
        qint64 lowAt = 0, highAt = 0;
        std::array<float, kDirectionSlots> direction; // negative: none yet
        std::array<qint64, kDirectionSlots> directionAt{};
        Bucket() { direction.fill(-1.0f); }
        void add(qint64 t, float speed, float d, int slot);
        // Takes in a bucket of half the width: the first half when `half` is 0.
        void merge(const Bucket &other, int half);
    };

    void addToBucket(qint64 t, float speed, float direction);
    int slotOf(qint64 t) const;
    void makeBuckets();
    void coarsen();
    qint64 originFor(qint64 t) const;
    // For each speed point after the first: the gap before it in seconds (0: none).
    std::vector<qint64> gapsBefore() const;

    qint64 m_count = 0;
    qint64 m_first = 0, m_last = 0;
    std::vector<Raw> m_raw;
    qint64 m_width = 1; // seconds per bucket
    qint64 m_origin = 0; // start of bucket 0, a multiple of m_width
    std::vector<Bucket> m_buckets;
};
