#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

// Tells systemd how the service is doing (Type=notify): ready, stopping,
// and a one-line status. When the unit has a watchdog (WatchdogSec=, seen
// as WATCHDOG_USEC for this process), a timer of the event loop pets it at
// half the interval, so a hung loop gets the service restarted. Without
// systemd every call does nothing and no timer runs.
class SystemdNotifier : public QObject
{
    Q_OBJECT

public:
    explicit SystemdNotifier(QObject *parent = nullptr);

    void ready(const QString &status);
    void stopping();
    void status(const QString &status);

private:
    void send(const QByteArray &state);

    QTimer m_watchdog;
};
