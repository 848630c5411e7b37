#include "daemon/signalwatcher.h"

#include <QString>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
constexpr int kStopSignals[] = {SIGTERM, SIGINT};

void setAction(void (*handler)(int))
{
    struct sigaction action
    { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kStopSignals)
        sigaction(sig, &action, nullptr);
}

void onStopSignal(int sig)
{
    const int saved = errno;
    const unsigned char c = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &c, 1);
    setAction(SIG_DFL); // sigaction is async-signal-safe
    errno = saved;
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
}

SignalWatcher::~SignalWatcher()
{
    if (!m_notifier)
        return;
    setAction(SIG_DFL);
    m_notifier.reset();
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

bool SignalWatcher::install(QString *error)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error =
            QStringLiteral("cannot watch for signals: %1")
                .arg(g_pipe[0] >= 0 ? QStringLiteral("already watched") : QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    setAction(onStopSignal);
    return true;
}

void SignalWatcher::readPipe()
{
    unsigned char c = 0;
    int last = 0;
    while (::read(g_pipe[0], &c, 1) == 1)
        last = c;
    if (last != 0)
        emit stopRequested(last);
}

QString SignalWatcher::signalName(int sig)
{
    return sig == SIGTERM ? QStringLiteral("SIGTERM") : sig == SIGINT ? QStringLiteral("SIGINT") : QString::number(sig);
}
