#include "loggerconfig.h"

#include "serviceoptions.h"
#include "common/sorvik7_def.h"
#include "serial/mscomm.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <limits>

namespace {

const QString kPort = QStringLiteral("port");
const QString kCom = QStringLiteral("com");
const QString kSamples = QStringLiteral("samples");
const QString kDebug = QStringLiteral("debug");
const QString kDir = QStringLiteral("dir");
const QString kConfig = QStringLiteral("config");
const QString kBacklogLimit = QStringLiteral("backlog-limit");
const QStringList kFileKeys{kPort, kCom, kSamples, kDebug, kDir, kBacklogLimit};

const QString kConfigName = QStringLiteral("sorvik7/logger.conf");
constexpr int kMinCom = 1;
constexpr int kMaxCom = 255;

std::optional<bool> parseBool(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == u"true" || t == u"yes" || t == u"on" || t == u"1")
        return true;
    if (t == u"false" || t == u"no" || t == u"off" || t == u"0")
        return false;
    return std::nullopt;
}

std::optional<int> parseInt(const QString &text, int low, int high)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok || n < low || n > high)
        return std::nullopt;
    return n;
}

} // namespace

QString LoggerConfig::portName() const
{
    return comPort > 0 ? QStringLiteral("Com%1").arg(comPort) : device;
}

LoggerConfigReader::LoggerConfigReader()
{
    m_parser.setApplicationDescription(QStringLiteral(
        "Records a SORVIK-7 wind sensor without a window: one record per message in the day file "
        "yyyymmdd.SVK of the data folder, exactly as the window writes it.\n"
        "Options override the config file (INI, the same keys: port, com, samples, debug, dir, backlog-limit, "
        "mqtt-url, mqtt-ca, station; mqtt-username and mqtt-password only there), read from --config, else from the user's config folder (%1), else from %2.")
            .arg(kConfigName, systemConfigPath()));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOptions({
        {kPort, QStringLiteral("Serial device to read, any path (/dev/ttyUSB0, /dev/serial/by-id/...)."), QStringLiteral("device")},
        {kCom, QStringLiteral("Serial port COMn, as in the window: /dev/ttyS<n-1>, or the device SORVIK7_COM<n> names."), QStringLiteral("n")},
        {kSamples, QStringLiteral("Averaging length N, 3 to 64 (default 10)."), QStringLiteral("n")},
        {kDebug, QStringLiteral("Records also carry the N individual speeds.")},
        {kDir, QStringLiteral("Data folder, made when missing, and waited for while it cannot be (default: the state directory under systemd, else %1).")
                   .arg(QStringLiteral("~/.local/share/sorvik7")), QStringLiteral("folder")},
        {kBacklogLimit, QStringLiteral("Records kept in memory while the data folder does not take them, at least %1 "
                                       "(default %2); later ones are lost, and that is logged.")
                            .arg(DataFile::kMinBacklogLimit).arg(DataFile::kDefaultBacklogLimit), QStringLiteral("n")},
        {kConfig, QStringLiteral("Config file to read."), QStringLiteral("file")},
    });
    m_parser.addOptions(m_mqtt.options());
}

QString LoggerConfigReader::systemConfigPath()
{
    return QStringLiteral("/etc/") + kConfigName;
}

QString LoggerConfigReader::defaultDataDir()
{
    // systemd lists the unit's state directories, separated by colons.
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (!state.isEmpty())
        return state;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sorvik7");
}

bool LoggerConfigReader::read(const QStringList &arguments)
{
    if (!parseCommandLine(m_parser, arguments, &m_error))
        return false;
    return readFile() && takeDevice() && takeSamples() && takeDebug() && takeBacklogLimit() && takeMqtt()
        && takeDataDir();
}

std::optional<LoggerConfigReader::Setting> LoggerConfigReader::setting(const QString &key, bool fromFile) const
{
    if (m_parser.isSet(key))
        return Setting{m_parser.value(key), QStringLiteral("--") + key};
    if (fromFile && m_file.contains(key))
        return Setting{m_file.value(key), m_config.configFile};
    return std::nullopt;
}

