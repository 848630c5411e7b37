#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

class Log;

// One station as the fleet page, the API and the metrics show it, at a
// given time.
struct StationView
{
    QString station;
    bool online = false;
    QDateTime since; // when it came online or went offline; invalid: not known
    QDateTime lastRecord; // when the collector last took a record line of it; invalid: none yet
    std::optional<double> ageSeconds; // of that record
    qint64 recordsToday = -1; // the station's own count; -1: it has not said
    quint64 recordsTotal = 0; // record lines taken from it since the collector started
    QStringList faults; // as the station words them
    QStringList alarms; // StationBoard::kAlarms that hold now
    QJsonObject live; // the latest live object; empty: none
    QJsonObject stats; // the latest interval's statistics; empty: none
    QJsonObject record; // the latest record line's fields; empty: none
    QJsonArray history; // {start, speed_mean, gust} of the last hours' intervals, oldest first
};

// What the collector knows of each station: fed with each station's
// retained status (its last will included), its live and stats objects and
// the record lines the collector takes, and read as StationViews with the
// alarms that hold at the time asked about. Time is handed in, so an
// alarm's threshold is an ordinary case to check.
//
// The silence alarm is also told in the log, from the same rule: an online
// station that has sent no record line for the silence time, counted from
// its last record or from its coming online when that was later, is warned
// about once (checkSilence), and noticed when its records come back; never
// a line per check.
//
// Alarms, by the names the API and the metrics use:
//   offline           the status (or the last will) says so
//   silent            online, yet no record line for the silence time (above)
//   no_valid_message  the station hears no valid message from its sensor
//   sensor_status     the sensor's latest status code is not 00
//   device_lost       the station waits for its serial device
//   file_fault        the station cannot write its day file
//   backlog           records wait at the station for their day file
//   input_overflow    the station's line brings more than it can read
// The last five come from the faults of the station's status.
class StationBoard
{
public:
    static constexpr const char *kAlarms[] = {"offline",     "silent",     "no_valid_message", "sensor_status",
                                              "device_lost", "file_fault", "backlog",          "input_overflow"};
    static constexpr int kDefaultSilenceAlarmMs = 120000;
    // The chart's span, and at most this many intervals in it.
    static constexpr qint64 kHistorySeconds = 6 * 3600;
    static constexpr qsizetype kMaxHistory = 144;
    // Stations beyond this many are not shown (names made up by a stray
    // publisher must not grow the collector without end).
    static constexpr qsizetype kMaxStations = 1000;

    explicit StationBoard(const Log &log, int silenceAlarmMs = kDefaultSilenceAlarmMs)
        : m_log(log),
          m_silenceAlarmMs(silenceAlarmMs)
    {
    }

    // `leaf` is status, live or stats; an empty status forgets the station.
    void takeReport(const QString &station, const QByteArray &leaf, const QJsonObject &report, const QDateTime &now);
    // A record line (not a file's header) new to the collector.
    void takeRecord(const QString &station, const QByteArray &line, const QDateTime &now);
    // Warns about the stations gone silent by `now` and not warned about yet.
    void checkSilence(const QDateTime &now);

    QList<StationView> views(const QDateTime &now) const;

private:
    struct Station
    {
        bool haveStatus = false;
        bool online = false;
        QDateTime since;
        QDateTime onlineAt; // when the collector saw it come online; invalid while offline
        QStringList faults;
        qint64 recordsToday = -1;
        qint64 waitingRecords = 0;
        QDateTime lastRecord;
        quint64 recordsTotal = 0;
        QByteArray line; // the latest record line, as it came
        bool silenceTold = false; // the log has warned, and no record has come since
        QJsonObject live;
        QDateTime liveAt;
        QJsonObject stats;
        std::deque<std::pair<QDateTime, QJsonObject>> history; // by the interval's start
        QJsonArray historyPoints; // the same, as the view gives it
    };

    Station *station(const QString &name);
    void takeStatus(Station &s, const QJsonObject &status, const QDateTime &now);
    void takeStats(Station &s, const QJsonObject &stats);
    // Since when it has sent nothing: its last record, or its coming online
    // when that was later (or there is no record yet).
    static QDateTime quietSince(const Station &s);
    bool silent(const Station &s, const QDateTime &now) const;
    QStringList alarms(const Station &s, const QJsonObject &record, const QDateTime &now) const;

    const Log &m_log;
    int m_silenceAlarmMs;
    QMap<QString, Station> m_stations;
};
