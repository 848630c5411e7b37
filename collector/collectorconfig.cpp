#include "collector/collectorconfig.h"

#include <QStandardPaths>

namespace {

const QString kDir = QStringLiteral("dir");

QString defaultDir()
{
    // systemd lists the unit's state directories, separated by colons.
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (!state.isEmpty())
        return state;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sorvik7/collected");
}

// The collector's own options; each is also a key of the config file.
QList<Option> collectorOptions()
{
    return {
        {kDir, QStringLiteral("FOLDER"), QStringLiteral("Folder of the copies, made when missing (default: the state directory under systemd, else ~/.local/share/sorvik7/collected)."), Option::Both},
    };
}

ProgramOptions::About about()
{
    return {
        QStringLiteral("sorvik7-collect"),
        QStringLiteral("[OPTION]..."),
        QStringLiteral("Collects the records that SORVIK-7 stations publish over MQTT and rebuilds each station's "
                       "day files byte for byte in <dir>/<station>/yyyymmdd.SVK. Runs as a systemd service "
                       "(Type=notify, watchdog) or from a shell; SIGTERM or SIGINT flushes the copies and stops it."
                       "\n\nmqtt-url is required, on the command line or in the config file."),
        QStringLiteral("sorvik7/collect.conf"),
        QStringLiteral("Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot run, 2 for bad options or a bad "
                       "config file (nothing has been opened then)."),
    };
}

} // namespace

CollectorConfigReader::CollectorConfigReader()
    : m_options(about(), {})
{
    m_options.add(m_mqtt.options());
    m_options.add(collectorOptions());
}

ProgramOptions::Outcome CollectorConfigReader::read(const QStringList &arguments)
{
    const ProgramOptions::Outcome outcome = m_options.parse(arguments);
    if (outcome != ProgramOptions::Outcome::Run)
        return outcome;
    const bool ok = m_options.readConfig() && takeMqtt() && m_options.takeFolder(kDir, defaultDir(), &m_config.dir);
    m_config.configFile = m_options.configFile();
    return ok ? outcome : ProgramOptions::Outcome::Error;
}

bool CollectorConfigReader::takeMqtt()
{
    const auto lookup = [this](const QString &key) { return m_options.setting(key); };
    QString error;
    if (!m_mqtt.take(lookup, &error)) {
        m_options.setError(error);
        return false;
    }
    if (!m_mqtt.settings().enabled()) {
        m_options.setError(QStringLiteral("mqtt-url: missing; give --mqtt-url mqtt://host[:port], or mqtt-url= in the config file"));
        return false;
    }
    m_config.mqtt = m_mqtt.settings();
    return true;
}
