#include "collector/copystore.h"

#include "common/nativepath.h"
#include "datafile/dayfilename.h"
#include "mqtt/fleet.h"
#include "mqtt/recordpayload.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
// Folders kept open; beyond this they are closed at the next flush.
constexpr qsizetype kMaxOpenStations = 64;
constexpr qint64 kScanChunk = 4096;
constexpr QByteArrayView kLineEnd = "\r\n";

bool fail(QString *error, const QByteArray &what, int err)
{
    *error = QStringLiteral("%1: %2").arg(QString::fromUtf8(what), QString::fromLocal8Bit(std::strerror(err)));
    return false;
}

QByteArray keyOf(const QByteArray &station, const QByteArray &file)
{
    return station + '/' + file;
}

// Where the last whole line of the first `size` bytes ends.
qint64 lastLineEnd(int fd, qint64 size)
{
    QByteArray chunk(kScanChunk + 1, Qt::Uninitialized);
    for (qint64 to = size; to > 0;) {
        const qint64 from = std::max<qint64>(0, to - kScanChunk);
        const qsizetype want = qsizetype(to - from);
        if (::pread(fd, chunk.data(), size_t(want), from) != want)
            return -1;
        const qsizetype at = QByteArrayView(chunk.constData(), want).lastIndexOf(kLineEnd);
        if (at >= 0)
            return from + at + kLineEnd.size();
        to = from + 1; // a CR at the start of this chunk may pair with an LF after it
        if (from == 0)
            break;
    }
    return 0;
}

} // namespace

CopyStore::CopyStore(const QString &folder)
    : m_folder(nativepath::encode(folder))
{
}

CopyStore::~CopyStore()
{
    QString ignored;
    flush(&ignored);
    closeAll();
    if (m_root >= 0)
        ::close(m_root);
}

