#include "mqtt/sentcursor.h"

#include "common/nativepath.h"
#include "datafile/dayfilename.h"
#include "fleet.h"

#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

std::optional<SentCursor::Cursor> readCursor(const QByteArray &path)
{
    // Without waiting: a FIFO under a cursor's name is no cursor.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    QByteArray text(kMaxCursorBytes, '\0');
    ssize_t n = 0;
    do {
        n = ::read(fd, text.data(), size_t(text.size()));
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    text.truncate(n);
    const QList<QByteArray> fields = text.trimmed().split(' ');
    if (fields.size() != 1 && fields.size() != 3)
        return std::nullopt;
    bool ok = false;
    SentCursor::Cursor cursor;
    cursor.offset = fields[0].toLongLong(&ok);
    if (!ok || cursor.offset < 0)
        return std::nullopt;
    if (fields.size() == 3) {
        bool deviceOk = false, inodeOk = false;
        cursor.id = SentCursor::FileId{fields[1].toULongLong(&deviceOk), fields[2].toULongLong(&inodeOk)};
        if (!deviceOk || !inodeOk)
            return std::nullopt;
    }
    return cursor;
}

} // namespace

QByteArray SentCursor::fileName(const QByteArray &dayFile)
{
    return '.' + dayFile + kSuffix;
}

std::optional<SentCursor::FileId> SentCursor::identify(const QByteArray &path)
{
    struct stat st
    { };
    if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return FileId{quint64(st.st_dev), quint64(st.st_ino)};
}

std::map<QByteArray, SentCursor::Cursor> SentCursor::readAll(const QString &folder)
{
    std::map<QByteArray, Cursor> cursors;
    const QByteArray dir = folderPath(folder);
    for (const QByteArray &name : nativepath::entryBytes(dir)) {
        if (!name.startsWith('.') || !name.endsWith(kSuffix))
            continue;
        const QByteArray dayFile = name.sliced(1).chopped(qsizetype(sizeof kSuffix) - 1);
        if (!dayfilename::isValid(dayFile))
            continue;
        if (const auto cursor = readCursor(dir + '/' + name))
            cursors[dayFile] = *cursor;
    }
    return cursors;
}

bool SentCursor::write(const QString &folder, const QByteArray &dayFile, const Cursor &cursor, QString *error)
{
    const QByteArray dir = folderPath(folder);
    const QByteArray path = dir + '/' + fileName(dayFile);
    const QByteArray temp = path + ".tmp";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return fail(error, temp, errno);
    QByteArray text = QByteArray::number(cursor.offset);
    if (cursor.id)
        text += ' ' + QByteArray::number(cursor.id->device) + ' ' + QByteArray::number(cursor.id->inode);
    const bool written = writeAll(fd, text + '\n') && ::fdatasync(fd) == 0;
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
