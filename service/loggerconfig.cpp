#include "service/loggerconfig.h"

#include "common/nativepath.h"
#include "common/sorvik7_def.h"
#include "serial/mscomm.h"
#include "stats/intervalstats.h"

#include <QStandardPaths>

#include <limits>

namespace {

const QString kPort = QStringLiteral("port");
const QString kCom = QStringLiteral("com");
const QString kSamples = QStringLiteral("samples");
const QString kDebug = QStringLiteral("debug");
const QString kDir = QStringLiteral("dir");
const QString kBacklogLimit = QStringLiteral("backlog-limit");
const QString kTables = QStringLiteral("tables");
const QString kStatsMinutes = QStringLiteral("stats-minutes");
const QString kRaw = QStringLiteral("raw");
const QString kStats = QStringLiteral("stats");
const QString kNone = QStringLiteral("none");

constexpr int kMinCom = 1;
constexpr int kMaxCom = 255;

// The logger's options; each is also a key of the config file.
QList<Option> loggerOptions()
{
    return {
        {kPort, QStringLiteral("DEVICE"),
         QStringLiteral("Serial device to read, any path (/dev/ttyUSB0, /dev/serial/by-id/...)."), Option::Both},
        {kCom, QStringLiteral("N"),
         QStringLiteral("Serial port COMn, as in the window: /dev/ttyS<n-1>, or the device SORVIK7_COM<n> names."),
         Option::Both},
        {kSamples, QStringLiteral("N"), QStringLiteral("Averaging length N, 3 to 64 (default 10)."), Option::Both},
        {kDebug, {}, QStringLiteral("Records also carry the N individual speeds."), Option::Both},
        {kDir, QStringLiteral("FOLDER"),
         QStringLiteral("Data folder, made when missing, and waited for while it cannot be (default: the state "
                        "directory under systemd, else ~/.local/share/sorvik7)."),
         Option::Both},
        {kBacklogLimit, QStringLiteral("N"),
         QStringLiteral("Records kept in memory while the data folder does not take them, at least %1 (default %2); "
                        "later ones are lost, and that is logged.")
             .arg(DataFile::kMinBacklogLimit)
             .arg(DataFile::kDefaultBacklogLimit),
         Option::Both},
        {kTables, QStringLiteral("LIST"),
         QStringLiteral("Tables written beside the day files (UTC): raw (every message's speed, raw/YYYY-MM-DD.csv), "
                        "stats (interval statistics, stats/YYYY-MM-DD.csv), both as raw,stats (the default), or none."),
         Option::Both},
        {kStatsMinutes, QStringLiteral("M"),
         QStringLiteral(
             "Interval of the statistics in minutes: 1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30 or 60 (default 10)."),
         Option::Both},
    };
}

ProgramOptions::About about()
{
    return {
        QStringLiteral("sorvik7-logger"),
        QStringLiteral("[OPTION]..."),
        QStringLiteral("Records a SORVIK-7 wind sensor without a window: one record per message in the day file "
                       "yyyymmdd.SVK of the data folder, exactly as the window writes it; beside it every message's "
                       "speed and interval statistics in UTC (--tables). Runs as a systemd "
                       "service (Type=notify, watchdog) or from a shell; SIGTERM or SIGINT stops it between two "
                       "records.\n\nGive --port or --com, on the command line or in the config file; --port or "
                       "--com on the command line replaces both port and com of the file."),
        QStringLiteral("sorvik7/logger.conf"),
        QStringLiteral("Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot run, 2 for bad options or a bad "
                       "config file (nothing has been opened then)."),
    };
}

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
    : m_options(about(), loggerOptions())
{
    m_options.add(m_mqtt.options());
}

QString LoggerConfigReader::defaultDataDir()
{
    // systemd lists the unit's state directories, separated by colons.
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (!state.isEmpty())
        return state;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sorvik7");
}

ProgramOptions::Outcome LoggerConfigReader::read(const QStringList &arguments)
{
    const ProgramOptions::Outcome outcome = m_options.parse(arguments);
    if (outcome != ProgramOptions::Outcome::Run)
        return outcome;
    // The data folder is made last, so nothing is made when another value is bad.
    const bool ok = m_options.readConfig() && takeDevice() && takeSamples() && takeDebug() && takeBacklogLimit()
        && takeTables() && takeMqtt() && takeDataDir();
    m_config.configFile = m_options.configFile();
    return ok ? outcome : ProgramOptions::Outcome::Error;
}

bool LoggerConfigReader::takeDevice()
{
    // The command line's choice of port replaces the file's, whichever key each used.
    const bool onCommandLine = m_options.isSet(kPort) || m_options.isSet(kCom);
    const auto port = m_options.setting(kPort, !onCommandLine);
    const auto com = m_options.setting(kCom, !onCommandLine);
    if (port && com)
        return m_options.fail(
            kCom, *com,
            QStringLiteral("give either port or com, not both (port = '%1' from %2)").arg(port->value, port->from));
    if (port) {
        if (port->value.trimmed().isEmpty())
            return m_options.fail(kPort, *port, QStringLiteral("needs a device path"));
        m_config.device = port->value;
        return true;
    }
    if (!com) {
        m_options.setError(
            QStringLiteral("port: missing; give --port DEVICE or --com N, or port= or com= in the config file"));
        return false;
    }
    const auto n = parseInt(com->value, kMinCom, kMaxCom);
    if (!n)
        return m_options.fail(kCom, *com,
                              QStringLiteral("must be a port number from %1 to %2").arg(kMinCom).arg(kMaxCom));
    m_config.comPort = *n;
    m_config.device = MSComm::deviceForPort(*n);
    return true;
}

bool LoggerConfigReader::takeSamples()
{
    const auto samples = m_options.setting(kSamples);
    if (!samples)
        return true;
    const auto n = parseInt(samples->value, sorvik7::kMinSampleNum, sorvik7::kMaxSampleNum);
    if (!n)
        return m_options.fail(kSamples, *samples,
                              QStringLiteral("must be a whole number from %1 to %2")
                                  .arg(sorvik7::kMinSampleNum)
                                  .arg(sorvik7::kMaxSampleNum));
    m_config.samples = *n;
    return true;
}

bool LoggerConfigReader::takeDebug()
{
    // As an option it is a switch, set as "true"; in the file it has a value.
    const auto debug = m_options.setting(kDebug);
    if (!debug)
        return true;
    const auto on = parseBool(debug->value);
    if (!on)
        return m_options.fail(kDebug, *debug, QStringLiteral("must be true or false"));
    m_config.debug = *on;
    return true;
}

bool LoggerConfigReader::takeTables()
{
    if (const auto tables = m_options.setting(kTables)) {
        const QString problem = QStringLiteral("must be raw, stats, raw,stats or none");
        const QStringList names = tables->value.split(u',', Qt::SkipEmptyParts);
        if (names.isEmpty())
            return m_options.fail(kTables, *tables, problem);
        m_config.rawTable = m_config.statsTable = false;
        for (const QString &raw : names) {
            const QString name = raw.trimmed().toLower();
            if (name == kRaw)
                m_config.rawTable = true;
            else if (name == kStats)
                m_config.statsTable = true;
            else if (name != kNone || names.size() > 1)
                return m_options.fail(kTables, *tables, problem);
        }
    }
    if (const auto minutes = m_options.setting(kStatsMinutes)) {
        const auto n = parseInt(minutes->value, 1, 60);
        if (!n || !IntervalStats::isValidMinutes(*n))
            return m_options.fail(kStatsMinutes, *minutes,
                                  QStringLiteral("must be a whole number of minutes that divides 60 (1, 2, 3, 4, 5, "
                                                 "6, 10, 12, 15, 20, 30 or 60)"));
        m_config.statsMinutes = *n;
    }
    return true;
}

bool LoggerConfigReader::takeBacklogLimit()
{
    const auto limit = m_options.setting(kBacklogLimit);
    if (!limit)
        return true;
    const auto n = parseInt(limit->value, int(DataFile::kMinBacklogLimit), std::numeric_limits<int>::max());
    if (!n)
        return m_options.fail(
            kBacklogLimit, *limit,
            QStringLiteral("must be a whole number of records, at least %1").arg(DataFile::kMinBacklogLimit));
    m_config.backlogLimit = *n;
    return true;
}

bool LoggerConfigReader::takeMqtt()
{
    const auto lookup = [this](const QString &key) { return m_options.setting(key); };
    QString error;
    if (!m_mqtt.take(lookup, &error)) {
        m_options.setError(error);
        return false;
    }
    m_config.mqtt = m_mqtt.settings();
    return true;
}

bool LoggerConfigReader::takeDataDir()
{
    const Setting dir = m_options.setting(kDir).value_or(Setting{defaultDataDir(), QStringLiteral("the default")});
    if (dir.value.trimmed().isEmpty())
        return m_options.fail(kDir, dir, QStringLiteral("needs a folder"));
    // A folder that cannot be made now (a disk not mounted yet, a parent
    // without permission) is no bad value: the service waits for it.
    makePath(dir.value);
    m_config.dataDir = nativepath::absolute(dir.value);
    return true;
}
