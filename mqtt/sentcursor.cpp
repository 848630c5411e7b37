#include "sentcursor.h"

#include "common/nativepath.h"
#include "fleet.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char kSuffix[] = ".sent";
constexpr qsizetype kMaxCursorBytes = 32;

QByteArray folderPath(const QString &folder)
{
    return nativepath::encode(folder);
}

bool fail(QString *error, const QByteArray &path, int err)
{
    *error = QStringLiteral("%1: %2").arg(nativepath::display(nativepath::decode(path)),
                                         QString::fromLocal8Bit(std::strerror(err)));
    return false;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

std::optional<qint64> readOffset(const QByteArray &path)
{
    QFile f(nativepath::decode(path));
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = f.read(kMaxCursorBytes).trimmed();
    bool ok = false;
    const qint64 offset = text.toLongLong(&ok);
    return ok && offset >= 0 ? std::optional<qint64>(offset) : std::nullopt;
}

} // namespace

QByteArray SentCursor::fileName(const QByteArray &dayFile)
{
    return '.' + dayFile + kSuffix;
}

std::map<QByteArray, qint64> SentCursor::readAll(const QString &folder)
{
    std::map<QByteArray, qint64> cursors;
    const QByteArray dir = folderPath(folder);
    for (const QByteArray &name : fleet::folderEntries(dir)) {
        if (!name.startsWith('.') || !name.endsWith(kSuffix))
            continue;
        const QByteArray dayFile = name.sliced(1).chopped(qsizetype(sizeof kSuffix) - 1);
        if (!fleet::isDayFileName(dayFile))
            continue;
        if (const auto offset = readOffset(dir + '/' + name))
            cursors[dayFile] = *offset;
    }
    return cursors;
}

bool SentCursor::write(const QString &folder, const QByteArray &dayFile, qint64 offset, QString *error)
{
    const QByteArray dir = folderPath(folder);
    const QByteArray path = dir + '/' + fileName(dayFile);
    const QByteArray temp = path + ".tmp";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return fail(error, temp, errno);
    const bool written = writeAll(fd, QByteArray::number(offset) + '\n') && ::fdatasync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temp.constData());
        return fail(error, temp, err);
    }
    if (::rename(temp.constData(), path.constData()) != 0) {
        const int renameErr = errno;
        ::unlink(temp.constData());
        return fail(error, path, renameErr);
    }
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
