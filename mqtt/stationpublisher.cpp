#include "mqtt/stationpublisher.h"

#include "common/timeunits.h"
#include "daemon/log.h"
#include "datafile/dayfilename.h"
#include "mqtt/fleet.h"
#include "mqtt/recordpayload.h"
#include "mqtt/sentcursor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// The publisher yields to the acquisition: nice 10 for its thread alone.
constexpr int kNiceness = 10;

QString utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

} // namespace

MqttClientConfig StationPublisher::clientConfig(const MqttSettings &settings)
{
    MqttClientConfig config;
    config.broker = settings;
    config.willTopic = fleet::statusTopic(settings.station);
    config.willPayload =
        QJsonDocument(QJsonObject{{QStringLiteral("station"), settings.station}, {QStringLiteral("online"), false}})
            .toJson(QJsonDocument::Compact);
    config.willPayloadNow = [station = settings.station] {
        return QJsonDocument(QJsonObject{{QStringLiteral("station"), station},
                                         {QStringLiteral("online"), false},
                                         {QStringLiteral("since"), utcNow()}})
            .toJson(QJsonDocument::Compact);
    };
    // Room for the status messages beside a full window of lines.
    constexpr int kStatusRoom = 16;
    config.maxInflight = StationPublisher::kWindow + kStatusRoom;
    return config;
}

StationPublisher::StationPublisher(const MqttSettings &settings, const QString &dataDir, const Log &log,
                                   std::unique_ptr<MqttTransport> transport, QObject *parent)
    : QObject(parent),
      m_settings(settings),
      m_dataDir(dataDir),
      m_log(log),
      m_recordTopic(fleet::recordTopic(settings.station)),
      m_outbox(dataDir),
      m_transport(std::move(transport)),
      m_client(*m_transport)
{
    connect(&m_client, &MqttTransport::connected, this, &StationPublisher::onConnected);
    connect(&m_client, &MqttTransport::outage, this, &StationPublisher::onOutage);
    connect(&m_client, &MqttTransport::published, this, &StationPublisher::onPublished);
    connect(&m_client, &MqttTransport::messageReceived, this, &StationPublisher::onMessage);
    m_cursorTimer.setSingleShot(true);
    m_cursorTimer.setInterval(kCursorPeriodMs);
    connect(&m_cursorTimer, &QTimer::timeout, this, &StationPublisher::writeCursors);
    m_statusTimer.setInterval(kStatusPeriodMs);
    connect(&m_statusTimer, &QTimer::timeout, this, [this] { publishStatus(true); });
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, &StationPublisher::finalize);
}

StationPublisher::~StationPublisher() = default;

QString StationPublisher::where(const Outbox::Position &pos) const
{
    return pos.file.isEmpty() ? QStringLiteral("the first day file")
                              : QStringLiteral("%1 at byte %2").arg(QString::fromLatin1(pos.file)).arg(pos.offset);
}

qint64 StationPublisher::resumeAt(const QByteArray &file)
{
    const auto cursor = m_acked.find(file);
    if (cursor == m_acked.end())
        return 0;
    const auto now = m_outbox.identity(file);
    if (cursor->second.id && now && !(*cursor->second.id == *now)) {
        replaced(file);
        return 0;
    }
    // A cursor that does not fall on a line start (a file changed by hand)
    // starts that file again: the collectors skip what they have.
    if (m_outbox.knows(file) && !m_outbox.isLineStart({file, cursor->second.offset}))
        return 0;
    return cursor->second.offset;
}

void StationPublisher::replaced(const QByteArray &file)
{
    m_log.warning(QStringLiteral("MQTT: %1 is another file than the one published under that name (moved away or "
                                 "deleted and made anew): publishing it from byte 0 as new, the collectors replace "
                                 "their copies")
                      .arg(QString::fromLatin1(file)));
    m_fresh.insert(file);
    m_acked[file] = {0, m_outbox.identity(file)};
    m_unwritten.insert(file);
    // What is on its way of the file that went counts no more.
    for (InFlight &f : m_inflight)
        if (f.at.file == file)
            f.acked = true;
    if (m_next.file == file || (!m_next.file.isEmpty() && file < m_next.file))
        m_next = {file, 0};
}

void StationPublisher::start()
{
    ::setpriority(PRIO_PROCESS, ::gettid(), kNiceness);
    m_acked = SentCursor::readAll(m_dataDir);
    m_outbox.scan();
    if (!m_acked.empty()) {
        const QByteArray file = m_acked.rbegin()->first;
        m_next = {file, resumeAt(file)};
    } else {
        m_next = {m_outbox.newestFile(), 0};
    }
    m_client.subscribe(fleet::resendTopic(m_settings.station));
    m_log.info(QStringLiteral("MQTT: publishing to %1 from %2").arg(m_settings.describe(), where(m_next)));
    m_client.open();
}

