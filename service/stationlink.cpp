#include "service/stationlink.h"

#include "acquisition/acquisition.h"
#include "common/nativepath.h"
#include "datafile/dayfilename.h"
#include "mqtt/fleet.h"
#include "mqtt/stationpublisher.h"
#include "daemon/log.h"

#include <QDateTime>
#include <QThread>

#include <sys/stat.h>

namespace {

// How long stop() waits for the publisher beyond its drain.
constexpr int kStopGraceMs = 3000;

} // namespace

StationLink::StationLink(const MqttSettings &settings, const QString &dataDir, Acquisition &engine,
                         const Log &log, QObject *parent)
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
    QMetaObject::invokeMethod(anchor, [this, anchor, settings, dataDir, &error] {
        if (auto client = MqttClient::make(StationPublisher::clientConfig(settings), &error))
            m_publisher = new StationPublisher(settings, dataDir, m_log, std::move(client));
        anchor->deleteLater();
    }, Qt::BlockingQueuedConnection);
    if (!m_publisher) {
        m_log.error(QStringLiteral("MQTT: nothing is published: %1").arg(error));
        m_thread->quit();
        m_stopped = true;
        return;
    }
    connect(m_thread, &QThread::finished, m_publisher, &QObject::deleteLater);
    // Directly, in the publisher's thread: the logger's thread is waiting then.
    connect(m_publisher, &StationPublisher::finished, m_thread, &QThread::quit, Qt::DirectConnection);

    connect(&m_engine.cycle(), &AcquisitionCycle::recordDone, this, [this](bool written) {
        if (written)
            reportFlushed();
    });
    connect(&m_engine, &Acquisition::backlogChanged, this, &StationLink::reportFlushed);
    connect(&m_engine, &Acquisition::stateChanged, this, [this](Acquisition::State state) {
        m_deviceFault = state == Acquisition::State::WaitingForDevice
            ? QStringLiteral("waiting for the device %1").arg(m_engine.device()) : QString();
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
        lineFault(&LineFaults::status, code == Acquisition::kStatusOk
                      ? QString() : QStringLiteral("sensor status %1").arg(QString::fromLatin1(code)));
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
    QMetaObject::invokeMethod(m_publisher, [p = m_publisher] { p->finish(kDrainMs); }, Qt::QueuedConnection);
    if (!m_thread->wait(kDrainMs + kStopGraceMs))
        m_log.warning(QStringLiteral("MQTT: the publisher did not end in time (a connection attempt hangs); "
                                     "leaving it to the end of the program"));
}

void StationLink::noteCount(int count)
{
    if (m_publisher)
        m_publisher->noteCount(count);
}

void StationLink::reportFlushed()
{
    // The engine has closed the file after flushing it: what it holds now is on the device.
    const QByteArray path = nativepath::encode(m_engine.dataPath());
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    struct stat st {};
    if (!m_publisher || !dayfilename::isValid(name) || ::stat(path.constData(), &st) != 0)
        return;
    QMetaObject::invokeMethod(m_publisher, [p = m_publisher, name, size = qint64(st.st_size),
                                            when = QDateTime::currentDateTime()] { p->flushed(name, size, when); },
                              Qt::QueuedConnection);
}

void StationLink::reportFaults()
{
    QStringList faults;
    for (const QString &fault : {m_deviceFault, m_fileFault, m_line.silence, m_line.status, m_line.overflow})
        if (!fault.isEmpty())
            faults << fault;
    if (m_publisher)
        QMetaObject::invokeMethod(m_publisher, [p = m_publisher, faults] { p->setFaults(faults); }, Qt::QueuedConnection);
}
