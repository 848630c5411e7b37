#pragma once

#include "acquisition/acquisition.h"
#include "acquisition/cycledisplay.h"
#include "common/clock.h"
#include "common/messagereporter.h"
#include "daemon/systemdnotifier.h"
#include "service/loggerconfig.h"
#include "service/stationlink.h"
#include "tables/campaigntables.h"

#include <QObject>
#include <QTimer>

#include <memory>

class Log;

// The headless front end: runs the acquisition engine with the service's
// settings, as START runs it in the window, and writes what the window
// would show the operator to the log instead (port errors, line events,
// file faults, the device going and coming back), one line each. A device
// that is not there at start or goes away later is waited for, and so is a
// data folder that cannot be made at start: the records wait for it as for
// a folder that goes away later. Beside the day files it writes the
// campaign tables (raw speeds and interval statistics, CampaignTables)
// unless they are turned off.
class LoggerService : public QObject, public CycleDisplay, public MessageReporter
{
    Q_OBJECT

public:
    LoggerService(const LoggerConfig &config, const Log &log, QObject *parent = nullptr);
    ~LoggerService() override;

    // The cycle's entry steps, then START; tells systemd it is ready. False
    // (and the reason logged) when another program holds the data folder or
    // the device.
    bool start();
    // STOP and the end of acquisition, between two steps of the cycle, so
    // the day file ends with a whole record. `reason` goes into the log.
    void stop(const QString &reason);

    // CycleDisplay: nobody looks; the counter's highest goes into the MQTT status.
    void showMessage(const QByteArray &) override { }
    void showCount(int n) override
    {
        if (m_mqtt)
            m_mqtt->noteCount(n);
    }
    // MessageReporter: START could not open the port.
    void report(const QString &text) override;

private:
    QString settingsText() const;
    void makeTables();
    void onStateChanged(Acquisition::State state);
    void onLineEvent(qint16 code);
    void onDeviceLost();
    void onDeviceBack(qint64 gapMs);
    void onFileFault(const QString &text);
    void onRecordsLost(qsizetype waiting, quint64 lost);
    void onFileFaultCleared(quint64 writtenLate, quint64 lost);
    // Makes the data folder when it could not be made at start.
    void makeDataDir();
    void onNoValidMessages(qint64 ms, quint64 checksumFailures, quint64 unparsable);
    void onValidMessagesBack(qint64 ms, quint64 checksumFailures, quint64 unparsable);
    void onSensorStatus(const QByteArray &code);

    LoggerConfig m_config;
    const Log &m_log;
    SystemClock m_clock;
    Acquisition m_engine;
    SystemdNotifier m_notifier;
    std::unique_ptr<StationLink> m_mqtt; // when an MQTT broker is configured
    QTimer m_makeDir; // while the data folder cannot be made
    QString m_folderInUse; // START was refused: this line says why
    std::unique_ptr<CampaignTables> m_tables; // when a table is on or statistics go over MQTT
    bool m_lost = false; // the device went away while running
    bool m_stopped = false;
    bool m_refused = false; // START found the device held by another program
};
