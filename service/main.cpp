// sorvik7-logger: records a SORVIK-7 wind sensor without a window, as a
// systemd service or from a shell.

#include "daemon/exitcodes.h"
#include "daemon/log.h"
#include "daemon/signalwatcher.h"
#include "mqtt/mqttclient.h"
#include "service/loggerconfig.h"
#include "service/loggerservice.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    LoggerConfigReader reader;
    const StderrLog log;
    const ProgramOptions::Outcome outcome = reader.read(ProgramOptions::arguments(argc, argv));
    if (outcome == ProgramOptions::Outcome::Error) {
        log.error(reader.error());
        return exitcode::kBadUsage;
    }
    if (outcome != ProgramOptions::Outcome::Run)
        return reader.options().answer(outcome);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sorvik7-logger"));
    QCoreApplication::setApplicationVersion(ProgramOptions::version());
    SignalWatcher signalWatcher;
    QString error;
    if (!signalWatcher.install(&error)) {
        log.error(error);
        return exitcode::kCannotRun;
    }

    // Publishing was asked for: a library that cannot be loaded ends the program here.
    if (reader.config().mqtt.url && !MqttClient::loadLibrary(&error)) {
        log.error(error);
        return exitcode::kCannotRun;
    }
    LoggerService service(reader.config(), log);
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &service, [&service](int sig) {
        service.stop(SignalWatcher::signalName(sig));
        QCoreApplication::exit(exitcode::kOk);
    });
    if (!service.start())
        return exitcode::kCannotRun;
    return QCoreApplication::exec();
}
