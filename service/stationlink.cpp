#include "service/stationlink.h"

#include "acquisition/acquisition.h"
#include "daemon/log.h"
#include "datafile/dayfilename.h"
#include "mqtt/fleet.h"
#include "mqtt/stationpublisher.h"
#include "service/messagesample.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QThread>

namespace {

// How long stop() waits for the publisher beyond its drain.
constexpr int kStopGraceMs = 3000;

} // namespace

StationLink::StationLink(const MqttSettings &settings, const QString &dataDir, Acquisition &engine, const Log &log,
                         QObject *parent)
    : QObject(parent),
      m_log(log),
      m_engine(engine),
      m_thread(new QThread)
{
    m_thread->setObjectName(QStringLiteral("mqtt"));
    m_thread->start();
    // Made in its thread, so that its timers and sockets belong there.
    auto *anchor = new QObject;
    anchor->moveToThread(m_thread);
    QString error;
    QMetaObject::invokeMethod(
        anchor,
        [this, anchor, settings, dataDir, &error] {
            if (auto client = MqttClient::make(StationPublisher::clientConfig(settings), &error))
                m_publisher = new StationPublisher(settings, dataDir, m_log, std::move(client));
            anchor->deleteLater();
        },
        Qt::BlockingQueuedConnection);
    if (!m_publisher) {
        m_log.error(QStringLiteral("MQTT: nothing is published: %1").arg(error));
        m_thread->quit();
        m_stopped = true;
        return;
    }
    connect(m_thread, &QThread::finished, m_publisher, &QObject::deleteLater);
    // Directly, in the publisher's thread: the logger's thread is waiting then.
    connect(m_publisher, &StationPublisher::finished, m_thread, &QThread::quit, Qt::DirectConnection);

    connect(&m_engine, &Acquisition::stored, this, &StationLink::reportStored);
    connect(&m_engine, &Acquisition::messageParsed, this, &StationLink::noteMessage);
    m_liveTimer.setSingleShot(true);
    m_liveTimer.setInterval(kLivePeriodMs);
    connect(&m_liveTimer, &QTimer::timeout, this, &StationLink::publishLive);
    connect(&m_engine, &Acquisition::stateChanged, this, [this](Acquisition::State state) {
        m_deviceFault = state == Acquisition::State::WaitingForDevice
            ? QStringLiteral("waiting for the device %1").arg(m_engine.device())
            : QString();
        reportFaults();
    });
    connect(&m_engine, &Acquisition::fileFault, this, [this](const QString &text) {
        m_fileFault = text;
        reportFaults();
    });
    connect(&m_engine, &Acquisition::fileFaultCleared, this, [this] {
        m_fileFault.clear();
        reportFaults();
    });
    // Said while records wait, not with their count: the status changes
    // when the wait begins and ends, not at every record.
    connect(&m_engine, &Acquisition::backlogChanged, this, [this](qsizetype waiting, quint64 lost) {
        QString fault;
        if (waiting > 0)
            fault = lost > 0
                ? QStringLiteral("records waiting for the data folder; the wait is full, newer records lost")
                : QStringLiteral("records waiting for the data folder");
        if (fault != m_backlogFault) {
            m_backlogFault = fault;
            reportFaults();
        }
    });
    // The line's faults, each while it lasts.
    const auto lineFault = [this](QString LineFaults::*which, const QString &text) {
        m_line.*which = text;
        reportFaults();
    };
    connect(&m_engine, &Acquisition::noValidMessages, this, [lineFault](qint64 ms) {
        lineFault(&LineFaults::silence, QStringLiteral("no valid message for %1 s").arg(ms / 1000));
    });
    connect(&m_engine, &Acquisition::validMessagesBack, this, [lineFault] { lineFault(&LineFaults::silence, {}); });
    connect(&m_engine, &Acquisition::sensorStatusChanged, this, [lineFault](const QByteArray &code) {
        lineFault(&LineFaults::status,
                  code == Acquisition::kStatusOk ? QString()
                                                 : QStringLiteral("sensor status %1").arg(QString::fromLatin1(code)));
    });
    connect(&m_engine, &Acquisition::inputOverflow, this, [lineFault] {
        lineFault(&LineFaults::overflow, QStringLiteral("receive buffer overflow: characters dropped"));
    });
    connect(&m_engine, &Acquisition::inputOverflowEnded, this, [lineFault] { lineFault(&LineFaults::overflow, {}); });
}

StationLink::~StationLink()
{
    stop();
    if (!m_publisher)
        m_thread->wait();
    if (m_thread->isFinished())
        delete m_thread;
}

void StationLink::start()
{
    if (!m_publisher)
        return;
    QMetaObject::invokeMethod(m_publisher, &StationPublisher::start, Qt::QueuedConnection);
}

void StationLink::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_liveTimer.stop();
    QMetaObject::invokeMethod(
        m_publisher, [p = m_publisher] { p->finish(kDrainMs); }, Qt::QueuedConnection);
    if (!m_thread->wait(kDrainMs + kStopGraceMs))
        m_log.warning(QStringLiteral("MQTT: the publisher did not end in time (a connection attempt hangs); "
                                     "leaving it to the end of the program"));
}

void StationLink::noteCount(int count)
{
    if (m_publisher)
        m_publisher->noteCount(count);
}

void StationLink::reportStored(const QByteArray &file, qint64 bytes)
{
    // The engine has flushed the file: what it holds up to `bytes` is on the device.
    const QByteArray name = file.mid(file.lastIndexOf('/') + 1);
    if (!m_publisher || !dayfilename::isValid(name))
        return;
    QMetaObject::invokeMethod(
        m_publisher,
        [p = m_publisher, name, bytes, when = QDateTime::currentDateTime()] { p->flushed(name, bytes, when); },
        Qt::QueuedConnection);
}

void StationLink::noteMessage(const ParsedMessage &message)
{
    m_latest = message;
    if (!m_liveTimer.isActive())
        publishLive();
}

void StationLink::publishLive()
{
    // The first message at once, then the latest at most once a period.
    if (!m_latest)
        return;
    const QByteArray json = QJsonDocument(liveJson(*m_latest)).toJson(QJsonDocument::Compact);
    m_latest.reset();
    m_liveTimer.start();
    QMetaObject::invokeMethod(
        m_publisher, [p = m_publisher, json] { p->publishLive(json); }, Qt::QueuedConnection);
}

void StationLink::publishStats(const IntervalRow &row)
{
    if (!m_publisher)
        return;
    const QByteArray json = QJsonDocument(intervalJson(row)).toJson(QJsonDocument::Compact);
    QMetaObject::invokeMethod(
        m_publisher, [p = m_publisher, json] { p->publishStats(json); }, Qt::QueuedConnection);
}

void StationLink::reportFaults()
{
    QStringList faults;
    for (const QString &fault :
         {m_deviceFault, m_fileFault, m_backlogFault, m_line.silence, m_line.status, m_line.overflow})
        if (!fault.isEmpty())
            faults << fault;
    if (m_publisher)
        QMetaObject::invokeMethod(
            m_publisher, [p = m_publisher, faults] { p->setFaults(faults); }, Qt::QueuedConnection);
}
