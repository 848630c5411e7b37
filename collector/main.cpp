// sorvik7-collect: rebuilds the day files of every SORVIK-7 station that
// publishes to an MQTT broker, byte for byte, in <dir>/<station>/.
//
// Exit status: 0 after SIGTERM or SIGINT, 2 for bad options or a bad config
// file (nothing has been opened then), 1 when it cannot run at all.

#include "collector.h"
#include "collectorconfig.h"
#include "common/nativepath.h"
#include "datafile/folderlock.h"
#include "mqtt/mqttlog.h"
#include "servicelog.h"
#include "signalwatcher.h"
#include "systemdnotifier.h"

#include <QCoreApplication>

#include <csignal>

namespace {

constexpr int kExitCannotRun = 1;
constexpr int kExitBadConfig = 2;

// The service's log, for the MQTT side's reports.
class Log final : public MqttLog
{
public:
    explicit Log(const ServiceLog &log) : m_log(log) {}
    void write(Level level, const QString &text) const override
    {
        switch (level) {
        case Level::Error: m_log.error(text); break;
        case Level::Warning: m_log.warning(text); break;
        case Level::Notice: m_log.notice(text); break;
        case Level::Info: m_log.info(text); break;
        }
    }

private:
    const ServiceLog &m_log;
};

QString signalName(int sig)
{
    return sig == SIGTERM ? QStringLiteral("SIGTERM") : sig == SIGINT ? QStringLiteral("SIGINT")
                                                                      : QString::number(sig);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvik7-collect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SORVIK7_VERSION));
    const ServiceLog serviceLog;
    const Log log(serviceLog);

    CollectorConfigReader reader;
    if (!reader.read(QCoreApplication::arguments())) {
        log.error(reader.error());
        return kExitBadConfig;
    }
    SignalWatcher signalWatcher;
    QString error;
    if (!signalWatcher.install(&error)) {
        log.error(error);
        return kExitCannotRun;
    }
    // One collector to a folder: two would write the same copies.
    FolderLock folderLock;
    if (folderLock.lock(nativepath::encode(reader.config().dir)) == FolderLock::Result::Busy) {
        log.error(FolderLock::busyText(reader.config().dir, folderLock.holder()));
        return kExitCannotRun;
    }
    SystemdNotifier notifier;
    Collector collector(reader.config(), log);
    if (!collector.start(&error)) {
        log.error(error);
        return kExitCannotRun;
    }
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &collector, [&](int sig) {
        notifier.stopping();
        collector.stop();
        log.info(QStringLiteral("stopped (%1)").arg(signalName(sig)));
        QCoreApplication::exit(0);
    });
    notifier.ready(QStringLiteral("Collecting into %1").arg(reader.config().dir));
    return QCoreApplication::exec();
}
