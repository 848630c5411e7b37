#include "service/loggerservice.h"

#include "common/nativepath.h"
#include "common/timeunits.h"
#include "daemon/log.h"
#include "daemon/options.h"
#include "serial/lineevents.h"
#include "service/messagesample.h"

#include <QCoreApplication>

#include <sys/stat.h>

LoggerService::LoggerService(const LoggerConfig &config, const Log &log, QObject *parent)
    : QObject(parent),
      m_config(config),
      m_log(log),
      m_engine(*this, *this, m_clock)
{
    sorvik7_def &def = m_engine.def();
    def.Save_Path = m_config.dataDir;
    def.Sample_Num = qint16(m_config.samples);
    def.Debug_Flag = m_config.debug;
    if (m_config.comPort > 0)
        def.Com_Port = qint16(m_config.comPort);
    m_engine.setDevice(m_config.device);
    m_engine.setKeepTrying(true);
    m_engine.setBacklogLimit(m_config.backlogLimit);
    m_makeDir.setInterval(Acquisition::kRetryMs);
    connect(&m_makeDir, &QTimer::timeout, this, &LoggerService::makeDataDir);

    connect(&m_engine, &Acquisition::stateChanged, this, &LoggerService::onStateChanged);
    connect(&m_engine, &Acquisition::lineEvent, this, &LoggerService::onLineEvent);
    connect(&m_engine, &Acquisition::deviceLost, this, &LoggerService::onDeviceLost);
    connect(&m_engine, &Acquisition::deviceBack, this, &LoggerService::onDeviceBack);
    connect(&m_engine, &Acquisition::fileFault, this, &LoggerService::onFileFault);
    connect(&m_engine, &Acquisition::fileFaultCleared, this, &LoggerService::onFileFaultCleared);
    connect(&m_engine, &Acquisition::noValidMessages, this, &LoggerService::onNoValidMessages);
    connect(&m_engine, &Acquisition::validMessagesBack, this, &LoggerService::onValidMessagesBack);
    connect(&m_engine, &Acquisition::sensorStatusChanged, this, &LoggerService::onSensorStatus);
    connect(&m_engine, &Acquisition::inputOverflow, this, [this](quint64 dropped) {
        m_log.warning(QStringLiteral("%1 : Receive buffer overflow detected: characters come faster than the "
                                     "line carries them, the oldest waiting ones are dropped (%2 so far)")
                          .arg(m_config.portName())
                          .arg(dropped));
    });
    connect(&m_engine, &Acquisition::inputOverflowEnded, this, [this](quint64 dropped) {
        m_log.notice(QStringLiteral("%1 : Receive buffer keeps up again: %2 characters were dropped unread")
                         .arg(m_config.portName())
                         .arg(dropped));
    });
    connect(&m_engine, &Acquisition::deviceRefused, this, [this](const QString &why) {
        m_log.warning(QStringLiteral("%1 : device not opened: %2; still waiting").arg(m_config.portName(), why));
    });
    connect(&m_engine, &Acquisition::recordsLost, this, &LoggerService::onRecordsLost);
    connect(&m_engine, &Acquisition::fileNotice, this, [this](const QString &text) { m_log.warning(text); });
    connect(&m_engine, &Acquisition::folderInUse, this, [this](const QString &text) { m_folderInUse = text; });
    if (m_config.mqtt.enabled())
        m_mqtt = std::make_unique<StationLink>(m_config.mqtt, m_config.dataDir, m_engine, m_log);
    makeTables();
}

void LoggerService::makeTables()
{
    CampaignTables::Settings settings;
    settings.raw = m_config.rawTable;
    settings.statsTable = m_config.statsTable;
    settings.statistics = m_config.statsTable || m_mqtt;
    settings.minutes = m_config.statsMinutes;
    if (!settings.raw && !settings.statistics)
        return;
    m_tables = std::make_unique<CampaignTables>(m_config.dataDir, settings);
    connect(&m_engine, &Acquisition::messageParsed, m_tables.get(),
            [this](const ParsedMessage &message) { m_tables->add(windSampleOf(message)); });
    if (m_mqtt)
        connect(m_tables.get(), &CampaignTables::intervalDone, m_mqtt.get(), &StationLink::publishStats);
    connect(m_tables.get(), &CampaignTables::fault, this, [this](const QString &text) { m_log.error(text); });
    connect(m_tables.get(), &CampaignTables::faultCleared, this,
            [this](const QString &folder, quint64 waited, quint64 lost) {
                m_log.notice(QStringLiteral("table written again (%1): %2 rows were written late, %3 lost")
                                 .arg(folder)
                                 .arg(waited)
                                 .arg(lost));
            });
}

