#include "tools/sensorsummary.h"

#include <QRegularExpression>

namespace {
const QString kPrefix = QStringLiteral("sorvik7-sensor: ");
} // namespace

QString formatSensorSummary(const SensorSummary &s)
{
    QString text = kPrefix
        + QStringLiteral("%1 messages, %2 bytes sent, %3 bytes dropped")
              .arg(s.messages)
              .arg(s.bytesSent)
              .arg(s.bytesDropped);
    if (s.bytesUnread > 0)
        text += QStringLiteral(", %1 bytes never read").arg(s.bytesUnread);
    return text;
}

std::optional<SensorSummary> parseSensorSummary(QStringView text)
{
    static const QRegularExpression line(
        QStringLiteral(
            "^sorvik7-sensor: (\\d+) messages, (\\d+) bytes sent, (\\d+) bytes dropped(?:, (\\d+) bytes never read)?$"),
        QRegularExpression::MultilineOption);
    std::optional<SensorSummary> last;
    for (auto it = line.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        last = SensorSummary{m.captured(1).toLongLong(), m.captured(2).toLongLong(), m.captured(3).toLongLong(),
                             m.captured(4).toLongLong()};
    }
    return last;
}
