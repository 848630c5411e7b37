// sorvik7-logger: records a SORVIK-7 wind sensor without a window, as a
// systemd service or from a shell.
//
// Exit status: 0 after SIGTERM or SIGINT, 2 for bad options or a bad config
// file (nothing has been opened then), 1 when it cannot run at all.

#include "loggerconfig.h"
#include "loggerservice.h"
#include "servicelog.h"
#include "signalwatcher.h"

#include <QCoreApplication>

#include <csignal>
#include <cstring>

namespace {

constexpr int kExitCannotRun = 1;
constexpr int kExitBadConfig = 2;

QString signalName(int sig)
{
    return sig == SIGTERM ? QStringLiteral("SIGTERM") : sig == SIGINT ? QStringLiteral("SIGINT")
                                                                      : QString::number(sig);
}

void describeApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("sorvik7-logger"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SORVIK7_VERSION));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    describeApplication();
    const ServiceLog log;

    LoggerConfigReader reader;
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

    LoggerService service(reader.config(), log);
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &service, [&service](int sig) {
        service.stop(signalName(sig));
        QCoreApplication::exit(0);
    });
    if (!service.start())
        return kExitCannotRun;
    return QCoreApplication::exec();
}
