#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class Log;

// What the collector knows of each station it has heard of: whether it is
// online (its retained status, or its last will), when its last record line
// came, and whether it has gone silent. A station that is online and has
// sent no record for the silence alarm's time is warned about once, and
// noticed again when its records come back; never a line per check.
//
// The collector feeds it; anything in the collector's thread may read it
// (stations(), station()) and follow changed().
class FleetState : public QObject
{
    Q_OBJECT

public:
    struct Station
    {
        QString name;
        bool online = false; // as its last status or last will said
        QDateTime onlineSince; // when the collector saw it come online; invalid while offline
        QDateTime lastRecord; // when the collector last took a record line of it; invalid: none yet
        qint64 records = 0; // record lines taken since the collector started
        bool silent = false; // the silence alarm is raised
        QJsonObject status; // its last status as it published it
    };

    static constexpr int kDefaultSilenceAlarmS = 120;

    FleetState(int silenceAlarmMs, const Log &log, QObject *parent = nullptr);

    // Every station heard of, by name.
    QList<Station> stations() const { return m_stations.values(); }
    std::optional<Station> station(const QString &name) const;
    int silenceAlarmMs() const { return m_silenceAlarmMs; }

    // The collector's side.
    void recordTaken(const QString &station);
    // A status message (JSON with "online"); false when it is not one.
    bool statusReceived(const QString &station, const QByteArray &payload);

signals:
    // Something of `station` has changed (online, alarm, a status); not
    // emitted for every record line.
    void changed(const QString &station);

private:
    void check();

    int m_silenceAlarmMs;
    const Log &m_log;
    QMap<QString, Station> m_stations;
    QTimer m_check;
};
