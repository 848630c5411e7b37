#pragma once

#include "daemon/options.h"
#include "datafile/datafile.h"
#include "mqtt/mqttoptions.h"

#include <QString>
#include <QStringList>

// What the service runs with.
struct LoggerConfig
{
    QString device; // the serial device, used as given (a by-id link stays a link)
    int comPort = 0; // n when the device was chosen as COMn; 0 for a device path
    int samples = 10; // N, the averaging length
    bool debug = false; // records also carry the N speeds
    QString dataDir; // absolute; made when the config is read if it can be (else waited for)
    qsizetype backlogLimit = DataFile::kDefaultBacklogLimit; // records kept while the folder refuses them
    QString configFile; // the file that was read; empty when none was
    MqttSettings mqtt; // publishing over MQTT; off without mqtt-url
    bool rawTable = true; // raw/YYYY-MM-DD.csv: every message's speed, UTC
    bool statsTable = true; // stats/YYYY-MM-DD.csv: interval statistics
    int statsMinutes = 10; // the statistics' interval, minutes; divides 60

    // How reports name the port: "Com<n>" as the window does, or the device path.
    QString portName() const;
};

// Reads the command line and the config file into a LoggerConfig.
//
// The config file is INI with the options' names as keys (port, com,
// samples, debug, dir, backlog-limit, tables, stats-minutes, and the MQTT keys of MqttOptions), read from --config,
// else from the user's config folder (sorvik7/logger.conf in it), else from /etc/sorvik7/logger.conf; a key given as an
// option overrides the file. --port or --com given on the command line replaces both port and com of the file.
//
// Bad input (an unknown option or key, a value out of range, no port or
// two, an empty folder name) gives one line naming the key and the value.
// The data folder is made last, so nothing is created when any other value
// is bad; a folder that cannot be made yet is not bad input (the service
// waits for it).
class LoggerConfigReader
{
public:
    LoggerConfigReader();

    // Run when the program may go on; Help and Version for the program to
    // answer (ProgramOptions::answer); Error with error() set.
    ProgramOptions::Outcome read(const QStringList &arguments);

    const LoggerConfig &config() const { return m_config; }
    QString error() const { return m_options.error(); }
    const ProgramOptions &options() const { return m_options; }

    // The data folder when none is given: the service's state directory
    // under systemd (StateDirectory=), else sorvik7 in the user's data folder.
    static QString defaultDataDir();

private:
    bool takeDevice();
    bool takeSamples();
    bool takeDebug();
    bool takeBacklogLimit();
    bool takeDataDir();
    bool takeTables();
    bool takeMqtt();

    ProgramOptions m_options;
    LoggerConfig m_config;
    MqttOptions m_mqtt{MqttOptions::Program::Logger};
};
