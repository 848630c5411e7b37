#include "datafile/datafile.h"

#include "common/messagereporter.h"
#include "common/nativepath.h"
#include "common/sorvik7_def.h"
#include "datafile/dayfilename.h"
#include "datafile/recordformat.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kOpenFailed = QStringLiteral("Unable to open data file.  ");
const QString kAppendFailed = QStringLiteral("Unable to open data file1.  ");
const QString kOutputError = QStringLiteral("Data file output error.  ");

bool isDirectory(const QByteArray &path)
{
    struct stat st
    { };
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes a new directory entry durable: without this a power cut can lose a
// file that was created and synced.
void syncDirectory(const QByteArray &dir)
{
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

} // namespace

DataFile::DataFile(const sorvik7_def &def, MessageReporter &reporter, MessageReporter *notices)
    : m_def(def),
      m_reporter(reporter),
      m_notices(notices)
{
}

DataFile::~DataFile()
{
    close();
}

int DataFile::errorNumber(int sysError)
{
    switch (sysError) {
    case ENOENT:
    case ENOTDIR:
        return ErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return ErrAccess;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ErrDiskFull;
    case EMFILE:
    case ENFILE:
        return ErrTooManyFiles;
    case ENAMETOOLONG:
    case EINVAL:
        return ErrBadFileName;
    default:
        return ErrDeviceIo;
    }
}

void DataFile::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool DataFile::writeAll(const QByteArray &bytes, int &sysError)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            sysError = errno;
            return false;
        }
        if (n == 0) {
            sysError = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void DataFile::fail(const QString &text, int sysError)
{
    m_lastWritten.clear();
    m_reporter.report(text + QString::number(errorNumber(sysError)));
}

FolderLock::Result DataFile::claimFolder()
{
    return m_lock.lock(nativepath::encode(m_def.Save_Path));
}

bool DataFile::claimed()
{
    if (!m_claimFolder || claimFolder() != FolderLock::Result::Busy)
        return true; // a folder that cannot be claimed at all is reported by the opening below
    m_lastWritten.clear();
    m_reporter.report(FolderLock::busyText(nativepath::display(m_def.Save_Path), m_lock.holder()));
    return false;
}

bool DataFile::File_open(const QDateTime &now)
{
    close();
    // The separator is always added, also after a path that ends in one.
    m_dataPath = m_def.Save_Path + QLatin1Char('/') + dayfilename::make(now.date());
    const QByteArray path = nativepath::encode(m_dataPath);
    const QByteArray folder = nativepath::encode(m_def.Save_Path);
    if (!claimed())
        return false;

    // The file the last record went to is appended to straight away; only
    // when it has gone does the full sequence below run, so a folder that
    // was removed is reported as such and a file made anew gets its header.
    if (path == m_lastWritten) {
        m_fd = ::open(path.constData(), O_WRONLY | O_APPEND | kOpenFlags);
        if (m_fd >= 0)
            return true;
    }
    bool New_File = false;
    if (!probeAndOpen(path, folder, New_File))
        return false;
    return !New_File || writeHeader(now, path, folder);
}

bool DataFile::probeAndOpen(const QByteArray &path, const QByteArray &folder, bool &New_File)
{
    // Probe: does the file exist, and can it be read? Without blocking: a
    // FIFO under the file's name must not hang the program. It stays open
    // to read the file's last byte.
    const int probe = ::open(path.constData(), O_RDONLY | kOpenFlags);
    if (probe < 0) {
        const int err = errno;
        if (err == ENOENT && isDirectory(folder)) {
            New_File = true; // 53: the folder is there, the file is not
        } else if (err == ENXIO) {
            fail(kAppendFailed, EACCES); // a socket, or a FIFO nobody writes to
            return false;
        } else {
            fail(kOpenFailed, err);
            return false;
        }
    }
    struct stat st
    { };
    if (probe >= 0) {
        const bool regular = ::fstat(probe, &st) == 0 && S_ISREG(st.st_mode);
        if (!regular) {
            ::close(probe);
            // A folder, FIFO or device under the day file's name is not ours to write.
            fail(kAppendFailed, EACCES);
            return false;
        }
    }

    m_fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | kOpenFlags, 0644);
    if (m_fd < 0) {
        const int err = errno;
        if (probe >= 0)
            ::close(probe);
        fail(kAppendFailed, err);
        return false;
    }
    if (probe < 0)
        return true;
    const bool ended = endTornLine(probe, st);
    ::close(probe);
    return ended;
}

