#include "collector/stationboard.h"

#include "common/timeunits.h"
#include "daemon/log.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {

const QString kStatusOk = QStringLiteral("00");

// A record line: hh:mm:ss, field 1 (after STX), direction, the mean speed,
// units, sensor status, and in debug mode the window's speeds.
enum RecordColumn { Time, Field1, Direction, Mean, Units, Status, RecordColumns };

// Which alarm a fault of the station's status stands for, by its wording;
// a fault none of these name is one of its day file.
struct FaultAlarm
{
    const char *alarm;
    QLatin1StringView marker;
};
const FaultAlarm kFaultAlarms[] = {
    {"device_lost", QLatin1StringView("waiting for the device")},
    {"no_valid_message", QLatin1StringView("no valid message")},
    {"sensor_status", QLatin1StringView("sensor status")},
    {"backlog", QLatin1StringView("records waiting")},
    {"input_overflow", QLatin1StringView("receive buffer overflow")},
};

QDateTime isoTime(const QJsonValue &value)
{
    QDateTime t = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return t.isValid() ? t.toUTC() : QDateTime();
}

QString seconds(qint64 ms)
{
    return QString::number(msToSeconds(ms), 'f', ms % 1000 == 0 ? 0 : 1);
}

QJsonObject recordFields(const QByteArray &line)
{
    static const QRegularExpression timeOfDay(QStringLiteral("^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]$"));
    const QList<QByteArray> fields = line.trimmed().split(',');
    if (fields.size() < RecordColumns || !timeOfDay.match(QString::fromLatin1(fields[Time])).hasMatch())
        return {};
    QJsonObject record{{QStringLiteral("time"), QString::fromLatin1(fields[Time])},
                       {QStringLiteral("units"), QString::fromLatin1(fields[Units]).trimmed()},
                       {QStringLiteral("status"), QString::fromLatin1(fields[Status]).trimmed()}};
    bool ok = false;
    const int direction = fields[Direction].trimmed().toInt(&ok);
    record.insert(QStringLiteral("direction"), ok ? QJsonValue(direction) : QJsonValue());
    const double mean = fields[Mean].trimmed().toDouble(&ok);
    record.insert(QStringLiteral("mean"), ok && std::isfinite(mean) ? QJsonValue(mean) : QJsonValue());
    return record;
}

} // namespace

QDateTime StationBoard::quietSince(const Station &s)
{
    if (!s.lastRecord.isValid() || (s.onlineAt.isValid() && s.onlineAt > s.lastRecord))
        return s.onlineAt;
    return s.lastRecord;
}

StationBoard::Station *StationBoard::station(const QString &name)
{
    auto it = m_stations.find(name);
    if (it == m_stations.end()) {
        if (m_stations.size() >= kMaxStations)
            return nullptr;
        it = m_stations.insert(name, Station{});
    }
    return &*it;
}

void StationBoard::takeReport(const QString &name, const QByteArray &leaf, const QJsonObject &report,
                              const QDateTime &now)
{
    if (leaf == "status" && report.isEmpty()) {
        m_stations.remove(name);
        return;
    }
    Station *s = station(name);
    if (!s)
        return;
    if (leaf == "status") {
        takeStatus(*s, report, now);
    } else if (leaf == "live") {
        s->live = report;
        s->liveAt = now;
    } else if (leaf == "stats") {
        takeStats(*s, report);
    }
}

void StationBoard::takeStatus(Station &s, const QJsonObject &status, const QDateTime &now)
{
    const bool online = status.value(QStringLiteral("online")).toBool();
    // A change seen here is dated here: a last will's own time is when its
    // connection was made, and a status's moves with its faults. The first
    // status heard (a retained one) is taken at its word.
    if (s.haveStatus && online != s.online)
        s.since = now;
    else if (const QDateTime said = isoTime(status.value(QStringLiteral("since"))); !s.haveStatus)
        s.since = said.isValid() ? said : now;
    if (!online)
        s.onlineAt = {};
    else if (!s.online)
        s.onlineAt = now;
    s.haveStatus = true;
    s.online = online;
    s.faults.clear();
    for (const QJsonValue &fault : status.value(QStringLiteral("faults")).toArray())
        s.faults << fault.toString();
    s.recordsToday = status.value(QStringLiteral("records_today")).toInteger(-1);
    s.waitingRecords = status.value(QStringLiteral("records_waiting")).toInteger(0);
}

