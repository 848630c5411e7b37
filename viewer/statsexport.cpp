#include "viewer/statsexport.h"

#include "viewer/csvexport.h"

#include <QIODevice>

#include <cmath>
#include <memory>

namespace {
constexpr qint64 kMsPerSecond = 1000;
} // namespace

void StatsExport::setLimits(qint64 from, qint64 to)
{
    m_from = from;
    m_to = to;
}

WindSample StatsExport::sampleOf(const DayRecord &record)
{
    WindSample s;
    s.utcMs = record.utc * kMsPerSecond;
    s.speed = record.speed;
    if (!std::isnan(record.direction))
        s.directionDeg = record.direction;
    s.units = QString::fromLatin1(record.units);
    s.status = QString::fromLatin1(record.status);
    return s;
}

bool StatsExport::put(QIODevice &out, const QString &station, const IntervalRow &row, QString &error)
{
    const QByteArray line =
        (m_stations ? stationField(station, ',') + ',' : QByteArray()) + intervalCsvLine(row).toUtf8() + '\n';
    if (out.write(line) != line.size()) {
        error = QStringLiteral("cannot write the output: %1").arg(out.errorString());
        return false;
    }
    return true;
}

bool StatsExport::write(const QList<DayFile> &files, QIODevice &out, QString &error)
{
    m_stations = DayFiles::severalFolders(files);
    const QByteArray header =
        (m_stations ? QStringLiteral("station,") : QString()).toUtf8() + intervalCsvHeader().toUtf8() + '\n';
    if (out.write(header) != header.size()) {
        error = QStringLiteral("cannot write the output: %1").arg(out.errorString());
        return false;
    }
    std::unique_ptr<IntervalStats> stats;
    QString folder, station;
    for (const DayFile &file : files) {
        if (!stats || file.folder != folder) {
            // The files come station by station: a new station, new intervals.
            if (stats) {
                if (const auto row = stats->flush(); row && !put(out, station, *row, error))
                    return false;
            }
            stats = std::make_unique<IntervalStats>(m_minutes);
            folder = file.folder;
            station = file.station;
        }
        const auto take = [&](const DayRecord &record) {
            const auto row = stats->add(sampleOf(record));
            return !row || put(out, station, *row, error);
        };
        if (!readRecordsInRange(file.path, m_from, m_to, take, m_counts, m_problems, error))
            return false;
    }
    if (stats) {
        if (const auto row = stats->flush(); row && !put(out, station, *row, error))
            return false;
    }
    return true;
}
