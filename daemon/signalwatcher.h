#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM and SIGINT into a signal of the event loop. The handler only
// writes the signal's number to a pipe that a socket notifier watches, so
// the stop runs between two steps of the acquisition cycle, never inside
// one. It also gives both signals back their default action: should the
// stop hang (a flush to a dead disk), a second signal ends the program at
// once.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // Installs the handlers. Only one watcher may be installed at a time.
    bool install(QString *error);

    // "SIGTERM", "SIGINT", else the number.
    static QString signalName(int signal);

signals:
    void stopRequested(int signal);

private:
    void readPipe();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
