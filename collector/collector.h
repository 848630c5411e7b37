#pragma once

#include "collector/collectorconfig.h"
#include "collector/copystore.h"
#include "collector/stationboard.h"
#include "mqtt/mqttclient.h"
#include "mqtt/mqtttransport.h"
#include "mqtt/recordpayload.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>
#include <set>

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
// A line without its end (no LF) is never written, nor kept apart; only a
// piece of an over-long run (RecordPayload::kMaxLine bytes) is appended, at
// the copy's end. A header marked new (the station's file under that name
// is another than before) whose first line differs from the copy's
// replaces the copy; the old one is kept beside it as .<file>.replaced.
// Payloads that are not ours, payloads longer than any of ours (let go by
// the transport before they are copied), station names outside the plain
// alphabet (fleet.h), more new stations a minute than allowed and file
// names that are not day files' are refused; refusals are logged up to a
// number a minute, the rest counted and the count logged, at the latest
// at stop. The stations' status messages and the record lines new to it
// feed its StationBoard (online, last record, the silence alarm).
//
// With the fleet page, it also takes what each station says of itself in
// its live and stats JSON into the board; a live or stats payload that is
// not one JSON object of at most kMaxReportBytes is refused like any other.
class Collector : public QObject
{
    Q_OBJECT

public:
    // A gap that is still open is asked about again after this long.
    static constexpr int kResendRetryMs = 10000;
    // Lines kept apart, over all stations, at most.
    static constexpr qint64 kMaxApartBytes = 64 * 1024 * 1024;

    // A status message longer than this is not one of ours.
    static constexpr qsizetype kMaxStatus = 4096;

    // `transport` is the link to the broker, made for clientConfig(config)
    // (an MqttClient) or a test's.
    Collector(const CollectorConfig &config, const Log &log, std::unique_ptr<MqttTransport> transport,
              QObject *parent = nullptr);
    static MqttClientConfig clientConfig(const CollectorConfig &config);

    // A status, live or stats payload is one JSON object of at most this size.
    static constexpr qsizetype kMaxReportBytes = 16 * 1024;

    bool start(QString *error);
    // Flushes the copies, logs the refusals not logged yet and disconnects.
    void stop();
    // Messages refused since the start, logged or not.
    quint64 refusedMessages() const { return m_refusedTotal; }
    const StationBoard &board() const { return m_board; }

private:
    struct Gap
    {
        qint64 from = 0; // the copy's end when it was seen
        qint64 to = 0; // the furthest byte known to exist beyond it
    };
    struct Station
    {
        std::map<std::pair<QByteArray, qint64>, QByteArray> apart; // (file, offset) -> line
        std::map<QByteArray, Gap> gaps; // per file
        qint64 askedOffset = -1;
        QElapsedTimer askedAt;
    };

    void onMessage(const QByteArray &topic, const QByteArray &payload);
    void takeReport(const QByteArray &topic, const QString &station, const QByteArray &leaf, const QByteArray &payload);
    void refuse(const QByteArray &topic, const QString &why);
    void logQuietRefusals();
    // Whether a message of `station` may be taken: a station not seen yet
    // counts against the new stations a minute.
    bool admit(const QByteArray &station);
    bool replaceCopy(const QByteArray &station, const RecordPayload &header);
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
    std::unique_ptr<MqttTransport> m_transport;
    MqttTransport &m_client;
    CopyStore m_store;
    StationBoard m_board;
    QTimer m_silenceCheck;
    std::set<QByteArray> m_admitted;
    QElapsedTimer m_newStationWindow;
    int m_newStations = 0;
    QHash<QByteArray, Station> m_stations;
    qint64 m_apartBytes = 0;
    QTimer m_flush;
    bool m_storeFault = false;
    // Refusals are logged up to a number a minute; the rest are counted.
    QElapsedTimer m_refusalWindow;
    int m_refusalsLogged = 0;
    int m_refusalsQuiet = 0;
    quint64 m_refusedTotal = 0;
};
