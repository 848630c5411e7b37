#include "collector/collector.h"

#include "common/timeunits.h"
#include "daemon/log.h"
#include "mqtt/fleet.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int kRefusalsPerMinute = 20;
constexpr int kMinuteMs = 60000;
constexpr char32_t kFirstPrintable = 0x20;
constexpr char32_t kDelete = 0x7f;
// The silence alarm is looked at a few times within its time, at least once a second.
constexpr int kMaxSilenceCheckMs = 1000;
constexpr int kSilenceChecksPerAlarm = 4;

// What stations say of themselves besides their records and status, and
// at what QoS it is taken: only the fleet page (--http) needs them; the live
// messages are worth nothing once old, so a broker keeps none of them for
// the collector while it is away.
struct ReportLeaf
{
    const char *leaf;
    int qos;
};
constexpr ReportLeaf kPageLeaves[] = {{"stats", 1}, {"live", 0}};

QByteArray reportFilter(const char *leaf)
{
    return QByteArrayLiteral("sorvik7/+/") + leaf;
}

// A topic as it can be shown in one line of the log.
QString printable(const QByteArray &bytes)
{
    QString out;
    for (const char32_t c : QString::fromUtf8(bytes).toUcs4()) {
        if (c < kFirstPrintable || c == kDelete)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out;
}

bool endsLine(const QByteArray &line)
{
    return line.endsWith('\n');
}

} // namespace

MqttClientConfig Collector::clientConfig(const CollectorConfig &config)
{
    MqttClientConfig c;
    c.broker = config.mqtt;
    c.clientId = config.mqtt.clientId.toUtf8();
    c.cleanSession = false;
    c.maxPayload = std::max(RecordPayload::kMaxPayload, kMaxStatus);
    return c;
}

Collector::Collector(const CollectorConfig &config, const Log &log, std::unique_ptr<MqttTransport> transport,
                     QObject *parent)
    : QObject(parent),
      m_config(config),
      m_log(log),
      m_transport(std::move(transport)),
      m_client(*m_transport),
      m_store(config.dir),
      m_board(log, config.silenceAlarmMs)
{
    m_silenceCheck.setInterval(
        std::max(1, std::min(kMaxSilenceCheckMs, config.silenceAlarmMs / kSilenceChecksPerAlarm)));
    connect(&m_silenceCheck, &QTimer::timeout, this, [this] { m_board.checkSilence(QDateTime::currentDateTimeUtc()); });
    m_silenceCheck.start();
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, &Collector::flush);
    connect(&m_client, &MqttTransport::messageReceived, this, &Collector::onMessage);
    connect(&m_client, &MqttTransport::messageTooLong, this, [this](const QByteArray &topic, qint64 size) {
        refuse(topic, QStringLiteral("a payload of %1 bytes, longer than any of ours").arg(size));
    });
    connect(&m_client, &MqttTransport::outage, this, [this](const QString &why) {
        m_log.warning(
            QStringLiteral("cannot reach the broker at %1 (%2); trying again after %3 s, then doubling up to %4 s")
                .arg(m_config.mqtt.url->text(), why)
                .arg(msToSeconds(MqttClient::kFirstRetryMs))
                .arg(msToSeconds(MqttClient::kMaxRetryMs)));
    });
    connect(&m_client, &MqttTransport::connected, this, [this] {
        m_log.notice(QStringLiteral("connected to %1").arg(m_config.mqtt.url->text()));
        for (auto it = m_stations.cbegin(); it != m_stations.cend(); ++it)
            askAgain(it.key(), true);
    });
}

bool Collector::start(QString *error)
{
    if (!m_store.open(error))
        return false;
    m_refusalWindow.start();
    m_newStationWindow.start();
    m_client.subscribe(fleet::kRecordFilter, 1);
    m_client.subscribe(fleet::kStatusFilter, 1);
    if (m_config.http.enabled()) {
        for (const ReportLeaf &report : kPageLeaves)
            m_client.subscribe(reportFilter(report.leaf), report.qos);
    }
    m_log.info(QStringLiteral("collecting %1 from %2 into %3")
                   .arg(QString::fromLatin1(fleet::kRecordFilter), m_config.mqtt.describe(), m_config.dir));
    m_client.open();
    return true;
}

