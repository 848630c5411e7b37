#pragma once

#include <QByteArrayView>
#include <QDate>
#include <QDateTime>
#include <QString>

#include <array>
#include <limits>
#include <span>
#include <vector>

// One record of a day file, as DayFileReader gives it. The text views point
// into the reader's buffer and stay valid until its next call of next().
struct DayRecord
{
    QDate date; // the day the record belongs to (see DayFileReader)
    int secondOfDay = 0; // column 1, local time of day in seconds
    QByteArrayView timeText; // column 1 as written, "hh:mm:ss"
    QByteArrayView node; // column 2 without its leading STX
    QByteArrayView directionText; // column 3 as written; empty when the sensor sent none
    QByteArrayView speedText; // column 4 as written, e.g. "002.50"
    QByteArrayView units; // column 5: M, N, K, P, F
    QByteArrayView status; // column 6
    double direction = 0.0; // degrees; NaN when column 3 is empty
    double speed = 0.0; // the mean speed of the logger's window
    std::span<const double> samples; // debug records: the N speeds in slot order; else empty
    std::span<const QByteArrayView> sampleTexts;
    qint64 utc = 0; // the same moment in seconds since the epoch (see DayFileReader)
    int utcOffset = 0; // local minus UTC, seconds (+7200 for CEST)

    // Seconds since 1970-01-01 00:00:00 on the local wall clock (no time
    // zone applied): cheap, ordered, and what the date and time say.
    qint64 localSeconds() const { return localSecondsOf(date, secondOfDay); }

    static constexpr int kSecondsPerDay = 86400;
    static qint64 localSecondsOf(const QDate &d, int secondOfDay)
    {
        return (d.toJulianDay() - kUnixEpochJulianDay) * kSecondsPerDay + secondOfDay;
    }
    // The date of local seconds.
    static QDate dateOf(qint64 localSeconds)
    {
        const qint64 day = localSeconds / kSecondsPerDay - (localSeconds % kSecondsPerDay < 0);
        return QDate::fromJulianDay(day + kUnixEpochJulianDay);
    }
    static constexpr qint64 kUnixEpochJulianDay = 2440588;
};

// Reads one day file <yyyymmdd>.SVK as the logger writes it: an optional
// header line "Gill Format Polar,yy/mm/dd,hh:mm:ss", then one line per
// record, each ended by CR LF:
//
//   hh:mm:ss,<STX>node,direction,speed,units,status[,,s1,...,sN]
//
// The bracketed part is present in debug mode (an empty seventh column, then
// N speeds); normal and debug lines may follow each other in one file, with
// any N from 1 to kMaxSamples.
//
// Dates. The file's date D comes from its name (yyyymmdd), else from its
// header; a header whose date differs from the name is noted
// (headerMatchesName) and the name wins. The logger picks the file by the
// date at which it writes a record, and stamps the record with the time at
// which its message was completed; so a message completed at 23:59:59 and
// written just after midnight opens the next day's file, and the header
// (written with it) shows a time just after midnight. Hence:
//   - The first record is on D - 1 when the file has a header and the
//     record's time is more than 12 hours after the header's, and on D
//     otherwise.
//   - Each later record is on the day of the record before it, and on the
//     next day when its time goes back by more than 12 hours (midnight
//     passed) or goes back at all while on D - 1 (the day before ends with
//     the records that were completed before midnight).
// So "23:59:59" under a header "00:00:00" is the day before, and "23:59:59"
// then "00:00:01" late in a file is the next day. Going forward never
// changes the day (a gap: the logger was stopped); a small step back (a
// clock set back, a daylight-saving hour repeated) keeps it. A file without
// a header starts on D.
//
// Time zone. A record's UTC moment is its local date and time in the
// system's time zone. Where the local clock repeats an hour (the change
// back from summer time) the file's order decides: a record takes the
// earliest UTC moment its local time can mean that is not before the
// previous record's, so the first pass carries the summer offset and the
// second the winter offset, and times keep increasing. A local time that
// does not exist (the hour skipped in spring) keeps the offset it had
// before the change.
//
// Only regular files are read: a day-file name that is (or links to) a
// device, a FIFO or a socket is refused at open() without reading it.
//
// Nothing is dropped silently: every line is a record, the header, or a
// skipped line counted by its reason (counts()).
//
// The file is streamed through a fixed buffer; fields are views into it,
// numbers are parsed in place, so a month of records costs no more memory
// than a day. next() gives complete lines only: what the logger has not
// finished yet waits, and the next call reads on from where the last one
// stopped, which is how a live file is followed. finish() says no more
// will come; an unfinished last line then counts as cut short.
class DayFileReader
{
public:
    enum Skip {
        CutShort, // the last line has no line end (power cut, or the writer stopped)
        NotARecord, // no "hh:mm:ss," at the start: a foreign or damaged line
        MissingColumns, // fewer than the six record columns
        BadNumber, // direction, speed or a sample is not a number
        BadSamples, // after column 6: not an empty column then 1..kMaxSamples speeds
        StrayHeader, // a header line below the top of the file
        SkipKinds
    };

