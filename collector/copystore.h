#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <optional>
#include <set>

// The collector's copies of the stations' day files:
// <folder>/<station>/yyyymmdd.SVK, only ever appended to. Names are checked
// before they get here; files and folders are opened relative to the
// collector's folder without following symbolic links, so nothing is ever
// written outside it. flush() pushes what was appended to the storage
// device, as the logger does with its own files.
class CopyStore
{
public:
    explicit CopyStore(const QString &folder);
    ~CopyStore();
    CopyStore(const CopyStore &) = delete;
    CopyStore &operator=(const CopyStore &) = delete;

    bool open(QString *error);

    // The length of the copy, 0 when there is none yet. A copy whose last
    // line has no end (the collector stopped while it was written) is first
    // cut back to its last whole line. Nothing when it cannot be read.
    std::optional<qint64> end(const QByteArray &station, const QByteArray &file, QString *error);
    bool exists(const QByteArray &station, const QByteArray &file);
    // Whether the station has a folder here.
    bool hasStation(const QByteArray &station);
    // The copy's first line, CR LF included (at most RecordPayload::kMaxLine bytes).
    QByteArray firstLine(const QByteArray &station, const QByteArray &file);
    // Moves the copy aside, to replacedName(file) in the same folder (over
    // an older one), so that the copy starts again empty.
    bool replace(const QByteArray &station, const QByteArray &file, QString *error);
    static QByteArray replacedName(const QByteArray &file) { return '.' + file + ".replaced"; }
    // The day files held for a station.
    std::set<QByteArray> files(const QByteArray &station);

    // Appends to the copy, at end(); makes the folder and the file as needed.
    bool append(const QByteArray &station, const QByteArray &file, const QByteArray &bytes, QString *error);
    // Everything appended so far is on the device when this returns true.
    bool flush(QString *error);

private:
    struct OpenCopy
    {
        QByteArray file;
        int fd = -1;
    };

    int stationFolder(const QByteArray &station, bool make, QString *error);
    int openCopy(const QByteArray &station, const QByteArray &file, QString *error);
    std::optional<qint64> measure(int fd, const QByteArray &key, QString *error);
    void closeAll();

    QByteArray m_folder;
    int m_root = -1;
    QHash<QByteArray, int> m_stationDirs; // folder fds, kept while in use
    QHash<QByteArray, OpenCopy> m_open; // per station, the copy last appended to
    QHash<QByteArray, qint64> m_ends; // "station/file" -> length
    std::set<int> m_dirty; // fds appended to since the last flush
    std::set<int> m_dirtyDirs; // folders with new entries
};
