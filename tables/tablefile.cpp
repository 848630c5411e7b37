#include "tables/tablefile.h"

#include "common/nativepath.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kFileMode = 0666; // less the umask, as the day files
constexpr mode_t kFolderMode = 0777;

QString systemError(int sysError)
{
    return QString::fromLocal8Bit(std::strerror(sysError));
}

} // namespace

TableFile::TableFile(const QString &folder, const QByteArray &header)
    : m_folder(folder),
      m_header(header + '\n')
{
}

TableFile::~TableFile()
{
    flushAndClose();
}

QString TableFile::pathOf(const QDate &day) const
{
    return m_folder + u'/' + day.toString(Qt::ISODate) + QStringLiteral(".csv");
}

bool TableFile::fail(const QString &what, const QDate &day, int sysError)
{
    m_error = QStringLiteral("%1 %2: %3").arg(what, nativepath::display(pathOf(day)), systemError(sysError));
    return false;
}

bool TableFile::open(const QDate &day)
{
    if (m_fd >= 0 && day == m_openDay)
        return true;
    flushAndClose();
    const QByteArray folder = nativepath::encode(m_folder);
    if (::mkdir(folder.constData(), kFolderMode) != 0 && errno != EEXIST)
        return fail(QStringLiteral("cannot make the folder for"), day, errno);
    const QByteArray path = nativepath::encode(pathOf(day));
    // Read-write: the last byte is read to see whether a row was torn.
    const int fd = ::open(path.constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
    if (fd < 0)
        return fail(QStringLiteral("cannot open"), day, errno);
    struct stat st
    { };
    QByteArray start;
    char last = '\n';
    const int statError = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
    if (statError != 0) {
        ::close(fd);
        return fail(QStringLiteral("cannot open"), day, statError);
    }
    if (st.st_size == 0)
        start = m_header;
    else if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        start = "\n"; // the last line was torn (a power cut): it is closed, not continued
    m_fd = fd;
    m_openDay = day;
    if (!start.isEmpty() && !write(day, start)) {
        flushAndClose();
        return false;
    }
    return true;
}

bool TableFile::write(const QDate &day, const QByteArray &bytes)
{
    // All of it or none: a short write (the disk full) is taken back.
    const off_t before = ::lseek(m_fd, 0, SEEK_END);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            if (before >= 0 && done > 0)
                (void)::ftruncate(m_fd, before);
            flushAndClose();
            return fail(QStringLiteral("cannot write"), day, err);
        }
        done += n;
    }
    m_unsynced = true;
    return true;
}

bool TableFile::flushAndClose()
{
    if (m_fd < 0)
        return true;
    int err = 0;
    if (m_unsynced && ::fdatasync(m_fd) != 0)
        err = errno;
    if (::close(m_fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    m_fd = -1;
    m_unsynced = false;
    return err == 0 || fail(QStringLiteral("cannot push to the disk"), m_openDay, err);
}

void TableFile::keep(Line line)
{
    if (qsizetype(m_pending.size()) >= kMaxPending) {
        ++m_dropped;
        return;
    }
    ++m_delayed;
    m_pending.push_back(std::move(line));
}

bool TableFile::append(const QDate &day, const QByteArray &line)
{
    QByteArray text = line + '\n';
    // Behind what waits, so that the order holds.
    if (m_pending.empty() && open(day) && write(day, text))
        return true;
    keep({day, std::move(text)});
    return false;
}

bool TableFile::sync()
{
    bool ok = true;
    if (m_fd >= 0) {
        int err = 0;
        struct stat st
        { };
        if (m_unsynced && ::fdatasync(m_fd) != 0)
            err = errno;
        m_unsynced = false;
        if (err != 0)
            ok = fail(QStringLiteral("cannot push to the disk"), m_openDay, err);
        // A file removed meanwhile is made again at the next line.
        if (err != 0 || ::fstat(m_fd, &st) != 0 || st.st_nlink == 0)
            flushAndClose();
    }
    while (!m_pending.empty()) {
        // The lines of one day at a time, in one write.
        const QDate day = m_pending.front().day;
        QByteArray block;
        std::size_t n = 0;
        for (; n < m_pending.size() && m_pending[n].day == day; ++n)
            block += m_pending[n].text;
        if (!open(day) || !write(day, block))
            return false;
        m_pending.erase(m_pending.begin(), m_pending.begin() + qsizetype(n));
        if (::fdatasync(m_fd) != 0)
            return fail(QStringLiteral("cannot push to the disk"), day, errno);
        m_unsynced = false;
    }
    return ok;
}
