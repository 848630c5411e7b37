#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
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

// Why `name` cannot name a station, or an empty string when it can. Refused:
// an empty name, a name longer than kMaxStationBytes, the topic characters
// '/', '+' and '#', a backslash, control characters, a name starting with a
// dot (hidden, "." and "..") and any "..".
QString stationNameProblem(const QString &name);

// "yyyymmdd.SVK" with a date that exists, as the logger names its files.
bool isDayFileName(QByteArrayView name);
QDate dayFileDate(QByteArrayView name);

QByteArray recordTopic(const QString &station);
QByteArray statusTopic(const QString &station);
QByteArray resendTopic(const QString &station);
QByteArray statsTopic(const QString &station);
QByteArray liveTopic(const QString &station);

// The names in a folder (its path as the file system spells it), "." and
// ".." left out; none when it cannot be read.
QList<QByteArray> folderEntries(const QByteArray &folder);

// What a collector subscribes to: every station's records.
inline constexpr char kRecordFilter[] = "sorvik7/+/record";

// The station part of "sorvik7/<station>/<leaf>", as the topic spells it;
// nothing when the topic is not of that form.
std::optional<QByteArray> stationOfTopic(QByteArrayView topic, QByteArrayView leaf);

} // namespace fleet
