#include "viewer/windloader.h"

#include "common/nativepath.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// The watcher looks a path up under Qt's spelling of its name, which
// cannot give back bytes that are not UTF-8; what is held open is found
// through its descriptor instead.
QString watchName(int fd)
{
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

} // namespace

WindLoader::WindLoader(QObject *parent)
    : QObject(parent)
{
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &WindLoader::onSlice);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &WindLoader::onFileChanged);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &WindLoader::onFolderChanged);
}

WindLoader::~WindLoader()
{
    stop();
}

void WindLoader::start(const QList<DayFile> &files, Sink sink, const QString &followFolder)
{
    stop();
    m_files = files;
    m_sink = std::move(sink);
    m_folder = followFolder;
    if (!m_folder.isEmpty())
        m_folderFd = ::open(nativepath::encode(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_folderFd >= 0)
        m_watcher.addPath(watchName(m_folderFd));
    m_slice.start();
}

void WindLoader::stop()
{
    m_slice.stop();
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    m_folderFd = -1;
    m_reader.reset();
    m_files.clear();
    m_index = 0;
    m_done = {};
    m_problems.clear();
    m_folder.clear();
}

void WindLoader::readAll()
{
    const bool wasLoading = m_slice.isActive();
    while (readSlice(kSliceRecords)) { }
    m_slice.stop();
    if (wasLoading)
        emit loaded();
}

void WindLoader::onSlice()
{
    const bool more = readSlice(kSliceRecords);
    emit recordsAdded();
    if (!more) {
        m_slice.stop();
        emit loaded();
    }
}

// Reads up to `budget` records; false when every file has been read (the
// last one perhaps still open to be followed).
bool WindLoader::readSlice(qint64 budget)
{
    DayRecord record;
    while (budget > 0) {
        if (!m_reader && !openNext())
            return false;
        while (budget > 0 && m_reader->next(record)) {
            m_sink(record);
            --budget;
        }
        if (budget == 0)
            break;
        if (m_index == m_files.size() && !m_folder.isEmpty()) {
            follow();
            return false;
        }
        closeReader();
    }
    return true;
}

bool WindLoader::openNext()
{
    while (m_index < m_files.size()) {
        m_reader = std::make_unique<DayFileReader>(m_files.at(m_index++).path);
        if (m_reader->open())
            return true;
        m_problems << m_reader->errorString();
        m_reader.reset();
    }
    return false;
}

void WindLoader::closeReader()
{
    if (!m_reader)
        return;
    if (const QString watched = watchName(m_reader->handle()); m_watcher.files().contains(watched))
        m_watcher.removePath(watched); // before the descriptor goes, and its number with it
    m_reader->finish();
    if (!m_reader->headerMatchesName())
        m_problems
            << QStringLiteral("%1: the header's date is not the name's").arg(nativepath::display(m_reader->path()));
    m_done += m_reader->counts();
    m_reader.reset();
}

void WindLoader::follow()
{
    if (m_reader && !m_watcher.files().contains(watchName(m_reader->handle())))
        m_watcher.addPath(watchName(m_reader->handle()));
}

QString WindLoader::followedFile() const
{
    return m_reader && !m_folder.isEmpty() ? m_reader->path() : QString();
}

DayFileReader::Counts WindLoader::counts() const
{
    DayFileReader::Counts all = m_done;
    if (m_reader)
        all += m_reader->counts();
    return all;
}

void WindLoader::onFileChanged()
{
    if (!m_reader || isLoading())
        return;
    DayRecord record;
    bool any = false;
    while (m_reader->next(record)) {
        m_sink(record);
        any = true;
    }
    // A file that was replaced drops out of the watch; watch it again.
    follow();
    if (any)
        emit recordsAdded();
}

void WindLoader::onFolderChanged()
{
    if (isLoading())
        return;
    const QDate current = m_reader ? m_reader->date() : QDate();
    QList<DayFile> newer;
    for (const DayFile &f : DayFiles::inFolder(m_folder)) {
        if (!current.isValid() || f.date > current)
            newer.append(f);
    }
    if (newer.isEmpty())
        return;
    // The logger has moved on: what the old file holds now is all it gets.
    onFileChanged();
    closeReader();
    m_files += newer;
    m_slice.start();
}
