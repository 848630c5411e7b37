#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <functional>
#include <sys/prctl.h>

// What the benchmarks share besides reading /proc.

// A process a benchmark starts ends with the benchmark, however that ends
// (Ctrl-C, a closed pipe, a crash): the kernel sends it SIGTERM then.
inline void endWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

// Lets the event loop run for ms.
inline void runEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds (true) or ms have passed (false).
inline bool waitFor(const std::function<bool()> &done, int ms)
{
    constexpr int kLookMs = 10;
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        runEventLoop(kLookMs);
    }
    return true;
}

// SIGTERM, then waits up to ms (then kills it); true when it ended by itself
// with status 0, as a clean stop does.
inline bool stopCleanly(QProcess &process, int ms)
{
    if (process.state() == QProcess::NotRunning)
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    ::kill(pid_t(process.processId()), SIGTERM);
    const bool ended = process.waitForFinished(ms);
    if (!ended) {
        process.kill();
        process.waitForFinished(ms);
    }
    return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
