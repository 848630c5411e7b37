#pragma once

#include "viewer/speedunits.h"

#include <QByteArray>

#include <array>
#include <limits>

struct DayRecord;

// The figures of the summary strip and the wind rose, gathered record by
// record in constant memory.
//
// Speeds are shown in the unit of the first record; records in another
// known unit are converted to it, records in an unknown unit are taken as
// they are and counted (foreignUnits). Calm is a speed below the first
// class of the unit (0.5 m/s, 1 kn, ...). The rose puts each record that
// is not calm and has a direction from 0 to 360 into one of 16 sectors of
// 22.5° centred on N, NNE, ... and one of the unit's speed classes. Every
// share is percent of all records, so the sectors, calm and the records
// without a direction add up to 100.
class WindStats
{
public:
    static constexpr int kSectors = 16;
    static constexpr int kClasses = SpeedUnit::kClasses;

    void clear() { *this = WindStats(); }
    void add(const DayRecord &record);

    // The record's speed in the unit shown.
    double speedOf(const DayRecord &record) const;
    const SpeedUnit &unit() const { return m_unit ? *m_unit : SpeedUnit::metresPerSecondUnit(); }
    // The units column of the first record as written (the letter shown
    // when it is not one the sensor uses).
    QByteArray unitText() const { return m_unitText; }
    bool unitKnown() const { return m_unit != nullptr || m_unitText.isEmpty(); }
    qint64 foreignUnits() const { return m_foreignUnits; }

    qint64 records() const { return m_records; }
    qint64 firstSeconds() const { return m_first; } // local seconds (DayRecord::localSeconds)
    qint64 lastSeconds() const { return m_last; }
    double meanSpeed() const { return m_records ? m_speedSum / double(m_records) : 0.0; }
    double maxSpeed() const { return m_records ? m_maxSpeed : 0.0; }
    double calmShare() const { return percentOf(m_calm); }
    // Percent of all records in a sector and speed class.
    double share(int sector, int cls) const { return percentOf(m_rose[sector][cls]); }
    double sectorShare(int sector) const;

    // The sector of a direction in degrees, or -1 outside 0..360 (or NaN).
    static int sectorOf(double direction);

private:
    double percentOf(qint64 n) const { return m_records ? 100.0 * double(n) / double(m_records) : 0.0; }

    const SpeedUnit *m_unit = nullptr;
    QByteArray m_unitText;
    qint64 m_foreignUnits = 0;
    qint64 m_records = 0;
    qint64 m_first = std::numeric_limits<qint64>::max();
    qint64 m_last = std::numeric_limits<qint64>::min();
    double m_speedSum = 0.0;
    double m_maxSpeed = std::numeric_limits<double>::lowest();
    qint64 m_calm = 0;
    std::array<std::array<qint64, kClasses>, kSectors> m_rose{};
};