bool DataFile::endTornLine(int probe, const struct stat &st)
{
    // A power cut in the middle of a write leaves half a line at the end.
    // The next record must not be glued onto it: the line is closed first,
    // so that it stands alone and readers pass it over as damaged.
    if (st.st_size == 0)
        return true;
    char last = 0;
    if (::pread(probe, &last, 1, st.st_size - 1) != 1 || last == '\n')
        return true; // ended; or unreadable, and the record's write says whether the file takes it
    const QByteArray end = last == '\r' ? QByteArray("\n") : QByteArray("\r\n");
    int err = 0;
    if (!writeAll(end, err) || (m_sync && ::fdatasync(m_fd) != 0)) {
        close();
        fail(kOutputError, err ? err : errno);
        return false;
    }
    if (m_notices)
        m_notices->report(QStringLiteral("Data file %1 ended in an unfinished line; it has been closed with "
                                         "CR LF before the next record")
                              .arg(nativepath::display(m_dataPath)));
    return true;
}

bool DataFile::writeHeader(const QDateTime &now, const QByteArray &path, const QByteArray &folder)
{
    struct stat st
    { };
    int err = 0;
    if (::fstat(m_fd, &st) != 0) {
        err = errno;
    } else if (st.st_size == 0) {
        const QByteArray header = headerLine(now) + "\r\n";
        if (writeAll(header, err) && m_sync && ::fdatasync(m_fd) != 0)
            err = errno;
        if (err == 0 && m_sync)
            syncDirectory(folder);
    }
    if (err != 0) {
        // Take the new file away again rather than leave it without its
        // header: the next record then creates it afresh, header first.
        close();
        ::unlink(path.constData());
        fail(kOutputError, err);
        return false;
    }
    return true;
}

bool DataFile::writeRecord(const QByteArray &Record_Line)
{
    return writeLines(Record_Line + "\r\n");
}

bool DataFile::writeLines(const QByteArray &lines)
{
    if (m_fd < 0)
        return false;
    struct stat st
    { };
    int err = 0;
    if (::fstat(m_fd, &st) != 0) {
        err = errno;
    } else {
        bool written = writeAll(lines, err);
        if (written && m_sync && ::fdatasync(m_fd) != 0) {
            err = errno;
            written = false;
        }
        // A record is in the file whole or not at all.
        if (!written && ::ftruncate(m_fd, st.st_size) == 0 && m_sync)
            ::fdatasync(m_fd);
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    if (err != 0) {
        fail(kOutputError, err);
        return false;
    }
    m_lastWritten = nativepath::encode(m_dataPath);
    m_lastWrittenSize = qint64(st.st_size) + lines.size();
    return true;
}

void DataFile::keep(const QDate &day, Record record)
{
    if (m_waitingCount >= m_limit) {
        ++m_dropped;
        return;
    }
    ++m_delayed;
    ++m_waitingCount;
    m_waiting[day].push_back(std::move(record));
}

bool DataFile::append(const QDateTime &now, Record record)
{
    const QDate day = now.date();
    if (m_waiting.count(day)) {
        keep(day, std::move(record));
        return false;
    }
    if (File_open(now) && writeRecord(record.line)) {
        ++m_written;
        return true;
    }
    keep(day, std::move(record));
    return false;
}

bool DataFile::writeBacklog(int budgetMs)
{
    // Up to this many records go into one write and one flush.
    constexpr qsizetype kBatch = 256;
    QElapsedTimer spent;
    spent.start();
    bool wrote = false;
    bool refused = false;
    for (auto file = m_waiting.begin(); file != m_waiting.end() && spent.elapsed() < budgetMs;) {
        const QDate day = file->first;
        std::deque<Record> &records = file->second;
        while (!records.empty() && spent.elapsed() < budgetMs) {
            const qsizetype n = std::min<qsizetype>(kBatch, qsizetype(records.size()));
            QByteArray lines;
            for (qsizetype i = 0; i < n; ++i)
                lines += records[size_t(i)].line + "\r\n";
            // A file that these records create is dated by the first of them,
            // or by its day's start when that record came before midnight.
            const QDateTime first = records.front().stamp;
            const QDateTime dated =
                first.date() == day ? first : QDateTime(day, QTime(0, 0), first.timeSpec(), first.offsetFromUtc());
            if (!File_open(dated) || !writeLines(lines)) {
                refused = true;
                break;
            }
            records.erase(records.begin(), records.begin() + n);
            m_waitingCount -= n;
            m_written += quint64(n);
            wrote = true;
        }
        file = records.empty() ? m_waiting.erase(file) : std::next(file);
    }
    return wrote || !refused;
}