void Collector::stop()
{
    flush();
    logQuietRefusals();
    m_client.close();
}

void Collector::logQuietRefusals()
{
    if (m_refusalsQuiet > 0)
        m_log.warning(QStringLiteral("%1 more messages refused in the last minute").arg(m_refusalsQuiet));
    m_refusalsQuiet = 0;
}

QString Collector::name(const QByteArray &station, const QByteArray &file) const
{
    return QString::fromUtf8(station + '/' + file);
}

void Collector::refuse(const QByteArray &topic, const QString &why)
{
    ++m_refusedTotal;
    if (m_refusalWindow.elapsed() > kMinuteMs) {
        logQuietRefusals();
        m_refusalWindow.restart();
        m_refusalsLogged = 0;
    }
    if (m_refusalsLogged >= kRefusalsPerMinute) {
        // The first one held back: its minute's count is told when that
        // minute ends, not at whatever refusal comes next.
        if (m_refusalsQuiet++ == 0)
            QTimer::singleShot(std::max<qint64>(0, kMinuteMs - m_refusalWindow.elapsed()), this,
                               &Collector::logQuietRefusals);
        return;
    }
    ++m_refusalsLogged;
    m_log.warning(QStringLiteral("refused a message on %1: %2; nothing written").arg(printable(topic), why));
}

bool Collector::admit(const QByteArray &station)
{
    if (m_admitted.count(station))
        return true;
    if (!m_store.hasStation(station)) {
        if (m_newStationWindow.elapsed() > kMinuteMs) {
            m_newStationWindow.restart();
            m_newStations = 0;
        }
        if (m_newStations >= m_config.newStationsPerMinute)
            return false;
        ++m_newStations;
    }
    m_admitted.insert(station);
    return true;
}

void Collector::onMessage(const QByteArray &topic, const QByteArray &payload)
{
    QByteArray leaf = "record";
    auto station = fleet::stationOfTopic(topic, leaf);
    for (const char *other : {"status", "stats", "live"}) {
        if (!station && (station = fleet::stationOfTopic(topic, other)))
            leaf = other;
    }
    if (!station)
        return refuse(topic, QStringLiteral("not a topic of ours"));
    const QString stationName = QString::fromUtf8(*station);
    if (stationName.toUtf8() != *station)
        return refuse(topic, QStringLiteral("the station name is not UTF-8"));
    const QString problem = fleet::stationNameProblem(stationName);
    if (!problem.isEmpty())
        return refuse(topic, QStringLiteral("a station name %1").arg(problem));
    if (!admit(*station))
        return refuse(topic,
                      QStringLiteral("a new station beyond the %1 a minute allowed (new-stations-per-minute)")
                          .arg(m_config.newStationsPerMinute));
    if (leaf == "status") {
        // A status that cleared (an empty retained message) forgets the station.
        const QJsonObject status =
            payload.size() <= kMaxStatus ? QJsonDocument::fromJson(payload).object() : QJsonObject();
        if (!payload.isEmpty() && !status.value(QStringLiteral("online")).isBool())
            return refuse(topic, QStringLiteral("the payload is no status"));
        m_board.takeReport(stationName, leaf, status, QDateTime::currentDateTimeUtc());
        return;
    }
    if (leaf != "record")
        return takeReport(topic, stationName, leaf, payload);
    QString why;
    const auto record = RecordPayload::decode(payload, &why);
    if (!record)
        return refuse(topic, QStringLiteral("the payload %1").arg(why));
    if (!endsLine(record->line) && record->line.size() != RecordPayload::kMaxLine)
        return refuse(topic,
                      QStringLiteral("a line without its end (%1 bytes at byte %2 of %3)")
                          .arg(record->line.size())
                          .arg(record->offset)
                          .arg(QString::fromLatin1(record->file)));
    take(*station, *record);
}

