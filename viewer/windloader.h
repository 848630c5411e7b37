#pragma once

#include "datafile/dayfilereader.h"
#include "datafile/dayfiles.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

// Reads day files one after the other and hands every record to a sink,
// a slice at a time while the event loop runs, so the window stays
// responsive during a month of records.
//
// Following: the last file stays open; the file-system watcher reports each
// append and only the new bytes are read. When a newer day file appears in
// the followed folder (the logger has passed midnight), the current file is
// finished and the new one is read and followed in its turn. The folder
// and the file are watched through descriptors held open, so any name
// works, one that is not UTF-8 too.
class WindLoader : public QObject
{
    Q_OBJECT

public:
    using Sink = std::function<void(const DayRecord &)>;

    explicit WindLoader(QObject *parent = nullptr);
    ~WindLoader() override;

    // Starts reading `files` in order; with `followFolder` non-empty, then
    // follows the newest day file of that folder (waiting for one if there
    // is none yet).
    void start(const QList<DayFile> &files, Sink sink, const QString &followFolder = {});
    // Reads what the files hold now, without the event loop.
    void readAll();
    void stop();

    bool isLoading() const { return m_slice.isActive(); }
    int filesRead() const { return m_index; }
    int fileCount() const { return int(m_files.size()); }
    QString followedFile() const;
    // All files read so far, the current one included.
    DayFileReader::Counts counts() const;
    // One line each: files that could not be read, headers dated otherwise.
    QStringList problems() const { return m_problems; }

signals:
    void recordsAdded();
    void loaded();

private:
    static constexpr int kSliceRecords = 200000;

    bool readSlice(qint64 budget);
    void onSlice();
    bool openNext();
    void closeReader();
    void follow();
    void onFileChanged();
    void onFolderChanged();

    QList<DayFile> m_files;
    qsizetype m_index = 0;
    Sink m_sink;
    QString m_folder;
    int m_folderFd = -1; // the followed folder, held open to be watched
    std::unique_ptr<DayFileReader> m_reader;
    DayFileReader::Counts m_done;
    QStringList m_problems;
    QTimer m_slice;
    QFileSystemWatcher m_watcher;
};