    struct Counts
    {
        qint64 records = 0;
        qint64 debugRecords = 0;
        std::array<qint64, SkipKinds> skipped{};
        qint64 skippedLines() const;
        Counts &operator+=(const Counts &other);
    };

    static constexpr int kMaxSamples = 64; // the logger's largest N
    static constexpr qsizetype kMaxLine = 4096; // longer lines are not records
    static constexpr qsizetype kChunk = 1 << 20; // bytes read at once

    explicit DayFileReader(const QString &path);
    ~DayFileReader();
    DayFileReader(const DayFileReader &) = delete;
    DayFileReader &operator=(const DayFileReader &) = delete;

    // Opens the file; false with errorString() when it is not a regular
    // file, cannot be read, or neither its name nor its header gives a date.
    bool open();
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }
    // The open file's descriptor; -1 before open().
    int handle() const { return m_fd; }

    // The file's date; valid after a successful open().
    QDate date() const { return m_date; }
    bool hasHeader() const { return m_headerTime.isValid(); }
    // False when the header's date is not the name's.
    bool headerMatchesName() const { return m_headerMatches; }

    // The next complete record; false when the file holds no further
    // complete line now (it may later, when the file grows).
    bool next(DayRecord &record);
    // No more bytes will come: a last line without its line end is counted
    // as cut short and dropped.
    void finish();

    const Counts &counts() const { return m_counts; }
    // Lines taken so far: records, the header, and skipped lines.
    qint64 lines() const { return m_lines; }

    // The date of a header line (without its line end); invalid when the line
    // is not a header. The two-digit year is taken in the century nearest to
    // `near` (or 2000-2099 without one).
    static QDate headerDate(QByteArrayView line, const QDate &near = {});
    // The largest number of samples of any debug record in the file, found
    // without parsing the rest (0 when none, -1 with `error` when the file
    // cannot be read or is not a regular file).
    static int maxSampleCount(const QString &path, QString *error = nullptr);
    // Opens a regular file for reading (a device, FIFO or socket is not
    // opened, so nothing blocks): the descriptor, or -1 with `error`.
    static int openRegular(const QString &path, QString &error);
    // A short English reason for the summary line.
    static QString skipText(Skip reason);

private:
    bool fillBuffer();
    bool parseHeader(QByteArrayView line);
    bool parseLine(const char *begin, const char *end, DayRecord &record);
    bool parseRecord(const char *begin, const char *end, DayRecord &record);
    bool parseSamples(const char *p, const char *end);
    void placeOnDay(DayRecord &record);
    void skip(Skip reason) { ++m_counts.skipped[reason]; }
    void placeInTime(DayRecord &record);

    QString m_path;
    QString m_error;
    int m_fd = -1;
    QDate m_date;
    QTime m_headerTime;
    bool m_headerMatches = true;

    std::vector<char> m_buf;
    qsizetype m_begin = 0; // first byte not yet taken
    qsizetype m_end = 0; // one past the last byte read
    bool m_discarding = false; // inside a line longer than kMaxLine
    qint64 m_lines = 0;

    qint64 m_day = 0; // julian day of the last record
    int m_previous = -1; // its second of the day; -1 before the first
    int m_headerSecond = -1; // the header's second of the day; -1 without one

    // Offsets of the local zone on the day of the last record; when they
    // differ, the clocks change that day.
    qint64 m_zoneDay = std::numeric_limits<qint64>::min();
    int m_offsetAtStart = 0, m_offsetAtEnd = 0;
    qint64 m_lastUtc = std::numeric_limits<qint64>::min();

    std::vector<double> m_samples;
    std::vector<QByteArrayView> m_sampleTexts;
    Counts m_counts;
};