void Collector::takeReport(const QByteArray &topic, const QString &station, const QByteArray &leaf,
                           const QByteArray &payload)
{
    // An empty retained message clears the one the broker held.
    if (payload.isEmpty())
        return;
    if (payload.size() > kMaxReportBytes)
        return refuse(topic, QStringLiteral("the payload is larger than %1 bytes").arg(kMaxReportBytes));
    const QJsonDocument json = QJsonDocument::fromJson(payload);
    if (!json.isObject())
        return refuse(topic, QStringLiteral("the payload is not a JSON object"));
    m_board.takeReport(station, leaf, json.object(), QDateTime::currentDateTimeUtc());
}

bool Collector::replaceCopy(const QByteArray &station, const RecordPayload &header)
{
    QString error;
    const auto end = m_store.end(station, header.file, &error);
    if (!end || *end == 0 || m_store.firstLine(station, header.file) == header.line)
        return true;
    if (!m_store.replace(station, header.file, &error)) {
        m_log.error(QStringLiteral("cannot replace %1: %2").arg(name(station, header.file), error));
        return false;
    }
    Station &s = m_stations[station];
    s.gaps.erase(header.file);
    for (auto it = s.apart.lower_bound({header.file, 0}); it != s.apart.end() && it->first.first == header.file;) {
        m_apartBytes -= it->second.size();
        it = s.apart.erase(it);
    }
    m_log.warning(QStringLiteral("%1: the station has a new file under that name (the old one moved away or "
                                 "deleted); the copy starts again, the old copy kept as %2")
                      .arg(name(station, header.file), QString::fromUtf8(CopyStore::replacedName(header.file))));
    return true;
}

void Collector::take(const QByteArray &station, const RecordPayload &record)
{
    if (record.fresh && !replaceCopy(station, record))
        return;
    QString error;
    const auto end = m_store.end(station, record.file, &error);
    // A record line is the station's news unless it came again (it starts
    // before the end); one the copy cannot take now still is.
    if (record.offset > 0 && (!end || record.offset >= *end))
        m_board.takeRecord(QString::fromUtf8(station), record.line, QDateTime::currentDateTimeUtc());
    if (!end) {
        write(station, record.file, {}); // reports the fault
        return;
    }
    if (record.offset == 0 && !record.previousFile.isEmpty())
        checkPrevious(station, record);
    // A line without its end is never kept apart: it might be glued onto
    // what is written before it.
    if (record.offset > *end && endsLine(record.line))
        keepApart(station, record, *end);
    else if (record.offset == *end && write(station, record.file, record.line))
        filled(station, record.file);
    // Lines before the end came again after a reconnection: skipped.
    askAgain(station, false);
}

bool Collector::write(const QByteArray &station, const QByteArray &file, const QByteArray &bytes)
{
    QString error;
    if (bytes.isEmpty() || !m_store.append(station, file, bytes, &error)) {
        if (!m_storeFault) {
            m_storeFault = true;
            m_log.error(QStringLiteral("cannot write %1: %2; lines are missed until it can, then asked for again")
                            .arg(name(station, file), error));
        }
        return false;
    }
    if (m_storeFault) {
        m_storeFault = false;
        m_log.notice(QStringLiteral("writing the copies again (%1)").arg(name(station, file)));
    }
    flushSoon();
    return true;
}

void Collector::filled(const QByteArray &station, const QByteArray &file)
{
    Station &s = m_stations[station];
    if (s.gaps.empty())
        return;
    // Lines asked for are coming in: no need to ask again yet.
    if (s.gaps.count(file))
        s.askedAt.start();
    mergeApart(station, file);
}

