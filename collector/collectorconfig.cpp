#include "collectorconfig.h"

#include "serviceoptions.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

namespace {

const QString kDir = QStringLiteral("dir");
const QString kConfig = QStringLiteral("config");
const QString kConfigName = QStringLiteral("sorvik7/collect.conf");

QString defaultDir()
{
    // systemd lists the unit's state directories, separated by colons.
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (!state.isEmpty())
        return state;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sorvik7/collected");
}

} // namespace

CollectorConfigReader::CollectorConfigReader()
{
    m_parser.setApplicationDescription(QStringLiteral(
        "Collects the records that SORVIK-7 stations publish over MQTT and rebuilds each station's day "
        "files byte for byte in <dir>/<station>/yyyymmdd.SVK.\n"
        "Options override the config file (INI, the same keys: mqtt-url, mqtt-ca, client-id, dir, http; "
        "mqtt-username, mqtt-password, http-user and http-password only there), read from --config, else from the user's config "
        "folder (%1), else from %2.").arg(kConfigName, systemConfigPath()));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOptions(m_mqtt.options());
    m_parser.addOptions(m_http.options());
    m_parser.addOptions({
        {kDir, QStringLiteral("Folder of the copies, made when missing (default: the state directory under systemd, else %1).")
                   .arg(QStringLiteral("~/.local/share/sorvik7/collected")), QStringLiteral("folder")},
        {kConfig, QStringLiteral("Config file to read."), QStringLiteral("file")},
    });
}

QString CollectorConfigReader::systemConfigPath()
{
    return QStringLiteral("/etc/") + kConfigName;
}

bool CollectorConfigReader::read(const QStringList &arguments)
{
    if (!parseCommandLine(m_parser, arguments, &m_error))
        return false;
    if (!readFile())
        return false;
    const auto lookup = [this](const QString &key) { return setting(key); };
    if (!m_mqtt.take(lookup, &m_error))
        return false;
    if (!m_mqtt.settings().enabled()) {
        m_error = QStringLiteral("mqtt-url: missing; give --mqtt-url mqtt://host[:port], or mqtt-url= in the config file");
        return false;
    }
    m_config.mqtt = m_mqtt.settings();
    if (!m_http.take(lookup, &m_error))
        return false;
    m_config.http = m_http.settings();
    return takeDir();
}

std::optional<MqttOptions::Value> CollectorConfigReader::setting(const QString &key, bool fromFile) const
{
    if (m_parser.isSet(key))
        return MqttOptions::Value{m_parser.value(key), QStringLiteral("--") + key};
    if (fromFile && m_file.contains(key))
        return MqttOptions::Value{m_file.value(key), m_config.configFile};
    return std::nullopt;
}

bool CollectorConfigReader::fail(const QString &key, const MqttOptions::Value &v, const QString &why)
{
    m_error = QStringLiteral("%1 = '%2' (from %3): %4").arg(key, v.value, v.from, why);
    return false;
}

bool CollectorConfigReader::readFile()
{
    const std::optional<MqttOptions::Value> given = setting(kConfig, false);
    ConfigFileRequest request;
    if (given) {
        request.explicitPath = given->value;
        request.explicitFrom = given->from;
    }
    request.configName = kConfigName;
    request.configKey = kConfig;
    request.keys = m_mqtt.fileKeys() + m_http.fileKeys() << kDir;
    return readConfigFile(request, &m_config.configFile, &m_file, &m_error);
}

bool CollectorConfigReader::takeDir()
{
    const MqttOptions::Value dir = setting(kDir).value_or(MqttOptions::Value{defaultDir(), QStringLiteral("the default")});
    if (dir.value.trimmed().isEmpty())
        return fail(kDir, dir, QStringLiteral("needs a folder"));
    const QString path = QFileInfo(dir.value).absoluteFilePath();
    errno = 0;
    if (!QDir().mkpath(path)) {
        const int error = errno;
        return fail(kDir, dir, QStringLiteral("the folder cannot be made%1")
                                   .arg(error ? QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)) : QString()));
    }
    if (!QFileInfo(path).isWritable())
        return fail(kDir, dir, QStringLiteral("the folder is not writable"));
    m_config.dir = QDir::cleanPath(path);
    return true;
}
