#include "common/savefile.h"

#include "common/nativepath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

SaveFile::SaveFile(const QString &path)
    : m_path(path)
{
}

SaveFile::~SaveFile()
{
    if (m_fd < 0)
        return;
    m_file.close();
    ::close(m_fd);
    ::unlink(m_temp.constData());
}

bool SaveFile::fail(const QString &why)
{
    m_error = QStringLiteral("cannot write %1: %2").arg(nativepath::display(m_path), why);
    return false;
}

bool SaveFile::fail(int err)
{
    return fail(QString::fromLocal8Bit(std::strerror(err)));
}

bool SaveFile::open()
{
    m_temp = nativepath::encode(m_path) + ".XXXXXX";
    m_fd = ::mkostemp(m_temp.data(), O_CLOEXEC);
    if (m_fd < 0)
        return fail(errno);
    // The permissions a new file gets (mkostemp makes it the owner's only),
    // or those of the file it replaces.
    struct stat st
    { };
    mode_t mode = 0;
    if (::stat(nativepath::encode(m_path).constData(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(m_fd, mode);
    if (!m_file.open(m_fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
        return fail(m_file.errorString());
    return true;
}

bool SaveFile::commit()
{
    if (m_fd < 0)
        return fail(EBADF);
    // What the file device could not write (the disk full) says itself why.
    const bool written = m_file.flush() && m_file.error() == QFileDevice::NoError;
    const QString writeError = m_file.errorString();
    m_file.close();
    int err = 0;
    if (written && ::fdatasync(m_fd) != 0)
        err = errno;
    if (::close(m_fd) != 0 && err == 0)
        err = errno;
    m_fd = -1;
    if (written && err == 0 && ::rename(m_temp.constData(), nativepath::encode(m_path).constData()) == 0)
        return true;
    if (written && err == 0)
        err = errno;
    ::unlink(m_temp.constData());
    return written ? fail(err) : fail(writeError);
}
