#include "collector/fleetreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <functional>
#include <optional>

namespace {

// Ages to the millisecond.
constexpr double kAgeScale = 1000.0;

QJsonValue utc(const QDateTime &t)
{
    return t.isValid() ? QJsonValue(t.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QJsonValue objectOrNull(const QJsonObject &o)
{
    return o.isEmpty() ? QJsonValue() : QJsonValue(o);
}

// A label value as the text format wants it: backslash, quote and line
// feed escaped.
QByteArray label(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 12);
}

// One metric: its help and type, then a line per station that has a value.
struct Metric
{
    const char *name;
    const char *type;
    const char *help;
    std::function<std::optional<double>(const StationView &)> value;
};

void writeMetric(QByteArray &out, const Metric &m, const QList<StationView> &stations)
{
    out += QByteArray("# HELP ") + m.name + ' ' + m.help + "\n# TYPE " + m.name + ' ' + m.type + '\n';
    for (const StationView &s : stations) {
        if (const auto v = m.value(s))
            out += QByteArray(m.name) + "{station=\"" + label(s.station) + "\"} " + number(*v) + '\n';
    }
}

// A statistic of the latest interval; a speed has its units as a label.
enum class Units { Speed, None };
void writeStatistic(QByteArray &out, const char *name, const char *help, const char *column, Units units,
                    const QList<StationView> &stations)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n";
    for (const StationView &s : stations) {
        const QJsonValue v = s.stats.value(QLatin1StringView(column));
        if (!v.isDouble())
            continue;
        out += QByteArray(name) + "{station=\"" + label(s.station) + '"';
        if (units == Units::Speed)
            out += ",units=\"" + label(s.stats.value(QStringLiteral("units")).toString()) + '"';
        out += "} " + number(v.toDouble()) + '\n';
    }
}

} // namespace

QByteArray stationsJson(const QList<StationView> &stations, const QDateTime &now)
{
    QJsonArray list;
    for (const StationView &s : stations) {
        list.append(QJsonObject{
            {QStringLiteral("station"), s.station},
            {QStringLiteral("online"), s.online},
            {QStringLiteral("since"), utc(s.since)},
            {QStringLiteral("since_s"),
             s.since.isValid() ? QJsonValue(std::max<qint64>(0, s.since.secsTo(now))) : QJsonValue()},
            {QStringLiteral("last_record"), utc(s.lastRecord)},
            {QStringLiteral("age_s"),
             s.ageSeconds ? QJsonValue(std::round(*s.ageSeconds * kAgeScale) / kAgeScale) : QJsonValue()},
            {QStringLiteral("records_today"), s.recordsToday >= 0 ? QJsonValue(s.recordsToday) : QJsonValue()},
            {QStringLiteral("records_total"), qint64(s.recordsTotal)},
            {QStringLiteral("faults"), QJsonArray::fromStringList(s.faults)},
            {QStringLiteral("alarms"), QJsonArray::fromStringList(s.alarms)},
            {QStringLiteral("live"), objectOrNull(s.live)},
            {QStringLiteral("stats"), objectOrNull(s.stats)},
            {QStringLiteral("record"), objectOrNull(s.record)},
        });
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

QByteArray historyJson(const QList<StationView> &stations)
{
    QJsonObject history;
    for (const StationView &s : stations)
        history.insert(s.station, s.history);
    return QJsonDocument(history).toJson(QJsonDocument::Compact);
}

QByteArray metricsText(const QList<StationView> &stations, quint64 refusedMessages)
{
    const Metric perStation[] = {
        {"sorvik7_station_up", "gauge",
         "Whether the station is online (1) or offline (0), by its status and its last will.",
         [](const StationView &s) { return std::optional<double>(s.online ? 1 : 0); }},
        {"sorvik7_station_last_record_age_seconds", "gauge",
         "Seconds since the collector last took a record line of the station.",
         [](const StationView &s) { return s.ageSeconds; }},
        {"sorvik7_station_records_total", "counter", "Record lines taken from the station since the collector started.",
         [](const StationView &s) { return std::optional<double>(double(s.recordsTotal)); }},
        {"sorvik7_station_records_today", "gauge", "Records in the station's day file of today, as its status says.",
         [](const StationView &s) {
             return s.recordsToday >= 0 ? std::optional<double>(double(s.recordsToday)) : std::nullopt;
         }},
    };
    QByteArray out;
    for (const Metric &m : perStation)
        writeMetric(out, m, stations);

    out += "# HELP sorvik7_station_alarm Whether an alarm of the station holds (1) or not (0).\n"
           "# TYPE sorvik7_station_alarm gauge\n";
    for (const StationView &s : stations) {
        for (const char *alarm : StationBoard::kAlarms) {
            out += "sorvik7_station_alarm{station=\"" + label(s.station) + "\",alarm=\"" + alarm + "\"} "
                + (s.alarms.contains(QLatin1StringView(alarm)) ? '1' : '0') + '\n';
        }
    }
    writeStatistic(out, "sorvik7_station_wind_speed_mean", "Mean wind speed of the station's latest interval.",
                   "speed_mean", Units::Speed, stations);
    writeStatistic(out, "sorvik7_station_wind_gust",
                   "Highest 3-second mean wind speed of the station's latest interval.", "gust", Units::Speed,
                   stations);
    writeStatistic(out, "sorvik7_station_turbulence_intensity",
                   "Turbulence intensity (standard deviation over mean) of the station's latest interval.", "ti",
                   Units::None, stations);
    writeStatistic(out, "sorvik7_station_wind_direction_mean_degrees",
                   "Vector-mean wind direction of the station's latest interval.", "dir_mean", Units::None, stations);
    out += "# HELP sorvik7_collector_refused_messages_total Messages the collector refused: not ours, bad station "
           "names, bad payloads.\n# TYPE sorvik7_collector_refused_messages_total counter\n"
           "sorvik7_collector_refused_messages_total "
        + QByteArray::number(refusedMessages) + '\n';
    return out;
}
