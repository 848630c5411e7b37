// sorvik7-collect: rebuilds the day files of every SORVIK-7 station that
// publishes to an MQTT broker, byte for byte, in <dir>/<station>/.

#include "collector/collector.h"
#include "collector/collectorconfig.h"
#include "collector/fleethttp.h"
#include "common/nativepath.h"
#include "daemon/exitcodes.h"
#include "daemon/log.h"
#include "daemon/signalwatcher.h"
#include "daemon/systemdnotifier.h"
#include "datafile/folderlock.h"

#include <QCoreApplication>

#include <memory>

namespace {

// The fleet page and its JSON and metrics, read from the collector's board.
std::unique_ptr<FleetHttp> serveFleet(const CollectorConfig &config, const Collector &collector, QString *error)
{
    FleetHttp::Source source{[&collector](const QDateTime &now) { return collector.board().views(now); },
                             [&collector] { return collector.refusedMessages(); }};
    auto http = std::make_unique<FleetHttp>(config.http, source);
    return http->listen(error) ? std::move(http) : nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    CollectorConfigReader reader;
    const StderrLog log;
    const ProgramOptions::Outcome outcome = reader.read(ProgramOptions::arguments(argc, argv));
    if (outcome == ProgramOptions::Outcome::Error) {
        log.error(reader.error());
        return exitcode::kBadUsage;
    }
    if (outcome != ProgramOptions::Outcome::Run)
        return reader.options().answer(outcome);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvik7-collect"));
    QCoreApplication::setApplicationVersion(ProgramOptions::version());
    SignalWatcher signalWatcher;
    QString error;
    if (!signalWatcher.install(&error)) {
        log.error(error);
        return exitcode::kCannotRun;
    }
    // One collector to a folder: two would write the same copies.
    FolderLock folderLock;
    if (folderLock.lock(nativepath::encode(reader.config().dir)) == FolderLock::Result::Busy) {
        log.error(FolderLock::busyText(reader.config().dir, folderLock.holder()));
        return exitcode::kCannotRun;
    }
    auto client = MqttClient::make(Collector::clientConfig(reader.config()), &error);
    if (!client) {
        log.error(error);
        return exitcode::kCannotRun;
    }
    SystemdNotifier notifier;
    Collector collector(reader.config(), log, std::move(client));
    std::unique_ptr<FleetHttp> fleetPage;
    if (reader.config().http.enabled()) {
        fleetPage = serveFleet(reader.config(), collector, &error);
        if (!fleetPage) {
            log.error(error);
            return exitcode::kCannotRun;
        }
        log.info(QStringLiteral("serving the fleet page on %1").arg(reader.config().http.describe()));
    }
    if (!collector.start(&error)) {
        log.error(error);
        return exitcode::kCannotRun;
    }
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &collector, [&](int sig) {
        notifier.stopping();
        collector.stop();
        log.info(QStringLiteral("stopped (%1)").arg(SignalWatcher::signalName(sig)));
        QCoreApplication::exit(exitcode::kOk);
    });
    notifier.ready(QStringLiteral("Collecting into %1").arg(reader.config().dir));
    return QCoreApplication::exec();
}
