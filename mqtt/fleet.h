#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// The names a fleet of stations shares over the broker. Every station
// publishes under sorvik7/<station>/:
//   record  each line of its day files, QoS 1, not retained (recordpayload.h)
//   status  what it is doing, as JSON, retained; its last will says offline
//   resend  where a collector asks it to publish again from (recordpayload.h)
//   stats   each interval's statistics, as JSON, retained
//   live    the latest message, as JSON, at most once a second, not retained
// A station name becomes a folder name at the collector, so it is checked
// on both sides.
namespace fleet {

// At most this many bytes of UTF-8.
constexpr qsizetype kMaxStationBytes = 100;

// Why `name` cannot name a station, or an empty string when it can. A name
// is at most kMaxStationBytes of UTF-8 made of letters and decimal digits
// (of any script: "Mösvik" is one), '_', '.' and '-', that starts and ends
// with a letter, a digit or '_', and holds no "..". Anything else (spaces,
// '~', topic characters, control and formatting characters such as a
// right-to-left override) is refused: a name becomes a folder name at the
// collector and is shown in logs and pages.
QString stationNameProblem(const QString &name);

QByteArray recordTopic(const QString &station);
QByteArray statusTopic(const QString &station);
QByteArray resendTopic(const QString &station);
QByteArray statsTopic(const QString &station);
QByteArray liveTopic(const QString &station);

// What a collector subscribes to: every station's records.
inline constexpr char kRecordFilter[] = "sorvik7/+/record";
// ... and their status.
inline constexpr char kStatusFilter[] = "sorvik7/+/status";

// The station part of "sorvik7/<station>/<leaf>", as the topic spells it;
// nothing when the topic is not of that form.
std::optional<QByteArray> stationOfTopic(QByteArrayView topic, QByteArrayView leaf);

} // namespace fleet
