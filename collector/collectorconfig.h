#pragma once

#include "httpoptions.h"
#include "mqtt/mqttoptions.h"

#include <QCommandLineParser>
#include <QHash>
#include <QString>
#include <QStringList>

// What the collector runs with.
struct CollectorConfig
{
    MqttSettings mqtt;
    HttpSettings http;    // the fleet page; off unless asked for
    QString dir;          // absolute; it exists once the config has been read
    QString configFile;   // the file that was read; empty when none was
};

// Reads the command line and the config file, with the logger's rules: INI
// with the options' names as keys (mqtt-url, mqtt-ca, client-id, dir, http,
// and mqtt-username, mqtt-password, http-user and http-password, which only
// the file may give), read from
// --config, else from the user's config folder (sorvik7/collect.conf in
// it), else from /etc/sorvik7/collect.conf; an option overrides the file.
// Bad input gives one line naming the key and the value; the folder is made
// last, so nothing is made when any other value is bad.
class CollectorConfigReader
{
public:
    CollectorConfigReader();

    // False on bad input, with error() set. --help and --version print their
    // text and end the program here, with exit status 0.
    bool read(const QStringList &arguments);

    const CollectorConfig &config() const { return m_config; }
    QString error() const { return m_error; }

    static QString systemConfigPath();

private:
    std::optional<MqttOptions::Value> setting(const QString &key, bool fromFile = true) const;
    bool readFile();
    bool takeDir();
    bool fail(const QString &key, const MqttOptions::Value &v, const QString &why);

    QCommandLineParser m_parser;
    MqttOptions m_mqtt{MqttOptions::Program::Collector};
    HttpOptions m_http;
    QHash<QString, QString> m_file;
    CollectorConfig m_config;
    QString m_error;
};
