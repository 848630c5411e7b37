#include "datafile/folderlock.h"

#include <QByteArray>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// The claims of this process, by lock file. POSIX locks never conflict
// within a process, and closing any descriptor of a locked file drops the
// process's lock on it: a claimed file is therefore never opened a second
// time here.
std::mutex g_mutex;
std::set<std::pair<dev_t, ino_t>> g_claims;

struct flock wholeFile(short type)
{
    struct flock fl
    { };
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fl;
}

// For a person looking into the folder: the holder's process id. The lock
// is what counts; the claim stands without the note.
bool noteHolder(int fd)
{
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    return ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
}

} // namespace

FolderLock::~FolderLock()
{
    unlock();
}

QString FolderLock::busyText(const QString &folder, pid_t holder)
{
    const QString who = holder > 0 ? QStringLiteral("process %1").arg(holder) : QStringLiteral("another process");
    return QStringLiteral("Data folder %1 is in use by %2: each SORVIK-7 program needs a data folder of its own")
        .arg(folder, who);
}

FolderLock::Result FolderLock::lock(const QByteArray &folder)
{
    if (isHeld() && folder == m_folder)
        return Result::Held;
    unlock();
    m_folder = folder;
    m_holder = 0;
    const QByteArray path = folder + '/' + kFileName;

    const std::lock_guard<std::mutex> guard(g_mutex);
    struct stat st
    { };
    if (::stat(path.constData(), &st) == 0 && g_claims.count({st.st_dev, st.st_ino})) {
        m_holder = ::getpid();
        return Result::Busy;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return Result::Unavailable;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || g_claims.count({st.st_dev, st.st_ino})) {
        ::close(fd);
        return Result::Unavailable;
    }
    // The holder can let go between the refusal and the question; then try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct flock fl = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_SETLK, &fl) == 0) {
            noteHolder(fd);
            g_claims.insert({st.st_dev, st.st_ino});
            m_fd = fd;
            m_dev = st.st_dev;
            m_ino = st.st_ino;
            return Result::Held;
        }
        if (errno != EAGAIN && errno != EACCES)
            break; // the file system does not lock (ENOLCK)
        struct flock who = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK) {
            m_holder = who.l_pid > 0 ? who.l_pid : 0;
            ::close(fd);
            return Result::Busy;
        }
    }
    ::close(fd);
    return Result::Unavailable;
}

void FolderLock::unlock()
{
    if (m_fd < 0)
        return;
    const std::lock_guard<std::mutex> guard(g_mutex);
    g_claims.erase({m_dev, m_ino});
    ::close(m_fd); // drops the lock
    m_fd = -1;
}