void StationBoard::takeStats(Station &s, const QJsonObject &stats)
{
    const QDateTime start = isoTime(stats.value(QStringLiteral("start")));
    if (!start.isValid())
        return;
    if (s.history.empty() || start >= s.history.back().first)
        s.stats = stats;
    const QJsonObject point{{QStringLiteral("start"), stats.value(QStringLiteral("start"))},
                            {QStringLiteral("speed_mean"), stats.value(QStringLiteral("speed_mean"))},
                            {QStringLiteral("gust"), stats.value(QStringLiteral("gust"))}};
    // In order of the start; an interval sent again (a retained one after a
    // reconnection) replaces itself.
    const auto at = std::lower_bound(s.history.begin(), s.history.end(), start,
                                     [](const auto &entry, const QDateTime &t) { return entry.first < t; });
    if (at != s.history.end() && at->first == start)
        at->second = point;
    else
        s.history.insert(at, {start, point});
    const QDateTime oldest = s.history.back().first.addSecs(-kHistorySeconds);
    while (!s.history.empty() && (s.history.front().first < oldest || qsizetype(s.history.size()) > kMaxHistory))
        s.history.pop_front();
    s.historyPoints = QJsonArray();
    for (const auto &entry : s.history)
        s.historyPoints.append(entry.second);
}

void StationBoard::takeRecord(const QString &name, const QByteArray &line, const QDateTime &now)
{
    Station *s = station(name);
    if (!s)
        return;
    if (s->silenceTold) {
        s->silenceTold = false;
        m_log.notice(QStringLiteral("%1 sends records again, after %2 s without")
                         .arg(name, seconds(quietSince(*s).msecsTo(now))));
    }
    s->line = line;
    s->lastRecord = now;
    ++s->recordsTotal;
}

bool StationBoard::silent(const Station &s, const QDateTime &now) const
{
    return s.online && quietSince(s).msecsTo(now) >= m_silenceAlarmMs;
}

void StationBoard::checkSilence(const QDateTime &now)
{
    for (auto it = m_stations.begin(); it != m_stations.end(); ++it) {
        Station &s = *it;
        if (s.silenceTold || !silent(s, now))
            continue;
        s.silenceTold = true;
        m_log.warning(
            QStringLiteral("%1 is online but has sent no record for %2 s (%3)")
                .arg(it.key(), seconds(m_silenceAlarmMs),
                     s.lastRecord.isValid()
                         ? QStringLiteral("last record at %1").arg(s.lastRecord.toLocalTime().toString(Qt::ISODate))
                         : QStringLiteral("none since it came online")));
    }
}

QStringList StationBoard::alarms(const Station &s, const QJsonObject &record, const QDateTime &now) const
{
    QStringList raised;
    const auto raise = [&raised](const char *alarm) {
        if (!raised.contains(QLatin1StringView(alarm)))
            raised << QLatin1StringView(alarm);
    };
    if (s.haveStatus && !s.online)
        raise("offline");
    if (silent(s, now))
        raise("silent");
    for (const QString &fault : s.faults) {
        const auto kind = std::find_if(std::begin(kFaultAlarms), std::end(kFaultAlarms), [&fault](const FaultAlarm &f) {
            return fault.contains(f.marker, Qt::CaseInsensitive);
        });
        raise(kind == std::end(kFaultAlarms) ? "file_fault" : kind->alarm);
    }
    if (s.waitingRecords > 0)
        raise("backlog");
    // The newer of the live message and the record line says the sensor's status.
    const bool liveNewer = s.liveAt.isValid() && (!s.lastRecord.isValid() || s.liveAt > s.lastRecord);
    const QString status = (liveNewer ? s.live : record).value(QStringLiteral("status")).toString();
    if (!status.isEmpty() && status != kStatusOk)
        raise("sensor_status");
    // In the order of kAlarms, whatever raised them.
    QStringList ordered;
    for (const char *alarm : kAlarms)
        if (raised.contains(QLatin1StringView(alarm)))
            ordered << QLatin1StringView(alarm);
    return ordered;
}

QList<StationView> StationBoard::views(const QDateTime &now) const
{
    QList<StationView> list;
    list.reserve(m_stations.size());
    for (auto it = m_stations.cbegin(); it != m_stations.cend(); ++it) {
        const Station &s = *it;
        StationView v;
        v.station = it.key();
        v.online = s.haveStatus ? s.online : s.lastRecord.isValid() && s.lastRecord.msecsTo(now) < m_silenceAlarmMs;
        v.since = s.since;
        v.lastRecord = s.lastRecord;
        if (s.lastRecord.isValid())
            v.ageSeconds = msToSeconds(std::max<qint64>(0, s.lastRecord.msecsTo(now)));
        v.recordsToday = s.recordsToday;
        v.recordsTotal = s.recordsTotal;
        v.faults = s.faults;
        v.record = recordFields(s.line);
        v.alarms = alarms(s, v.record, now);
        v.live = s.live;
        v.stats = s.stats;
        v.history = s.historyPoints;
        list.append(v);
    }
    return list;
}
