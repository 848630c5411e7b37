#pragma once

#include "mqtt/mqttoptions.h"

#include <QObject>
#include <QStringList>

class Acquisition;
class QThread;
class Log;
class StationPublisher;

// The logger's side of publishing over MQTT: runs a StationPublisher in a
// thread of its own and tells it, from the engine's events, which day file
// has been written and flushed how far, and what faults the station has.
// The publisher reads the day files itself, so the acquisition never waits
// for the network.
class StationLink : public QObject
{
    Q_OBJECT

public:
    // How long stop() goes on publishing what has been written.
    static constexpr int kDrainMs = 2000;

    StationLink(const MqttSettings &settings, const QString &dataDir, Acquisition &engine, const Log &log,
                QObject *parent = nullptr);
    ~StationLink() override;

    void start();
    // After the engine has stopped: publishes what is left for up to
    // kDrainMs, writes the cursors and disconnects.
    void stop();
    // The counter the cycle shows; from the logger's thread.
    void noteCount(int count);

private:
    void reportFlushed();
    void reportFaults();

    const Log &m_log;   // takes lines from any thread
    Acquisition &m_engine;
    QThread *m_thread = nullptr;              // left running, not destroyed, should it hang at the end
    StationPublisher *m_publisher = nullptr;  // lives in m_thread
    QString m_deviceFault;
    QString m_fileFault;
    struct LineFaults
    {
        QString silence, status, overflow;
    } m_line;
    bool m_stopped = false;
};
