#pragma once

#include "collector/stationboard.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

// The fleet as /api/stations gives it: a JSON list, one object per station
// with station, online, since, since_s, last_record, age_s, records_today,
// records_total, faults, alarms, live, stats and record (null where nothing
// is known). Times are ISO 8601 UTC.
QByteArray stationsJson(const QList<StationView> &stations, const QDateTime &now);

// The last hours of interval statistics as /api/history gives them, apart
// from the stations since they change once an interval: a JSON object with
// a list of {start, speed_mean, gust} per station, oldest first.
QByteArray historyJson(const QList<StationView> &stations);

// The fleet in Prometheus' text format (version 0.0.4): per station its up
// state, the age of its last record, its record counts, every alarm as 0 or
// 1, and the latest interval's statistics; then the collector's count of
// refused messages.
QByteArray metricsText(const QList<StationView> &stations, quint64 refusedMessages);