void Collector::mergeApart(const QByteArray &station, const QByteArray &file)
{
    Station &s = m_stations[station];
    QString error;
    auto end = m_store.end(station, file, &error);
    for (auto it = s.apart.lower_bound({file, 0}); end && it != s.apart.end() && it->first.first == file;) {
        if (it->first.second > *end)
            break;
        const bool fits = it->first.second == *end;
        if (fits && !write(station, file, it->second))
            break;
        m_apartBytes -= it->second.size();
        it = s.apart.erase(it);
        if (fits)
            end = m_store.end(station, file, &error);
    }
    if (end)
        closeGaps(station, file, *end);
}

void Collector::keepApart(const QByteArray &station, const RecordPayload &record, qint64 end)
{
    Station &s = m_stations[station];
    const std::pair key{record.file, record.offset};
    // Past the bound a line is let go: it comes again with the lines asked for.
    if (!s.apart.count(key) && m_apartBytes + record.line.size() <= kMaxApartBytes) {
        s.apart.emplace(key, record.line);
        m_apartBytes += record.line.size();
    }
    openGap(station, record.file, end, record.offset, record.end());
}

void Collector::checkPrevious(const QByteArray &station, const RecordPayload &header)
{
    const QByteArray &previous = header.previousFile;
    if (!m_store.exists(station, previous)) {
        // Only a station collected before that day misses the whole file.
        const std::set<QByteArray> held = m_store.files(station);
        if (!held.empty() && *held.begin() < previous)
            openGap(station, previous, 0, header.previousSize, header.previousSize);
        return;
    }
    QString error;
    const auto end = m_store.end(station, previous, &error);
    if (end && *end < header.previousSize)
        openGap(station, previous, *end, header.previousSize, header.previousSize);
    else if (end && *end > header.previousSize)
        m_log.warning(QStringLiteral("%1 is longer here (%2 bytes) than at the station (%3 bytes); left as it is")
                          .arg(name(station, previous))
                          .arg(*end)
                          .arg(header.previousSize));
}

void Collector::openGap(const QByteArray &station, const QByteArray &file, qint64 from, qint64 seenAt, qint64 to)
{
    Station &s = m_stations[station];
    Gap &gap = s.gaps[file];
    if (gap.to == 0 || gap.from != from) {
        m_log.warning(QStringLiteral("%1: %2 bytes missing from byte %3 on (lines have come from byte %4); "
                                     "asking the station to publish again from byte %3")
                          .arg(name(station, file))
                          .arg(seenAt - from)
                          .arg(from)
                          .arg(seenAt));
        gap.from = from;
        s.askedOffset = -1; // a new gap is asked about at once
    }
    gap.to = std::max(gap.to, to);
}

void Collector::closeGaps(const QByteArray &station, const QByteArray &file, qint64 end)
{
    Station &s = m_stations[station];
    const auto gap = s.gaps.find(file);
    if (gap == s.gaps.end() || end < gap->second.to)
        return;
    m_log.notice(QStringLiteral("%1: the gap from byte %2 is filled").arg(name(station, file)).arg(gap->second.from));
    s.gaps.erase(gap);
}

void Collector::askAgain(const QByteArray &station, bool now)
{
    Station &s = m_stations[station];
    if (s.gaps.empty())
        return;
    const QByteArray &file = s.gaps.begin()->first;
    QString error;
    const auto end = m_store.end(station, file, &error);
    if (!end)
        return;
    // Asked already, and the lines are coming (or have had no time to): wait.
    if (!now && s.askedOffset >= 0 && s.askedAt.elapsed() < kResendRetryMs)
        return;
    const ResendRequest request{file, *end};
    if (m_client.publish(fleet::resendTopic(QString::fromUtf8(station)), request.encode()) < 0)
        return;
    s.askedOffset = *end;
    s.askedAt.start();
}

void Collector::flushSoon()
{
    if (!m_flush.isActive())
        m_flush.start(0);
}

void Collector::flush()
{
    QString error;
    if (!m_store.flush(&error) && !m_storeFault) {
        m_storeFault = true;
        m_log.error(QStringLiteral("cannot flush the copies to the device: %1").arg(error));
    }
}
