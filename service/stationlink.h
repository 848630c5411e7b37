#pragma once

#include "mqtt/mqttoptions.h"

#include "acquisition/parsedmessage.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <optional>

class Acquisition;
class QThread;
class Log;
class StationPublisher;
struct IntervalRow;

// The logger's side of publishing over MQTT: runs a StationPublisher in a
// thread of its own and tells it, from the engine's events, which day file
// has been written and flushed how far, and what faults the station has;
// hands it the latest message for the live topic (at most one a second)
// and each interval's statistics.
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
    // An interval's statistics, for sorvik7/<station>/stats.
    void publishStats(const IntervalRow &row);

    // The live topic carries at most one message in this period.
    static constexpr int kLivePeriodMs = 1000;

private:
    void reportStored(const QByteArray &file, qint64 bytes);
    void reportFaults();
    void noteMessage(const ParsedMessage &message);
    void publishLive();

    const Log &m_log; // takes lines from any thread
    Acquisition &m_engine;
    QThread *m_thread = nullptr; // left running, not destroyed, should it hang at the end
    StationPublisher *m_publisher = nullptr; // lives in m_thread
    QString m_deviceFault;
    QString m_fileFault;
    QString m_backlogFault;
    struct LineFaults
    {
        QString silence, status, overflow;
    } m_line;
    bool m_stopped = false;
    std::optional<ParsedMessage> m_latest; // not yet on the live topic
    QTimer m_liveTimer; // runs for kLivePeriodMs after each live message
};
