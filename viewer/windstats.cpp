#include "viewer/windstats.h"

#include "datafile/dayfilereader.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kFullCircle = 360.0;
constexpr double kSectorWidth = kFullCircle / WindStats::kSectors;
} // namespace

int WindStats::sectorOf(double direction)
{
    if (!(direction >= 0.0 && direction <= kFullCircle))
        return -1;
    return int(std::floor(direction / kSectorWidth + 0.5)) % kSectors;
}

double WindStats::speedOf(const DayRecord &record) const
{
    if (!m_unit || record.units == m_unitText)
        return record.speed;
    const SpeedUnit *from = SpeedUnit::find(record.units);
    return from ? record.speed * from->metresPerSecond / m_unit->metresPerSecond : record.speed;
}

void WindStats::add(const DayRecord &record)
{
    if (m_records == 0) {
        m_unitText = record.units.toByteArray();
        m_unit = SpeedUnit::find(record.units);
    }
    if (record.units != m_unitText && (!m_unit || !SpeedUnit::find(record.units)))
        ++m_foreignUnits;
    const double speed = speedOf(record);
    const qint64 t = record.localSeconds();
    ++m_records;
    m_first = std::min(m_first, t);
    m_last = std::max(m_last, t);
    m_speedSum += speed;
    m_maxSpeed = std::max(m_maxSpeed, speed);

    const int cls = unit().classOf(speed);
    const int sector = sectorOf(record.direction);
    // A record neither calm nor with a direction counts in the records only.
    if (cls < 0)
        ++m_calm;
    else if (sector >= 0)
        ++m_rose[sector][cls];
}

double WindStats::sectorShare(int sector) const
{
    double total = 0.0;
    for (int cls = 0; cls < kClasses; ++cls)
        total += share(sector, cls);
    return total;
}
