#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

#include <deque>

// One table of CSV lines in a folder of its own, one file per UTC date,
// <folder>/YYYY-MM-DD.csv, each starting with the header line. Lines end
// in LF.
//
// A line goes to the system at once; sync(), called about once a second,
// pushes the file to the storage device, so a power cut loses at most the
// last second, and a file that is opened again after one (its last line
// torn) gets a line end first, so no later line runs into the torn one. The
// file stays open between lines; it is opened afresh for a new date, and
// when it has been removed meanwhile. A line that cannot be written (the folder refuses it, the disk
// is full) is kept, up to kMaxPending, and written later in order into the
// file of its own date; sync() tries again.
class TableFile
{
public:
    static constexpr qsizetype kMaxPending = 400'000; // more than a day at 4 lines a second

    // `folder` is made (one level) when missing; its parent must exist.
    TableFile(const QString &folder, const QByteArray &header);
    ~TableFile();
    TableFile(const TableFile &) = delete;
    TableFile &operator=(const TableFile &) = delete;

    // Appends `line` (without its line end) to the file of `day`. Returns
    // false when it could not be written now and waits (or, past
    // kMaxPending, is lost); error() says why.
    bool append(const QDate &day, const QByteArray &line);
    // Pushes what was written to the device and writes what waits. Returns
    // false when something still fails.
    bool sync();
    // Lines written since the last sync(), or lines waiting: sync() has work.
    bool needsSync() const { return m_unsynced || !m_pending.empty(); }
    // Pushes to the device and closes the file.
    bool close() { return flushAndClose(); }

    qsizetype pending() const { return qsizetype(m_pending.size()); }
    quint64 delayed() const { return m_delayed; }
    quint64 dropped() const { return m_dropped; }
    // What failed last, in words, with the path.
    QString error() const { return m_error; }
    QString folder() const { return m_folder; }
    QString pathOf(const QDate &day) const;

private:
    struct Line
    {
        QDate day;
        QByteArray text; // with its line end
    };

    bool open(const QDate &day);
    bool write(const QDate &day, const QByteArray &bytes);
    bool flushAndClose();
    void keep(Line line);
    bool fail(const QString &what, const QDate &day, int sysError);

    QString m_folder;
    QByteArray m_header;
    int m_fd = -1;
    QDate m_openDay;
    bool m_unsynced = false;
    std::deque<Line> m_pending;
    quint64 m_delayed = 0;
    quint64 m_dropped = 0;
    QString m_error;
};
