#pragma once

#include "datafile/folderlock.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <algorithm>
#include <deque>
#include <map>

class MessageReporter;
struct sorvik7_def;
struct stat;

// The daily data file <Save_Path>/<yyyymmdd>.SVK. It is opened for every
// record and closed after it, so between records it is closed and complete
// on disk. Failures are shown to the operator through the reporter, with
// one of these numbers:
//   53  the file does not exist (in an existing folder; not an error here)
//   52  bad file name (the path is too long)
//   57  device input/output error (and any failure not listed here)
//   61  disk full (or quota exceeded, or the file is too large)
//   67  too many files open
//   75  access denied: the folder or the file is read-only or not permitted,
//       or the name is taken by something that is not a plain file
//   76  the folder does not exist
class DataFile
{
public:
    enum ErrorNumber {
        ErrBadFileName = 52,
        ErrFileNotFound = 53,
        ErrDeviceIo = 57,
        ErrDiskFull = 61,
        ErrTooManyFiles = 67,
        ErrAccess = 75,
        ErrPathNotFound = 76,
    };

    // `notices` hears of what was mended without a fault (a torn last line
    // closed); none: nobody is told.
    DataFile(const sorvik7_def &def, MessageReporter &reporter, MessageReporter *notices = nullptr);
    ~DataFile();
    DataFile(const DataFile &) = delete;
    DataFile &operator=(const DataFile &) = delete;

    // Opens the day file of `now` for appending, creating it with its header
    // line (dated `now`: the name and the header come from one reading of
    // the clock) when it is new. Returns false when no file is open; the
    // failure has then been reported once and nothing has been written.
    bool File_open(const QDateTime &now);

    // Appends one record line and CR LF to the file File_open opened, pushes
    // it to the storage device and closes the file. A record is written whole
    // or not at all: a failed write is taken back and reported. Returns false
    // when the record is not in the file.
    bool writeRecord(const QByteArray &Record_Line);

    // A record line (without its line end) and when its message arrived.
    struct Record
    {
        QDateTime stamp;
        QByteArray line;
    };

    // How many records are kept at most while the data folder does not take
    // them: by default more than a day at 4 messages a second.
    static constexpr qsizetype kDefaultBacklogLimit = 400'000;
    static constexpr qsizetype kMinBacklogLimit = 10;
    void setBacklogLimit(qsizetype limit) { m_limit = std::max(limit, kMinBacklogLimit); }

    // Writes a record into the day file of `now`. While earlier records of
    // that file are waiting it goes behind them instead; records of other
    // files do not hold it back. A record that cannot be written is kept (up
    // to the backlog limit; beyond that it is lost and counted) and written
    // later by writeBacklog(), each file's records in their order. Returns
    // whether it is in its file now.
    bool append(const QDateTime &now, Record record);
    // Writes waiting records, oldest file first, several to a file opening
    // and to a flush, for about budgetMs at most; a file that refuses its
    // records does not keep the next one from taking its own. Returns false
    // when nothing could be written because the folder still refuses them
    // (the failure has been reported).
    bool writeBacklog(int budgetMs);
    qsizetype backlog() const { return m_waitingCount; }
    // Records written, by append() or later from the backlog.
    quint64 recordsWritten() const { return m_written; }
    // Records that have had to wait, and records lost because too many were waiting.
    quint64 recordsDelayed() const { return m_delayed; }
    quint64 recordsDropped() const { return m_dropped; }

    // Claims the data folder before writing into it (FolderLock), so that no
    // other program writes there meanwhile; off by default. A folder that
    // another program holds refuses records like a folder that is not there.
    void setClaimFolder(bool on) { m_claimFolder = on; }
    // Claims Save_Path now: Busy when another program holds it.
    FolderLock::Result claimFolder();
    void releaseFolder() { m_lock.unlock(); }
    // After Busy: the process that holds the folder (0: unknown).
    pid_t folderHolder() const { return m_lock.holder(); }

    bool isOpen() const { return m_fd >= 0; }
    // The file of the last File_open; empty before the first.
    QString Data_Path() const { return m_dataPath; }
    // The file that records last went into (as the file system spells it)
    // and its length on the device after them; empty and 0 before the first.
    QByteArray lastWritten() const { return m_lastWritten; }
    qint64 lastWrittenSize() const { return m_lastWrittenSize; }

    // For measuring what the flush to the device costs; always on in the program.
    void setSyncToDevice(bool on) { m_sync = on; }

    // The number shown for a system error code (errno).
    static int errorNumber(int sysError);

private:
    void close();
    bool writeAll(const QByteArray &bytes, int &sysError);
    // Lines that end in CR LF, as one block: whole or not at all.
    bool writeLines(const QByteArray &lines);
    void keep(const QDate &day, Record record);
    bool claimed();
    bool probeAndOpen(const QByteArray &path, const QByteArray &folder, bool &New_File);
    bool endTornLine(int probe, const struct stat &st);
    bool writeHeader(const QDateTime &now, const QByteArray &path, const QByteArray &folder);
    void fail(const QString &text, int sysError);

    const sorvik7_def &m_def;
    MessageReporter &m_reporter;
    MessageReporter *m_notices = nullptr;
    QString m_dataPath;
    // The file the last record went to; it is opened without a probe while
    // it is still there.
    QByteArray m_lastWritten;
    qint64 m_lastWrittenSize = 0;
    int m_fd = -1;
    bool m_sync = true;
    // The records waiting, by the day of the file they go into.
    std::map<QDate, std::deque<Record>> m_waiting;
    qsizetype m_waitingCount = 0;
    qsizetype m_limit = kDefaultBacklogLimit;
    FolderLock m_lock;
    bool m_claimFolder = false;
    quint64 m_written = 0;
    quint64 m_delayed = 0;
    quint64 m_dropped = 0;
};