bool LoggerConfigReader::fail(const QString &key, const Setting &setting, const QString &why)
{
    m_error = QStringLiteral("%1 = '%2' (from %3): %4").arg(key, setting.value, setting.from, why);
    return false;
}

bool LoggerConfigReader::readFile()
{
    const std::optional<Setting> given = setting(kConfig, false);
    ConfigFileRequest request;
    if (given) {
        request.explicitPath = given->value;
        request.explicitFrom = given->from;
    }
    request.configName = kConfigName;
    request.configKey = kConfig;
    request.keys = kFileKeys + m_mqtt.fileKeys();
    return readConfigFile(request, &m_config.configFile, &m_file, &m_error);
}

bool LoggerConfigReader::takeDevice()
{
    // The command line's choice of port replaces the file's, whichever key each used.
    const bool onCommandLine = m_parser.isSet(kPort) || m_parser.isSet(kCom);
    const auto port = setting(kPort, !onCommandLine);
    const auto com = setting(kCom, !onCommandLine);
    if (port && com)
        return fail(kCom, *com, QStringLiteral("give either port or com, not both (port = '%1' from %2)")
                                    .arg(port->value, port->from));
    if (port) {
        if (port->value.trimmed().isEmpty())
            return fail(kPort, *port, QStringLiteral("needs a device path"));
        m_config.device = port->value;
        return true;
    }
    if (!com) {
        m_error = QStringLiteral("port: missing; give --port DEVICE or --com N, or port= or com= in the config file");
        return false;
    }
    const auto n = parseInt(com->value, kMinCom, kMaxCom);
    if (!n)
        return fail(kCom, *com, QStringLiteral("must be a port number from %1 to %2").arg(kMinCom).arg(kMaxCom));
    m_config.comPort = *n;
    m_config.device = MSComm::deviceForPort(*n);
    return true;
}

bool LoggerConfigReader::takeSamples()
{
    const auto samples = setting(kSamples);
    if (!samples)
        return true;
    const auto n = parseInt(samples->value, sorvik7::kMinSampleNum, sorvik7::kMaxSampleNum);
    if (!n)
        return fail(kSamples, *samples, QStringLiteral("must be a whole number from %1 to %2")
                                            .arg(sorvik7::kMinSampleNum).arg(sorvik7::kMaxSampleNum));
    m_config.samples = *n;
    return true;
}

bool LoggerConfigReader::takeDebug()
{
    // As an option it is a switch; in the file it has a value.
    if (m_parser.isSet(kDebug)) {
        m_config.debug = true;
        return true;
    }
    const auto debug = setting(kDebug);
    if (!debug)
        return true;
    const auto on = parseBool(debug->value);
    if (!on)
        return fail(kDebug, *debug, QStringLiteral("must be true or false"));
    m_config.debug = *on;
    return true;
}

bool LoggerConfigReader::takeBacklogLimit()
{
    const auto limit = setting(kBacklogLimit);
    if (!limit)
        return true;
    const auto n = parseInt(limit->value, int(DataFile::kMinBacklogLimit), std::numeric_limits<int>::max());
    if (!n)
        return fail(kBacklogLimit, *limit, QStringLiteral("must be a whole number of records, at least %1")
                                               .arg(DataFile::kMinBacklogLimit));
    m_config.backlogLimit = *n;
    return true;
}

bool LoggerConfigReader::takeMqtt()
{
    const auto lookup = [this](const QString &key) -> std::optional<MqttOptions::Value> {
        if (const auto s = setting(key))
            return MqttOptions::Value{s->value, s->from};
        return std::nullopt;
    };
    if (!m_mqtt.take(lookup, &m_error))
        return false;
    m_config.mqtt = m_mqtt.settings();
    return true;
}

bool LoggerConfigReader::takeDataDir()
{
    const Setting dir = setting(kDir).value_or(Setting{defaultDataDir(), QStringLiteral("the default")});
    if (dir.value.trimmed().isEmpty())
        return fail(kDir, dir, QStringLiteral("needs a folder"));
    // A folder that cannot be made now (a disk not mounted yet, a parent
    // without permission) is no bad value: the service waits for it.
    const QString path = QFileInfo(dir.value).absoluteFilePath();
    QDir().mkpath(path);
    m_config.dataDir = QDir::cleanPath(path);
    return true;
}
