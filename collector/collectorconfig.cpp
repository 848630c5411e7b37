#include "collector/collectorconfig.h"

#include "common/timeunits.h"

#include <QStandardPaths>

namespace {

const QString kDir = QStringLiteral("dir");
const QString kSilenceAlarm = QStringLiteral("silence-alarm");
const QString kNewStations = QStringLiteral("new-stations-per-minute");
constexpr int kMaxSilenceAlarmS = 7 * 24 * 3600;
constexpr int kMaxNewStations = 100000;

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
        {kDir, QStringLiteral("FOLDER"),
         QStringLiteral("Folder of the copies, made when missing (default: the state directory under systemd, else "
                        "~/.local/share/sorvik7/collected)."),
         Option::Both},
        {kSilenceAlarm, QStringLiteral("SECONDS"),
         QStringLiteral("Warn when an online station has sent no record for this many seconds (default %1).")
             .arg(CollectorConfig().silenceAlarmMs / kMsPerSecond),
         Option::Both},
        {kNewStations, QStringLiteral("COUNT"),
         QStringLiteral("Take at most this many stations not seen before in a minute; the rest are refused until the "
                        "next minute (default %1).")
             .arg(CollectorConfig().newStationsPerMinute),
         Option::Both},
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
    m_options.add(m_http.options());
}

ProgramOptions::Outcome CollectorConfigReader::read(const QStringList &arguments)
{
    const ProgramOptions::Outcome outcome = m_options.parse(arguments);
    if (outcome != ProgramOptions::Outcome::Run)
        return outcome;
    const bool ok = m_options.readConfig() && takeMqtt() && takeLimits() && takeHttp()
        && m_options.takeFolder(kDir, defaultDir(), &m_config.dir);
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
        m_options.setError(
            QStringLiteral("mqtt-url: missing; give --mqtt-url mqtt://host[:port], or mqtt-url= in the config file"));
        return false;
    }
    m_config.mqtt = m_mqtt.settings();
    return true;
}

bool CollectorConfigReader::takeLimits()
{
    const auto whole = [this](const QString &key, int min, int max, int *out) {
        const std::optional<Setting> v = m_options.setting(key);
        if (!v)
            return true;
        bool ok = false;
        const int n = v->value.trimmed().toInt(&ok);
        if (!ok || n < min || n > max)
            return m_options.fail(key, *v, QStringLiteral("must be a whole number from %1 to %2").arg(min).arg(max));
        *out = n;
        return true;
    };
    int silenceS = m_config.silenceAlarmMs / kMsPerSecond;
    if (!whole(kSilenceAlarm, 1, kMaxSilenceAlarmS, &silenceS)
        || !whole(kNewStations, 1, kMaxNewStations, &m_config.newStationsPerMinute))
        return false;
    m_config.silenceAlarmMs = silenceS * kMsPerSecond;
    return true;
}

bool CollectorConfigReader::takeHttp()
{
    const auto lookup = [this](const QString &key) { return m_options.setting(key); };
    QString error;
    if (!m_http.take(lookup, &error)) {
        m_options.setError(error);
        return false;
    }
    m_config.http = m_http.settings();
    return true;
}
