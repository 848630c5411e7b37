#include "serial/devicelock.h"

#include "common/nativepath.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QByteArray lockFolder()
{
    static const QByteArray folder = [] {
        const QByteArray run("/run/lock");
        if (::access(run.constData(), W_OK | X_OK) == 0)
            return run;
        return QFile::encodeName(QDir::tempPath());
    }();
    return folder;
}

qint64 readHolder(int fd)
{
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    return n > 0 ? QByteArray(buf, n).trimmed().toLongLong() : 0;
}

} // namespace

DeviceLock::~DeviceLock()
{
    release();
}

bool DeviceLock::acquire(const QString &path)
{
    release();
    m_holder = 0;
    struct stat st
    { };
    if (::stat(nativepath::encode(path).constData(), &st) != 0)
        return true; // nothing there to lock; opening it fails on its own
    const QByteArray name = S_ISCHR(st.st_mode) ? QByteArray("sorvik7-tty-") + QByteArray::number(major(st.st_rdev))
            + '.' + QByteArray::number(minor(st.st_rdev))
                                                : QByteArray("sorvik7-node-") + QByteArray::number(quint64(st.st_dev))
            + '.' + QByteArray::number(quint64(st.st_ino));
    const QByteArray lockPath = lockFolder() + '/' + name + ".lock";

    // A holder removes the file when it lets go; the lock taken must be on
    // the file that is there under the name afterwards, or it locks nothing.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return true;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool held = errno == EWOULDBLOCK;
            m_holder = held ? readHolder(fd) : 0;
            ::close(fd);
            return !held;
        }
        struct stat held
        {
        }, named{};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath.constData(), &named) == 0 && held.st_ino == named.st_ino
            && held.st_dev == named.st_dev) {
            const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
            if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size())
                qWarning("cannot write the process id into %s", lockPath.constData());
            m_fd = fd;
            m_path = lockPath;
            return true;
        }
        ::close(fd);
    }
    return true;
}

void DeviceLock::release()
{
    if (m_fd < 0)
        return;
    ::unlink(m_path.constData());
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

QString DeviceLock::holderText() const
{
    if (m_holder <= 0)
        return QStringLiteral("another program");
    QFile comm(QStringLiteral("/proc/%1/comm").arg(m_holder));
    const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
    return name.isEmpty() ? QStringLiteral("process %1").arg(m_holder)
                          : QStringLiteral("process %1 (%2)").arg(m_holder).arg(name);
}
