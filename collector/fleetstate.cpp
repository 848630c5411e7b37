#include "collector/fleetstate.h"

#include "common/timeunits.h"
#include "daemon/log.h"

#include <QJsonDocument>

namespace {

constexpr int kMaxCheckMs = 1000;
constexpr int kChecksPerAlarm = 4;

QString seconds(qint64 ms)
{
    return QString::number(msToSeconds(ms), 'f', ms % 1000 == 0 ? 0 : 1);
}

// Since when a station has sent nothing: its last record, or its coming
// online when that was later (or there is no record yet).
QDateTime silentSince(const FleetState::Station &s)
{
    if (!s.lastRecord.isValid())
        return s.onlineSince;
    return s.onlineSince.isValid() && s.onlineSince > s.lastRecord ? s.onlineSince : s.lastRecord;
}

} // namespace

FleetState::FleetState(int silenceAlarmMs, const Log &log, QObject *parent)
    : QObject(parent),
      m_silenceAlarmMs(silenceAlarmMs),
      m_log(log)
{
    m_check.setInterval(std::max(1, std::min(kMaxCheckMs, silenceAlarmMs / kChecksPerAlarm)));
    connect(&m_check, &QTimer::timeout, this, &FleetState::check);
    m_check.start();
}

std::optional<FleetState::Station> FleetState::station(const QString &name) const
{
    const auto it = m_stations.constFind(name);
    return it == m_stations.cend() ? std::nullopt : std::optional<Station>(*it);
}

void FleetState::recordTaken(const QString &station)
{
    Station &s = m_stations[station];
    const QDateTime now = QDateTime::currentDateTime();
    const bool first = s.name.isEmpty();
    s.name = station;
    ++s.records;
    const bool wasSilent = s.silent;
    if (wasSilent) {
        s.silent = false;
        m_log.notice(QStringLiteral("%1 sends records again, after %2 s without")
                         .arg(station, seconds(silentSince(s).msecsTo(now))));
    }
    s.lastRecord = now;
    if (first || wasSilent)
        emit changed(station);
}

bool FleetState::statusReceived(const QString &station, const QByteArray &payload)
{
    const QJsonDocument doc = QJsonDocument::fromJson(payload);
    if (!doc.isObject() || !doc.object().value(QStringLiteral("online")).isBool())
        return false;
    Station &s = m_stations[station];
    s.name = station;
    s.status = doc.object();
    const bool online = s.status.value(QStringLiteral("online")).toBool();
    if (online && !s.online)
        s.onlineSince = QDateTime::currentDateTime();
    else if (!online)
        s.onlineSince = {};
    s.online = online;
    emit changed(station);
    return true;
}

void FleetState::check()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (Station &s : m_stations) {
        if (!s.online || s.silent)
            continue;
        const QDateTime since = silentSince(s);
        if (!since.isValid() || since.msecsTo(now) < m_silenceAlarmMs)
            continue;
        s.silent = true;
        m_log.warning(QStringLiteral("%1 is online but has sent no record for %2 s (%3)")
                          .arg(s.name, seconds(m_silenceAlarmMs),
                               s.lastRecord.isValid()
                                   ? QStringLiteral("last record at %1").arg(s.lastRecord.toString(Qt::ISODate))
                                   : QStringLiteral("none since it came online")));
        emit changed(s.name);
    }
}
