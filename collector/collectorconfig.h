#pragma once

#include "collector/httpoptions.h"
#include "collector/stationboard.h"
#include "daemon/options.h"
#include "mqtt/mqttoptions.h"

#include <QString>
#include <QStringList>

// What the collector runs with.
struct CollectorConfig
{
    MqttSettings mqtt;
    HttpSettings http; // the fleet page; off unless asked for
    QString dir; // absolute; it exists once the config has been read
    QString configFile; // the file that was read; empty when none was
    int silenceAlarmMs =
        StationBoard::kDefaultSilenceAlarmMs; // an online station without records this long is warned about
    int newStationsPerMinute = 20; // stations not seen before taken in a minute, at most
};

// Reads the command line and the config file, with the logger's rules: the
// options' names are the keys (mqtt-url, mqtt-ca, client-id, dir, http, and
// mqtt-username, mqtt-password, http-user and http-password, which only the
// file may give), read from
// --config, else from the user's config folder (sorvik7/collect.conf in
// it), else from /etc/sorvik7/collect.conf; an option overrides the file.
// Bad input gives one line naming the key and the value; the folder is made
// last, so nothing is made when any other value is bad.
class CollectorConfigReader
{
public:
    CollectorConfigReader();

    // Run when the program may go on; Help and Version for the program to
    // answer (ProgramOptions::answer); Error with error() set.
    ProgramOptions::Outcome read(const QStringList &arguments);

    const CollectorConfig &config() const { return m_config; }
    QString error() const { return m_options.error(); }
    const ProgramOptions &options() const { return m_options; }

private:
    bool takeMqtt();
    bool takeLimits();
    bool takeHttp();

    ProgramOptions m_options;
    MqttOptions m_mqtt{MqttOptions::Program::Collector};
    HttpOptions m_http;
    CollectorConfig m_config;
};
