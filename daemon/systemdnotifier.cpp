#include "daemon/systemdnotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <limits>

namespace {
constexpr quint64 kUsecPerMs = 1000;
// The loop pets the watchdog at this fraction of its interval.
constexpr quint64 kPetsPerInterval = 2;
} // namespace

SystemdNotifier::SystemdNotifier(QObject *parent)
    : QObject(parent)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    const quint64 ms = std::max<quint64>(1, usec / kUsecPerMs / kPetsPerInterval);
    m_watchdog.setInterval(int(std::min<quint64>(ms, quint64(std::numeric_limits<int>::max()))));
    connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
    m_watchdog.start();
}

void SystemdNotifier::ready(const QString &text)
{
    send("READY=1\nSTATUS=" + text.toUtf8());
}

void SystemdNotifier::stopping()
{
    m_watchdog.stop();
    send("STOPPING=1");
}

void SystemdNotifier::status(const QString &text)
{
    send("STATUS=" + text.toUtf8());
}

void SystemdNotifier::send(const QByteArray &state)
{
    // Without NOTIFY_SOCKET this returns at once.
    sd_notify(0, state.constData());
}
