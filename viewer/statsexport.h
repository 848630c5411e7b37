#pragma once

#include "datafile/dayfilereader.h"
#include "datafile/dayfiles.h"
#include "stats/intervalstats.h"

#include <QStringList>

#include <limits>

class QIODevice;

// The interval statistics of day files as CSV (IntervalStats' columns), one
// row per interval of M minutes that holds records, in time order.
//
// Each record is one sample: its UTC moment (DayRecord::utc, the repeated
// hour of the change back from summer time resolved by file order), its
// speed column, its direction (none when empty), units and status. A day
// file's speed is the logger's running mean of N messages, so these rows
// describe that mean, not the sensor's raw speeds. Records have whole
// seconds, so the records of one second share its start.
//
// Files of more than one folder (a collector's stations) are computed per
// station, each row led by a station column.
class StatsExport
{
public:
    explicit StatsExport(int minutes)
        : m_minutes(minutes)
    {
    }

    // Only records from `from` to `to` (local seconds, inclusive).
    void setLimits(qint64 from, qint64 to);
    // False with a one-line `error` when a file cannot be read or the
    // output cannot be written.
    bool write(const QList<DayFile> &files, QIODevice &out, QString &error);

    const DayFileReader::Counts &counts() const { return m_counts; }
    QStringList problems() const { return m_problems; }

    // The sample a record gives.
    static WindSample sampleOf(const DayRecord &record);

private:
    bool put(QIODevice &out, const QString &station, const IntervalRow &row, QString &error);

    int m_minutes;
    bool m_stations = false;
    qint64 m_from = std::numeric_limits<qint64>::min();
    qint64 m_to = std::numeric_limits<qint64>::max();
    DayFileReader::Counts m_counts;
    QStringList m_problems;
};