void StationPublisher::flushed(const QByteArray &file, qint64 size, const QDateTime &when)
{
    m_lastRecord = when;
    if (m_outbox.flushed(file, size))
        replaced(file);
    // The clock went back to a day before what is being published: publish
    // that day from its cursor on again, the collectors skip what they have.
    if (!m_next.file.isEmpty() && file < m_next.file) {
        m_log.warning(QStringLiteral("MQTT: the logger writes %1, a day before %2: has the clock gone back? "
                                     "Publishing again from there")
                          .arg(QString::fromLatin1(file), QString::fromLatin1(m_next.file)));
        m_next = {file, resumeAt(file)};
    }
    pump();
}

void StationPublisher::setFaults(const QStringList &faults)
{
    if (faults == m_faults)
        return;
    m_faults = faults;
    m_since = QDateTime::currentDateTimeUtc();
    publishStatus(true);
}

void StationPublisher::publishStats(const QByteArray &json)
{
    m_unsentStats = json;
    if (m_client.isConnected() && m_client.publish(fleet::statsTopic(m_settings.station), json, 1, true) >= 0)
        m_unsentStats.clear();
}

void StationPublisher::publishLive(const QByteArray &json)
{
    if (m_client.isConnected())
        m_client.publish(fleet::liveTopic(m_settings.station), json, 0, false);
}

void StationPublisher::noteCount(int count)
{
    int seen = m_largestCount.load(std::memory_order_relaxed);
    while (count > seen && !m_largestCount.compare_exchange_weak(seen, count, std::memory_order_relaxed)) { }
}

void StationPublisher::onConnected()
{
    // What was on its way when the connection broke goes again, from the
    // earliest line not acknowledged. The library may send some of it again
    // itself; their acknowledgements are ignored, the collectors skip doubles.
    for (const InFlight &f : m_inflight)
        if (!f.acked)
            m_next = std::min(m_next, f.at);
    m_inflight.clear();
    m_seqOfMid.clear();
    if (!m_everConnected)
        m_log.info(QStringLiteral("MQTT: connected to %1").arg(m_settings.url->text()));
    m_everConnected = true;
    m_since = QDateTime::currentDateTimeUtc();
    m_lastHeard.start();
    publishStatus(true);
    if (!m_unsentStats.isEmpty())
        publishStats(m_unsentStats);
    m_statusTimer.start();
    pump();
}

void StationPublisher::onOutage(const QString &why)
{
    m_outage = true;
    // A broker that went silent is noticed late (by the keep-alive): the
    // outage began with the last word heard from it.
    const bool heard = m_lastHeard.isValid();
    m_outageTime = heard ? m_lastHeard : QElapsedTimer();
    if (!heard)
        m_outageTime.start();
    m_caughtUpLines = 0;
    m_statusTimer.stop();
    const QString since = heard
        ? QStringLiteral(", last heard from at %1")
              .arg(QDateTime::currentDateTime().addMSecs(-m_lastHeard.elapsed()).toString(Qt::ISODate))
        : QString();
    m_log.warning(QStringLiteral("MQTT: cannot reach the broker at %1 (%2)%3; the records wait in the day files, "
                                 "trying again after %4 s, then doubling up to %5 s")
                      .arg(m_settings.url->text(), why, since)
                      .arg(msToSeconds(MqttClient::kFirstRetryMs))
                      .arg(msToSeconds(MqttClient::kMaxRetryMs)));
}

void StationPublisher::pump()
{
    if (!m_client.isConnected())
        return;
    while (m_inflight.size() < size_t(kWindow)) {
        const std::optional<Outbox::Line> line = m_outbox.next(m_next);
        reportTornTail();
        if (!line) {
            if (m_inflight.empty())
                caughtUp();
            return;
        }
        const bool fresh = line->at.offset == 0 && m_fresh.count(line->at.file) > 0;
        const RecordPayload payload{line->at.file,      line->at.offset,    line->bytes,
                                    line->previousFile, line->previousSize, fresh};
        const int mid = m_client.publish(m_recordTopic, payload.encode());
        if (mid < 0)
            return;
        m_seqOfMid.insert(mid, m_firstSeq + m_inflight.size());
        m_inflight.push_back({line->at, payload.end(), line->id});
        m_next = {line->at.file, payload.end()};
    }
}

void StationPublisher::reportTornTail()
{
    QByteArray file;
    if (const qint64 bytes = m_outbox.takeTornTail(&file))
        m_log.warning(QStringLiteral("MQTT: %1 ends in %2 bytes without a line end (a power cut?); they are not "
                                     "published, the collectors' copies end with the last whole line")
                          .arg(QString::fromLatin1(file))
                          .arg(bytes));
}

void StationPublisher::caughtUp()
{
    if (m_outage) {
        m_outage = false;
        m_log.notice(QStringLiteral("MQTT: the broker at %1 is back after %2 s; %3 lines caught up, up to %4")
                         .arg(m_settings.url->text())
                         .arg(QString::number(msToSeconds(m_outageTime.elapsed()), 'f', 1))
                         .arg(m_caughtUpLines)
                         .arg(where(m_next)));
    }
    if (m_finishing)
        finalize();
}

