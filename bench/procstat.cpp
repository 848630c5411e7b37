#include "procstat.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

qint64 statusValue(const QByteArray &status, const QByteArray &key)
{
    const qsizetype at = status.indexOf('\n' + key + ':');
    if (at < 0)
        return 0;
    const qsizetype start = at + key.size() + 2;
    const qsizetype end = status.indexOf('\n', start);
    return status.mid(start, end - start).trimmed().split(' ').value(0).toLongLong();
}

qint64 monotonicNs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.nsecsElapsed();
}

} // namespace

std::optional<ProcSample> sampleProcess(qint64 pid)
{
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    const QByteArray status = readFile(base + QStringLiteral("/status"));
    if (status.isEmpty())
        return std::nullopt;
    ProcSample s;
    s.atNs = monotonicNs();
    s.rssKb = statusValue(status, "VmRSS");
    s.peakRssKb = statusValue(status, "VmHWM");
    const QStringList tasks = QDir(base + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        const QString dir = base + QStringLiteral("/task/") + task;
        s.cpuNs += readFile(dir + QStringLiteral("/schedstat")).split(' ').value(0).toLongLong();
        const QByteArray taskStatus = readFile(dir + QStringLiteral("/status"));
        s.switches +=
            statusValue(taskStatus, "voluntary_ctxt_switches") + statusValue(taskStatus, "nonvoluntary_ctxt_switches");
    }
    return s;
}

ProcRate rateBetween(const ProcSample &from, const ProcSample &to)
{
    ProcRate r;
    const double seconds = (to.atNs - from.atNs) / 1e9;
    if (seconds <= 0)
        return r;
    r.cpuPercent = 100.0 * (to.cpuNs - from.cpuNs) / 1e9 / seconds;
    r.wakeupsPerSecond = (to.switches - from.switches) / seconds;
    return r;
}

bool hasFileOpen(qint64 pid, const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty())
        return false;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    const QStringList fds = QDir(fdDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : fds) {
        if (QFileInfo(fdDir + u'/' + fd).symLinkTarget() == target)
            return true;
    }
    return false;
}
