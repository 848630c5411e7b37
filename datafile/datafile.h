#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

class MessageReporter;
struct sorvik7_def;

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

    DataFile(const sorvik7_def &def, MessageReporter &reporter);
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

    bool isOpen() const { return m_fd >= 0; }
    // The file of the last File_open; empty before the first.
    QString Data_Path() const { return m_dataPath; }

    // For measuring what the flush to the device costs; always on in the program.
    void setSyncToDevice(bool on) { m_sync = on; }

    // The number shown for a system error code (errno).
    static int errorNumber(int sysError);

private:
    void close();
    bool writeAll(const QByteArray &bytes, int &sysError);
    bool probeAndOpen(const QByteArray &path, const QByteArray &folder, bool &New_File);
    bool writeHeader(const QDateTime &now, const QByteArray &path, const QByteArray &folder);
    void fail(const QString &text, int sysError);

    const sorvik7_def &m_def;
    MessageReporter &m_reporter;
    QString m_dataPath;
    // The file the last record went to; it is opened without a probe while
    // it is still there.
    QByteArray m_lastWritten;
    int m_fd = -1;
    bool m_sync = true;
};