bool CopyStore::open(QString *error)
{
    m_root = ::open(m_folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_root >= 0 || fail(error, m_folder, errno);
}

void CopyStore::closeAll()
{
    for (const OpenCopy &c : std::as_const(m_open))
        ::close(c.fd);
    m_open.clear();
    for (const int fd : std::as_const(m_stationDirs))
        ::close(fd);
    m_stationDirs.clear();
}

int CopyStore::stationFolder(const QByteArray &station, bool make, QString *error)
{
    if (const auto it = m_stationDirs.constFind(station); it != m_stationDirs.cend())
        return *it;
    int fd = ::openat(m_root, station.constData(), kDirFlags);
    if (fd < 0 && errno == ENOENT && make) {
        if (::mkdirat(m_root, station.constData(), 0755) != 0 && errno != EEXIST) {
            fail(error, station, errno);
            return -1;
        }
        m_dirtyDirs.insert(m_root);
        fd = ::openat(m_root, station.constData(), kDirFlags);
    }
    if (fd < 0) {
        if (errno != ENOENT || make)
            fail(error, station, errno == ELOOP ? ENOTDIR : errno);
        return -1;
    }
    m_stationDirs.insert(station, fd);
    return fd;
}

std::optional<qint64> CopyStore::measure(int fd, const QByteArray &key, QString *error)
{
    struct stat st
    { };
    if (::fstat(fd, &st) != 0) {
        fail(error, key, errno);
        return std::nullopt;
    }
    const qint64 size = st.st_size;
    const qint64 whole = lastLineEnd(fd, size);
    if (whole < 0) {
        fail(error, key, EIO);
        return std::nullopt;
    }
    if (whole < size && (::ftruncate(fd, whole) != 0 || ::fdatasync(fd) != 0)) {
        fail(error, key, errno);
        return std::nullopt;
    }
    return whole;
}

std::optional<qint64> CopyStore::end(const QByteArray &station, const QByteArray &file, QString *error)
{
    const QByteArray key = keyOf(station, file);
    if (const auto it = m_ends.constFind(key); it != m_ends.cend())
        return *it;
    const int dir = stationFolder(station, false, error);
    qint64 length = 0;
    if (dir >= 0) {
        const int fd = ::openat(dir, file.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT) {
            fail(error, key, errno == ELOOP ? EACCES : errno);
            return std::nullopt;
        }
        if (fd >= 0) {
            const auto measured = measure(fd, key, error);
            ::close(fd);
            if (!measured)
                return std::nullopt;
            length = *measured;
        }
    } else if (!error->isEmpty()) {
        return std::nullopt;
    }
    m_ends.insert(key, length);
    return length;
}

bool CopyStore::exists(const QByteArray &station, const QByteArray &file)
{
    QString ignored;
    const int dir = stationFolder(station, false, &ignored);
    struct stat st
    { };
    return dir >= 0 && ::fstatat(dir, file.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool CopyStore::hasStation(const QByteArray &station)
{
    QString ignored;
    return stationFolder(station, false, &ignored) >= 0;
}

QByteArray CopyStore::firstLine(const QByteArray &station, const QByteArray &file)
{
    QString ignored;
    const int dir = stationFolder(station, false, &ignored);
    const int fd = dir < 0 ? -1 : ::openat(dir, file.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray bytes(RecordPayload::kMaxLine, Qt::Uninitialized);
    const ssize_t n = ::pread(fd, bytes.data(), size_t(bytes.size()), 0);
    ::close(fd);
    bytes.resize(std::max<ssize_t>(n, 0));
    const qsizetype end = bytes.indexOf(kLineEnd);
    return end < 0 ? bytes : bytes.first(end + kLineEnd.size());
}

bool CopyStore::replace(const QByteArray &station, const QByteArray &file, QString *error)
{
    const int dir = stationFolder(station, false, error);
    if (dir < 0)
        return false;
    OpenCopy &open = m_open[station];
    if (open.fd >= 0 && open.file == file) {
        m_dirty.erase(open.fd);
        ::close(open.fd);
        open = {};
    }
    m_ends.remove(keyOf(station, file));
    if (::renameat(dir, file.constData(), dir, replacedName(file).constData()) != 0 && errno != ENOENT)
        return fail(error, keyOf(station, file), errno);
    m_dirtyDirs.insert(dir);
    return true;
}

std::set<QByteArray> CopyStore::files(const QByteArray &station)
{
    std::set<QByteArray> names;
    for (const QByteArray &name : nativepath::entryBytes(m_folder + '/' + station))
        if (dayfilename::isValid(name))
            names.insert(name);
    return names;
}

int CopyStore::openCopy(const QByteArray &station, const QByteArray &file, QString *error)
{
    OpenCopy &open = m_open[station];
    if (open.fd >= 0 && open.file == file)
        return open.fd;
    if (open.fd >= 0) {
        // The station has gone on to its next file: the last one is complete.
        if (m_dirty.erase(open.fd) > 0)
            ::fdatasync(open.fd);
        ::close(open.fd);
        open = {};
    }
    const int dir = stationFolder(station, true, error);
    if (dir < 0)
        return -1;
    int fd = ::openat(dir, file.constData(), kFileFlags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::openat(dir, file.constData(), kFileFlags | O_CREAT | O_EXCL, 0644);
        m_dirtyDirs.insert(dir);
    }
    if (fd < 0) {
        fail(error, keyOf(station, file), errno == ELOOP ? EACCES : errno);
        return -1;
    }
    open = {file, fd};
    return fd;
}

bool CopyStore::append(const QByteArray &station, const QByteArray &file, const QByteArray &bytes, QString *error)
{
    const QByteArray key = keyOf(station, file);
    const auto before = end(station, file, error);
    const int fd = before ? openCopy(station, file, error) : -1;
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            // Whole lines only: what went in of this one is taken back.
            if (::ftruncate(fd, *before) != 0)
                m_ends.remove(key);
            return fail(error, key, err);
        }
        done += n;
    }
    m_ends[key] = *before + bytes.size();
    m_dirty.insert(fd);
    return true;
}

bool CopyStore::flush(QString *error)
{
    bool ok = true;
    for (const int fd : m_dirty)
        if (::fdatasync(fd) != 0 && ok)
            ok = fail(error, QByteArrayLiteral("flushing a copy"), errno);
    m_dirty.clear();
    for (const int dir : m_dirtyDirs)
        ::fsync(dir);
    m_dirtyDirs.clear();
    if (m_stationDirs.size() > kMaxOpenStations)
        closeAll();
    return ok;
}
