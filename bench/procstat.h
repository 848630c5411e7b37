#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// What a running process has cost so far, read from /proc over all its
// threads: CPU time (nanosecond resolution, from schedstat), wake-ups
// (voluntary and involuntary context switches) and memory.
struct ProcSample
{
    qint64 cpuNs = 0;
    qint64 switches = 0;
    qint64 rssKb = 0;
    qint64 peakRssKb = 0; // VmHWM
    qint64 atNs = 0; // when it was taken, on the monotonic clock
};

std::optional<ProcSample> sampleProcess(qint64 pid);

// Between two samples of one process: CPU in % of one core, wake-ups a second.
struct ProcRate
{
    double cpuPercent = 0;
    double wakeupsPerSecond = 0;
};
ProcRate rateBetween(const ProcSample &from, const ProcSample &to);

// Whether the process has this file (a device, say) open; symbolic links in
// the path are followed.
bool hasFileOpen(qint64 pid, const QString &path);