void StationPublisher::onPublished(int mid)
{
    m_lastHeard.start();
    const auto seq = m_seqOfMid.constFind(mid);
    if (seq == m_seqOfMid.cend())
        return; // a status message, or sent before the connection broke
    if (*seq < m_firstSeq) {
        m_seqOfMid.erase(seq); // of a file replaced meanwhile, let go already
        return;
    }
    m_inflight[size_t(*seq - m_firstSeq)].acked = true;
    m_seqOfMid.erase(seq);
    takeAcknowledged();
    pump();
}

void StationPublisher::takeAcknowledged()
{
    while (!m_inflight.empty() && m_inflight.front().acked) {
        const InFlight &f = m_inflight.front();
        SentCursor::Cursor &cursor = m_acked[f.at.file];
        if (cursor.id && !(*cursor.id == f.id)) {
            // A line of the file that was under that name before.
        } else if (f.end > cursor.offset) {
            cursor = {f.end, f.id};
            m_unwritten.insert(f.at.file);
            if (f.at.offset == 0)
                m_fresh.erase(f.at.file);
        }
        ++m_caughtUpLines;
        m_inflight.pop_front();
        ++m_firstSeq;
    }
    if (!m_unwritten.empty() && !m_cursorTimer.isActive())
        m_cursorTimer.start();
}

void StationPublisher::writeCursors()
{
    for (const QByteArray &file : std::as_const(m_unwritten)) {
        QString error;
        if (SentCursor::write(m_dataDir, file, m_acked[file], &error)) {
            m_cursorFault = false;
        } else if (!m_cursorFault) {
            // Publishing goes on; after a restart more lines go twice.
            m_cursorFault = true;
            m_log.warning(QStringLiteral("MQTT: the cursor cannot be written: %1").arg(error));
        }
    }
    m_unwritten.clear();
}

void StationPublisher::onMessage(const QByteArray &topic, const QByteArray &payload)
{
    if (topic != fleet::resendTopic(m_settings.station))
        return;
    m_lastHeard.start();
    QString why;
    const auto request = ResendRequest::decode(payload, &why);
    const Outbox::Position from = request ? Outbox::Position{request->file, request->offset} : Outbox::Position{};
    if (!request || !m_outbox.isLineStart(from)) {
        m_log.warning(QStringLiteral("MQTT: refused a request to publish again: %1")
                          .arg(request ? QStringLiteral("%1 is no line start here").arg(where(from))
                                       : QStringLiteral("the request %1").arg(why)));
        return;
    }
    if (from < m_next) {
        m_log.info(QStringLiteral("MQTT: a collector misses lines: publishing again from %1").arg(where(from)));
        m_next = from;
    }
    pump();
}

QByteArray StationPublisher::statusJson(bool online)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray file = m_outbox.openFile();
    const bool today = dayfilename::parse(QByteArrayView(file)) == now.date();
    QJsonObject status{
        {QStringLiteral("station"), m_settings.station},
        {QStringLiteral("online"), online},
        {QStringLiteral("since"), m_since.toString(Qt::ISODate)},
        {QStringLiteral("time"), now.toString(Qt::ISODate)},
        {QStringLiteral("file"), QString::fromLatin1(file)},
        // The header is no record.
        {QStringLiteral("records_today"), today ? std::max<qint64>(0, m_outbox.openFileLines() - 1) : 0},
        {QStringLiteral("last_record"), m_lastRecord.isValid() ? m_lastRecord.toString(Qt::ISODate) : QString()},
        {QStringLiteral("faults"), QJsonArray::fromStringList(m_faults)},
        // The most characters the cycle had waiting since the last status.
        {QStringLiteral("cycle_backlog_max"), m_largestCount.exchange(0)},
    };
    return QJsonDocument(status).toJson(QJsonDocument::Compact);
}

void StationPublisher::publishStatus(bool online)
{
    if (m_client.isConnected())
        m_client.publish(fleet::statusTopic(m_settings.station), statusJson(online), 1, true);
}

void StationPublisher::finish(int drainMs)
{
    m_finishing = true;
    if (!m_client.isConnected()) {
        finalize();
        return;
    }
    m_drainTimer.start(drainMs);
    pump();
}

void StationPublisher::finalize()
{
    if (!m_finishing)
        return;
    m_finishing = false;
    m_drainTimer.stop();
    m_statusTimer.stop();
    m_cursorTimer.stop();
    writeCursors();
    m_since = QDateTime::currentDateTimeUtc();
    publishStatus(false);
    m_client.close();
    m_log.info(QStringLiteral("MQTT: stopped; acknowledged up to %1")
                   .arg(m_acked.empty() ? QStringLiteral("nothing yet")
                                        : where({m_acked.rbegin()->first, m_acked.rbegin()->second.offset})));
    emit finished();
}
