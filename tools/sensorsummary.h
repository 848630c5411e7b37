#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// What the simulated sensor did in one run, as it says in its last line on
// stderr: "sorvik7-sensor: 40 messages, 960 bytes sent, 0 bytes dropped"
// and ", 12 bytes never read" when the listener left bytes behind. The
// sensor writes the line with formatSensorSummary(); the tests and the
// benchmarks read it back with parseSensorSummary().
struct SensorSummary
{
    qint64 messages = 0;
    qint64 bytesSent = 0;
    qint64 bytesDropped = 0;
    qint64 bytesUnread = 0; // in the listener's queue when the run ended

    // Every message it counts reached the line whole and was read.
    bool complete() const { return bytesDropped == 0 && bytesUnread == 0; }
};

QString formatSensorSummary(const SensorSummary &summary);
// The last summary line in `text` (the sensor's whole stderr will do).
std::optional<SensorSummary> parseSensorSummary(QStringView text);
