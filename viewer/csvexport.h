#pragma once

#include "datafile/dayfilereader.h"
#include "datafile/dayfiles.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

#include <limits>

class QIODevice;

// Reads the records of one day file whose local time lies in [from, to]
// and hands each to `take` (false ends the reading, with error set); a
// header whose date is not the name's goes into problems, the reader's
// counts into counts. False with error set when the file cannot be read.
bool readRecordsInRange(const QString &path, qint64 from, qint64 to, const std::function<bool(const DayRecord &)> &take,
                        DayFileReader::Counts &counts, QStringList &problems, QString &error);

// A station's folder name as a field: as nativepath shows it (a name that
// is not UTF-8 is read as Latin-1), in UTF-8, quoted when it holds the
// separator, a quote or a line end.
QByteArray stationField(const QString &station, char separator);

// Day files as one tidy table, UTF-8, one row per record in file order
// (the files in date order), streamed through a fixed buffer:
//
//   [station,]time,node,direction,speed,units,status,samples,sample_1,...,sample_K
//   2003-05-21T14:03:07+02:00,Q,229,2.50,M,00,0,,,
//
// station is the name of the record's folder (see stationField), present when the files lie
// in more than one folder (a collector's stations). time is the record's
// local date and time in ISO 8601 with its UTC offset (the repeated hour
// of the change back from summer time resolved by file order, see
// DayFileReader), or in UTC with Z (setUtc); node is column 2 without its STX; direction, speed
// and the samples are the numbers as written without leading zeros (empty
// where the sensor sent no direction); samples is how many the record has
// (0 in normal mode). K is the most samples of any debug record in the
// files, so every row has the same columns. Texts are read as Latin-1 and
// quoted when they hold the separator, a quote or a line end.
class CsvExport
{
public:
    explicit CsvExport(char separator = ',')
        : m_separator(separator)
    {
    }

    // Only records from `from` to `to` (local seconds, inclusive).
    void setLimits(qint64 from, qint64 to);
    // Times in UTC ("...Z") instead of local time with its offset.
    void setUtc(bool utc) { m_utc = utc; }
    // Writes the header row and every record of `files`. False with a
    // one-line `error` when the output cannot be written or a file cannot
    // be read.
    bool write(const QList<DayFile> &files, QIODevice &out, QString &error);

    const DayFileReader::Counts &counts() const { return m_counts; }
    // Header dates that are not the name's, one line each.
    QStringList problems() const { return m_problems; }

private:
    static constexpr qsizetype kFlushAt = 1 << 20;

    bool writeFile(const DayFile &file, int sampleColumns, QIODevice &out, QString &error);
    void appendHeader(int sampleColumns);
    void appendRecord(const DayRecord &r, int sampleColumns);
    void appendTime(const DayRecord &r);
    void appendDate(const QDate &date);
    void appendText(QByteArrayView text);
    void appendNumber(QByteArrayView text);
    bool flush(QIODevice &out, QString &error);

    char m_separator;
    bool m_utc = false;
    bool m_stations = false; // a station column
    QByteArray m_station; // the current file's, as the column holds it
    qint64 m_from = std::numeric_limits<qint64>::min();
    qint64 m_to = std::numeric_limits<qint64>::max();
    QByteArray m_buffer;
    QDate m_cachedDate;
    QByteArray m_cachedDateText; // "yyyy-mm-ddT"
    int m_cachedOffset = -1;
    QByteArray m_cachedOffsetText; // "+02:00"
    DayFileReader::Counts m_counts;
    QStringList m_problems;
};
