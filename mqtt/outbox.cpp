#include "outbox.h"

#include "common/nativepath.h"
#include "datafile/dayfilename.h"
#include "fleet.h"
#include "recordpayload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qint64 kReadChunk = 256 * 1024;
constexpr QByteArrayView kLineEnd = "\r\n";

// A day file is read only when it is a regular file: a FIFO or a device
// under its name is opened without waiting for a writer and then let go,
// so it never holds the publisher up.
int openRegular(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st
    { };
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

Outbox::Outbox(const QString &folder)
    : m_folder(nativepath::encode(folder))
{
}

Outbox::~Outbox()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray Outbox::path(const QByteArray &file) const
{
    return m_folder + '/' + file;
}

qint64 Outbox::sizeOf(const QByteArray &file) const
{
    struct stat st
    { };
    return ::stat(path(file).constData(), &st) == 0 && S_ISREG(st.st_mode) ? qint64(st.st_size) : 0;
}

void Outbox::scan()
{
    for (const QByteArray &name : nativepath::entryBytes(m_folder))
        if (dayfilename::isValid(name))
            m_files.insert(name);
    if (!m_files.empty())
        flushed(*m_files.rbegin(), sizeOf(*m_files.rbegin()));
}

std::optional<SentCursor::FileId> Outbox::identity(const QByteArray &file) const
{
    return SentCursor::identify(path(file));
}

bool Outbox::flushed(const QByteArray &file, qint64 size)
{
    m_files.insert(file);
    const auto id = identity(file);
    bool replaced = false;
    if (file != m_openFile) {
        m_openFile = file;
        m_openId.reset();
        m_openLines = 0;
        m_countedTo = 0;
    } else if ((id && m_openId && *id != *m_openId) || size < m_openSize) {
        replaced = true;
        m_openLines = 0;
        m_countedTo = 0;
    }
    if (id)
        m_openId = id;
    if (m_fd >= 0 && m_readFile == file && id && !(*id == m_readId)) {
        ::close(m_fd);
        m_fd = -1;
        m_readFile.clear();
        m_buffer.clear();
    }
    m_openSize = size;
    countLines(size);
    return replaced;
}

qint64 Outbox::takeTornTail(QByteArray *file)
{
    *file = m_tornFile;
    return std::exchange(m_tornBytes, 0);
}

qint64 Outbox::wholeLength(const QByteArray &file)
{
    const qint64 size = sizeOf(file);
    const int fd = openRegular(path(file));
    if (fd < 0)
        return size;
    const qint64 from = std::max<qint64>(0, size - RecordPayload::kMaxLine - 1);
    QByteArray tail(qsizetype(size - from), Qt::Uninitialized);
    const bool read = ::pread(fd, tail.data(), size_t(tail.size()), from) == tail.size();
    ::close(fd);
    if (!read)
        return size;
    const qsizetype end = tail.lastIndexOf(kLineEnd);
    // No line end in the last piece's length: a run that goes in pieces.
    if (end < 0 && size - from > RecordPayload::kMaxLine)
        return size;
    return end < 0 ? 0 : from + end + kLineEnd.size();
}

void Outbox::countLines(qint64 upTo)
{
    const int fd = openRegular(path(m_openFile));
    if (fd < 0)
        return;
    QByteArray chunk(qsizetype(std::min(kReadChunk, std::max<qint64>(upTo - m_countedTo, 1))), Qt::Uninitialized);
    while (m_countedTo < upTo) {
        const ssize_t n =
            ::pread(fd, chunk.data(), size_t(std::min<qint64>(chunk.size(), upTo - m_countedTo)), m_countedTo);
        if (n <= 0)
            break;
        m_openLines += QByteArrayView(chunk.constData(), n).count('\n');
        m_countedTo += n;
    }
    ::close(fd);
}

bool Outbox::openForReading(const QByteArray &file)
{
    if (m_fd >= 0 && m_readFile == file)
        return true;
    if (m_fd >= 0)
        ::close(m_fd);
    m_buffer.clear();
    m_readFile = file;
    m_fd = openRegular(path(file));
    struct stat st
    { };
    const bool known = m_fd >= 0 && ::fstat(m_fd, &st) == 0;
    m_readSize = known ? qint64(st.st_size) : 0;
    m_readId = known ? SentCursor::FileId{quint64(st.st_dev), quint64(st.st_ino)} : SentCursor::FileId{};
    return m_fd >= 0;
}

qint64 Outbox::limitOf(const QByteArray &file, qint64 offset)
{
    if (file == m_openFile)
        return m_openSize;
    if (!openForReading(file))
        return 0;
    // It may have grown since it was opened, while it was the open file.
    struct stat st
    { };
    if (offset >= m_readSize && ::fstat(m_fd, &st) == 0)
        m_readSize = st.st_size;
    return m_readSize;
}

bool Outbox::fill(qint64 offset, qint64 limit)
{
    const qint64 want = std::min(limit, offset + kReadChunk);
    const qint64 bufferEnd = m_bufferStart + m_buffer.size();
    if (offset >= m_bufferStart && offset <= bufferEnd && bufferEnd >= want)
        return true;
    m_buffer.resize(qsizetype(want - offset));
    m_bufferStart = offset;
    qsizetype done = 0;
    while (done < m_buffer.size()) {
        const ssize_t n = ::pread(m_fd, m_buffer.data() + done, size_t(m_buffer.size() - done), offset + done);
        if (n <= 0)
            break;
        done += n;
    }
    m_buffer.resize(done);
    return done == want - offset;
}

std::optional<QByteArray> Outbox::lineAt(qint64 offset, qint64 limit, bool complete)
{
    if (!fill(offset, limit))
        return std::nullopt;
    const qsizetype from = qsizetype(offset - m_bufferStart);
    const qsizetype available = qsizetype(std::min<qint64>(limit - offset, RecordPayload::kMaxLine));
    const qsizetype end = m_buffer.indexOf(kLineEnd, from);
    if (end >= 0 && end + kLineEnd.size() - from <= available)
        return m_buffer.sliced(from, end + kLineEnd.size() - from);
    // No line end: a run of bytes too long for a line goes in pieces; the
    // unfinished last line of a complete file stays where it is.
    if (available == RecordPayload::kMaxLine)
        return m_buffer.sliced(from, available);
    if (complete && available == limit - offset) {
        m_atTornTail = true;
        if (m_tornTold.insert(m_readFile).second) {
            m_tornFile = m_readFile;
            m_tornBytes = available;
        }
    }
    return std::nullopt;
}

std::optional<Outbox::Line> Outbox::next(Position &pos)
{
    if (pos.file.isEmpty()) {
        if (m_files.empty())
            return std::nullopt;
        pos = {*m_files.begin(), 0};
    }
    for (;;) {
        const bool open = pos.file == m_openFile;
        const qint64 limit = limitOf(pos.file, pos.offset);
        if (pos.offset < limit && openForReading(pos.file)) {
            m_atTornTail = false;
            const auto bytes = lineAt(pos.offset, limit, !open);
            if (!bytes && !m_atTornTail)
                return std::nullopt;
            if (bytes) {
                Line line{pos, *bytes, {}, 0, m_readId};
                const auto before = m_files.find(pos.file);
                if (pos.offset == 0 && before != m_files.begin()) {
                    line.previousFile = *std::prev(before);
                    line.previousSize = line.previousFile == m_openFile ? m_openSize : wholeLength(line.previousFile);
                }
                return line;
            }
            // A torn tail: the file is done with.
        }
        const auto after = m_files.upper_bound(pos.file);
        if (open || after == m_files.end())
            return std::nullopt;
        pos = {*after, 0};
    }
}

bool Outbox::isLineStart(const Position &pos)
{
    if (!knows(pos.file) || pos.offset < 0 || pos.offset > limitOf(pos.file, pos.offset) || !openForReading(pos.file))
        return false;
    if (pos.offset == 0)
        return true;
    char tail[2] = {};
    return ::pread(m_fd, tail, sizeof tail, pos.offset - 2) == 2 && QByteArrayView(tail, 2) == kLineEnd;
}
