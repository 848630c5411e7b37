#include "daemon/log.h"

#include <QByteArray>
#include <QDateTime>

#include <cerrno>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

// JOURNAL_STREAM is "<device>:<inode>" of the stream systemd connected; it
// is inherited by children whose stderr may have been redirected since, so
// it counts only when it still names our stderr.
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool devOk = false, inoOk = false;
    const qulonglong dev = stream.left(colon).toULongLong(&devOk);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&inoOk);
    struct stat st
    { };
    if (!devOk || !inoOk || ::fstat(STDERR_FILENO, &st) != 0)
        return false;
    return st.st_dev == dev && st.st_ino == ino;
}

const char *journalPrefix(Log::Level level)
{
    switch (level) {
    case Log::Level::Error:
        return SD_ERR;
    case Log::Level::Warning:
        return SD_WARNING;
    case Log::Level::Notice:
        return SD_NOTICE;
    case Log::Level::Info:
        break;
    }
    return SD_INFO;
}

const char *levelName(Log::Level level)
{
    switch (level) {
    case Log::Level::Error:
        return "error";
    case Log::Level::Warning:
        return "warning";
    case Log::Level::Notice:
        return "notice";
    case Log::Level::Info:
        break;
    }
    return "info";
}

} // namespace

StderrLog::StderrLog()
    : m_journal(stderrIsJournal())
{
}

void StderrLog::write(Level level, const QString &text) const
{
    QByteArray line;
    if (m_journal) {
        line = journalPrefix(level);
    } else {
        line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ")).toLatin1();
        line += levelName(level);
        line += ": ";
    }
    // One report is one line, whatever the text holds.
    line += text.toLocal8Bit().replace('\n', ' ');
    line += '\n';
    const char *p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to report that the log failed
        p += n;
        left -= n;
    }
}
