#pragma once

#include "collector/collectorconfig.h"
#include "collector/copystore.h"
#include "mqtt/mqttclient.h"
#include "mqtt/recordpayload.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <map>

class Log;

// The central side: takes the lines every station publishes on
// sorvik7/+/record (a persistent session, QoS 1) and appends each to the
// copy of its day file, at the copy's end only:
//  - a line that starts before the end is one that came again after a
//    reconnection, and is skipped;
//  - a line that starts beyond it is kept apart, never written out of
//    place; the gap is logged with its size and the station is asked on
//    sorvik7/<station>/resend to publish again from the copy's end. When the
//    missing lines come, the lines kept apart follow them in.
// The same is asked for when a header names a previous file of which the
// copy is shorter. Lines are acknowledged to the broker before they are on
// disk (the library does that), so a collector stopped in between loses
// them; the next line then shows the gap and it heals the same way.
// Payloads that are not ours, station names that cannot be folder names and
// file names that are not yyyymmdd.SVK are refused and logged.
class Collector : public QObject
{
    Q_OBJECT

public:
    // A gap that is still open is asked about again after this long.
    static constexpr int kResendRetryMs = 10000;
    // Lines kept apart, over all stations, at most.
    static constexpr qint64 kMaxApartBytes = 64 * 1024 * 1024;

    Collector(const CollectorConfig &config, const Log &log, QObject *parent = nullptr);

    bool start(QString *error);
    // Flushes the copies and disconnects.
    void stop();

private:
    struct Gap
    {
        qint64 from = 0;   // the copy's end when it was seen
        qint64 to = 0;     // the furthest byte known to exist beyond it
    };
    struct Station
    {
        std::map<std::pair<QByteArray, qint64>, QByteArray> apart;   // (file, offset) -> line
        std::map<QByteArray, Gap> gaps;                               // per file
        qint64 askedOffset = -1;
        QElapsedTimer askedAt;
    };

    void onMessage(const QByteArray &topic, const QByteArray &payload);
    void refuse(const QByteArray &topic, const QString &why);
    void take(const QByteArray &station, const RecordPayload &record);
    bool write(const QByteArray &station, const QByteArray &file, const QByteArray &bytes);
    void filled(const QByteArray &station, const QByteArray &file);
    void mergeApart(const QByteArray &station, const QByteArray &file);
    void keepApart(const QByteArray &station, const RecordPayload &record, qint64 end);
    void checkPrevious(const QByteArray &station, const RecordPayload &header);
    void openGap(const QByteArray &station, const QByteArray &file, qint64 from, qint64 seenAt, qint64 to);
    void closeGaps(const QByteArray &station, const QByteArray &file, qint64 end);
    void askAgain(const QByteArray &station, bool now);
    void flushSoon();
    void flush();
    QString name(const QByteArray &station, const QByteArray &file) const;

    CollectorConfig m_config;
    const Log &m_log;
    MqttClient m_client;
    CopyStore m_store;
    QHash<QByteArray, Station> m_stations;
    qint64 m_apartBytes = 0;
    QTimer m_flush;
    bool m_storeFault = false;
    // Refusals are logged up to a number a minute; the rest are counted.
    QElapsedTimer m_refusalWindow;
    int m_refusalsLogged = 0;
    int m_refusalsQuiet = 0;
};
