// sorvik7-collect: rebuilds the day files of every SORVIK-7 station that
// publishes to an MQTT broker, byte for byte, in <dir>/<station>/.

#include "collector/collector.h"
#include "collector/collectorconfig.h"
#include "collector/fleethttp.h"
#include "collector/stationboard.h"
#include "common/nativepath.h"
#include "common/timeunits.h"
#include "daemon/exitcodes.h"
#include "daemon/log.h"
#include "daemon/signalwatcher.h"
#include "daemon/systemdnotifier.h"
#include "datafile/folderlock.h"

#include <QCoreApplication>

#include <memory>

namespace {

// The fleet page and its JSON and metrics, fed by the collector; nothing
// when HTTP is off.
struct FleetPage
{
    explicit FleetPage(int silenceSeconds)
        : board(silenceSeconds)
    {
    }
    StationBoard board;
    std::unique_ptr<FleetHttp> http;
};

std::unique_ptr<FleetPage> serveFleet(const CollectorConfig &config, Collector &collector, QString *error)
{
    const HttpSettings &settings = config.http;
    // The page's silent alarm holds from the same time as the log's.
    auto page = std::make_unique<FleetPage>(int(config.silenceAlarmMs / kMsPerSecond));
    StationBoard &board = page->board;
    FleetHttp::Source source{[&board](const QDateTime &now) { return board.views(now); },
                             [&collector] { return collector.refusedMessages(); }};
    page->http = std::make_unique<FleetHttp>(settings, source);
    if (!page->http->listen(error))
        return nullptr;
    // The server is the context: the connections go with the page.
    const FleetHttp *context = page->http.get();
    QObject::connect(&collector, &Collector::reportTaken, context,
                     [&board](const QString &station, const QByteArray &leaf, const QJsonObject &report) {
                         board.takeReport(station, leaf, report, QDateTime::currentDateTimeUtc());
                     });
    QObject::connect(&collector, &Collector::lineWritten, context,
                     [&board](const QString &station, const QByteArray &line) {
                         board.takeLine(station, line, QDateTime::currentDateTimeUtc());
                     });
    return page;
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
    std::unique_ptr<FleetPage> fleetPage;
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
