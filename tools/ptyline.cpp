#include "tools/ptyline.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyLine::~PtyLine()
{
    close();
}

bool PtyLine::open(QString *error)
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }

    char name[256] = {};
    termios mode{};
    bool ok = ::ttyname_r(slave, name, sizeof name) == 0 && ::tcgetattr(slave, &mode) == 0;
    if (ok) {
        // Raw: every byte passes unchanged, nothing is echoed back.
        ::cfmakeraw(&mode);
        ::cfsetispeed(&mode, B9600);
        ::cfsetospeed(&mode, B9600);
        ok = ::tcsetattr(slave, TCSANOW, &mode) == 0;
    }
    if (ok) {
        const int flags = ::fcntl(master, F_GETFL);
        ok = flags >= 0 && ::fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0
            && ::fcntl(master, F_SETFD, FD_CLOEXEC) == 0;
    }
    const int savedErrno = errno;
    // See the class comment: from here on the slave is open only while a
    // listener holds it.
    ::close(slave);
    if (!ok) {
        ::close(master);
        *error = QStringLiteral("cannot set up the pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(savedErrno)));
        return false;
    }
    m_master = master;
    m_slavePath = QFile::decodeName(name);
    return true;
}

void PtyLine::close()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool PtyLine::hasListener() const
{
    if (m_master < 0)
        return false;
    pollfd p{m_master, POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return !(p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

qsizetype PtyLine::send(QByteArrayView bytes)
{
    if (bytes.isEmpty() || !hasListener())
        return 0;
    for (;;) {
        const ssize_t n = ::write(m_master, bytes.data(), size_t(bytes.size()));
        if (n >= 0)
            return qsizetype(n);
        if (errno != EINTR)
            return 0; // EAGAIN: queue full; EIO: the listener just left
    }
}

void PtyLine::discardInput()
{
    takeWritten();
}

QByteArray PtyLine::takeWritten()
{
    QByteArray written;
    if (m_master < 0)
        return written;
    char buffer[512];
    for (int i = 0; i < 64; ++i) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0)
            written.append(buffer, n);
        else if (!(n < 0 && errno == EINTR))
            break; // EAGAIN: nothing there; EIO: nobody listens
    }
    return written;
}

termios PtyLine::settings() const
{
    termios mode{};
    if (m_master >= 0)
        ::tcgetattr(m_master, &mode);
    return mode;
}

qsizetype PtyLine::unread() const
{
    if (m_master < 0 || !hasListener())
        return 0;
    // The master cannot see the slave's input queue (TIOCOUTQ on the
    // master stays 0), so look from the slave side for a moment. Closing
    // this descriptor is not the last close while the listener is there.
    const int probe = ::open(QFile::encodeName(m_slavePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0)
        return -1;
    int waiting = 0;
    const int rc = ::ioctl(probe, FIONREAD, &waiting);
    ::close(probe);
    return rc == 0 ? qsizetype(waiting) : -1;
}
