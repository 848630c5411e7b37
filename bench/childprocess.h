#pragma once

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

// A process a benchmark starts ends with the benchmark, however that ends
// (Ctrl-C, a closed pipe, a crash): the kernel sends it SIGTERM then.
inline void endWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}