LoggerService::~LoggerService()
{
    m_engine.shutdown();
}

QString LoggerService::settingsText() const
{
    QString text = QStringLiteral("port %1").arg(m_config.device);
    if (m_config.comPort > 0)
        text += QStringLiteral(" (COM%1)").arg(m_config.comPort);
    text +=
        QStringLiteral(", samples %1, debug %2, data folder %3, config %4")
            .arg(m_config.samples)
            .arg(m_config.debug ? QStringLiteral("on") : QStringLiteral("off"), nativepath::display(m_config.dataDir),
                 m_config.configFile.isEmpty() ? QStringLiteral("none") : m_config.configFile);
    QStringList tables;
    if (m_config.rawTable)
        tables << QStringLiteral("raw");
    if (m_config.statsTable)
        tables << QStringLiteral("stats every %1 min").arg(m_config.statsMinutes);
    text += QStringLiteral(", tables %1").arg(tables.isEmpty() ? QStringLiteral("none") : tables.join(u", "));
    if (m_config.mqtt.enabled())
        text += QStringLiteral(", MQTT %1").arg(m_config.mqtt.describe());
    return text;
}

namespace {

bool isFolder(const QString &path)
{
    struct stat st
    { };
    return ::stat(nativepath::encode(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool LoggerService::start()
{
    m_log.info(QStringLiteral("started %1: %2").arg(QCoreApplication::applicationVersion(), settingsText()));
    m_engine.restart();
    m_engine.start();
    if (!m_folderInUse.isEmpty()) {
        m_log.error(m_folderInUse);
        return false;
    }
    if (m_refused) {
        m_engine.shutdown();
        return false;
    }
    if (m_mqtt)
        m_mqtt->start();
    if (!isFolder(m_config.dataDir)) {
        m_log.warning(QStringLiteral("data folder %1 cannot be made; records wait for it, trying every %2 s")
                          .arg(nativepath::display(m_config.dataDir))
                          .arg(msToSeconds(Acquisition::kRetryMs)));
        m_makeDir.start();
    }
    m_notifier.ready(m_engine.state() == Acquisition::State::Running
                         ? QStringLiteral("Recording %1").arg(m_config.device)
                         : QStringLiteral("Waiting for %1").arg(m_config.device));
    return true;
}

void LoggerService::makeDataDir()
{
    // The folder's name as given, byte for byte (see nativepath).
    if (!makePath(m_config.dataDir))
        return;
    m_makeDir.stop();
    m_log.notice(QStringLiteral("data folder %1 made").arg(nativepath::display(m_config.dataDir)));
}

void LoggerService::stop(const QString &reason)
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_notifier.stopping();
    m_makeDir.stop();
    m_engine.stop();
    // Records still waiting for the data folder get one more try.
    quint64 lostAtStop = 0;
    if (m_engine.backlog() > 0 && !m_engine.writeBacklog()) {
        lostAtStop = quint64(m_engine.backlog());
        m_log.error(QStringLiteral("%1 records waiting for %2 are lost: the folder still does not take them")
                        .arg(lostAtStop)
                        .arg(m_config.dataDir));
    }
    m_engine.shutdown();
    // The interval in progress, cut short; then everything to the disk.
    if (m_tables && !m_tables->stop())
        m_log.error(
            QStringLiteral("%1 table rows are lost: their folder still does not take them").arg(m_tables->pending()));
    if (m_mqtt)
        m_mqtt->stop();
    // The whole run's account: lost counts those dropped past the backlog
    // limit in any fault, and those still waiting now.
    QString account = QStringLiteral("%1 records written").arg(m_engine.recordsWritten());
    if (const quint64 lost = m_engine.recordsDropped() + lostAtStop; lost > 0)
        account += QStringLiteral(", %1 lost").arg(lost);
    m_log.info(QStringLiteral("stopped (%1): %2; %3").arg(reason, account, settingsText()));
}

void LoggerService::report(const QString &text)
{
    // Init_Comm's "Error : <COMn> number", then the device and the reason in
    // words on a line of their own. A device given by path is named as such.
    QString first = text.section(u'\n', 0, 0);
    const QString detail = text.section(u'\n', 1);
    if (m_config.comPort == 0)
        first.replace(QStringLiteral("<COM%1>").arg(m_engine.def().Com_Port),
                      QStringLiteral("<%1>").arg(m_config.device));
    if (m_engine.deviceHolder() != 0) {
        // Another logger records from this device (under this name or another).
        m_refused = true;
        m_log.error(QStringLiteral("%1 (%2); not starting: two programs on one device would split its messages")
                        .arg(first, detail));
        return;
    }
    m_log.warning(QStringLiteral("%1 (%2); waiting for the device, looking every %3 s")
                      .arg(first, detail)
                      .arg(msToSeconds(Acquisition::kRetryMs)));
}

void LoggerService::onStateChanged(Acquisition::State state)
{
    if (m_stopped)
        return;
    if (state == Acquisition::State::Running)
        m_notifier.status(QStringLiteral("Recording %1").arg(m_config.device));
    else if (state == Acquisition::State::WaitingForDevice)
        m_notifier.status(QStringLiteral("Waiting for %1").arg(m_config.device));
}

void LoggerService::onLineEvent(qint16 code)
{
    // The control's own receive buffer overflowing has a report of its own.
    if (code == MSComm::comEvRxOver && m_engine.inputOverflowing())
        return;
    const QString text = lineEventText(code);
    if (!text.isEmpty())
        m_log.warning(QStringLiteral("%1 : %2").arg(m_config.portName(), text));
}

void LoggerService::onDeviceLost()
{
    m_lost = true;
    m_log.warning(QStringLiteral("%1 : Device lost, waiting for it").arg(m_config.portName()));
}

void LoggerService::onDeviceBack(qint64 gapMs)
{
    const QString gap = QString::number(msToSeconds(gapMs), 'f', 1);
    if (m_lost)
        m_log.notice(QStringLiteral("%1 : Device back after %2 s, acquisition resumed").arg(m_config.portName(), gap));
    else
        m_log.notice(QStringLiteral("%1 : Device there after %2 s, acquisition started").arg(m_config.portName(), gap));
    m_lost = false;
}

void LoggerService::onFileFault(const QString &text)
{
    m_log.error(QStringLiteral("%1 (%2); acquisition goes on, the records wait and are written when the folder "
                               "takes them again")
                    .arg(text, m_engine.dataPath()));
}

void LoggerService::onRecordsLost(qsizetype waiting, quint64 lost)
{
    m_log.warning(QStringLiteral("data folder still refuses records and %1 are waiting, the backlog limit: newer "
                                 "records are lost until it takes them again (%2 lost so far)")
                      .arg(waiting)
                      .arg(lost));
}

void LoggerService::onFileFaultCleared(quint64 writtenLate, quint64 lost)
{
    m_log.notice(QStringLiteral("data file written again (%1): %2 records were written late, %3 were lost")
                     .arg(m_engine.dataPath())
                     .arg(writtenLate)
                     .arg(lost));
}

void LoggerService::onNoValidMessages(qint64 ms, quint64 checksumFailures, quint64 unparsable)
{
    m_log.warning(QStringLiteral("%1 : No valid message for %2 s (%3 checksum failures, %4 unparsable messages): "
                                 "noise on the line, a wrong baud rate or the sensor off?")
                      .arg(m_config.portName())
                      .arg(ms / qint64(kMsPerSecond))
                      .arg(checksumFailures)
                      .arg(unparsable));
}

void LoggerService::onValidMessagesBack(qint64 ms, quint64 checksumFailures, quint64 unparsable)
{
    m_log.notice(QStringLiteral("%1 : Valid messages again after %2 s without (%3 checksum failures, "
                                "%4 unparsable messages)")
                     .arg(m_config.portName(), QString::number(msToSeconds(ms), 'f', 1))
                     .arg(checksumFailures)
                     .arg(unparsable));
}

void LoggerService::onSensorStatus(const QByteArray &code)
{
    if (code == Acquisition::kStatusOk)
        m_log.notice(
            QStringLiteral("%1 : Sensor status back to %2").arg(m_config.portName(), QString::fromLatin1(code)));
    else
        m_log.warning(QStringLiteral("%1 : Sensor status %2 (the sensor reports a fault; its records carry the code)")
                          .arg(m_config.portName(), QString::fromLatin1(code)));
}
