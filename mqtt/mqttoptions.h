#pragma once

#include "daemon/options.h"
#include "mqtt/mqtturl.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// What a program needs to reach the broker.
struct MqttSettings
{
    std::optional<MqttUrl> url; // nothing: MQTT is off
    QString caFile; // mqtts: the CA that signed the broker's certificate; empty: the system's CAs
    QString username; // empty: anonymous
    QString password;
    QString station; // the logger: the name it publishes under
    QString clientId; // the collector: the fixed client id of its persistent session

    bool enabled() const { return url.has_value(); }
    // "mqtt://host:1883, station mast1" for the start line of the log (no password).
    QString describe() const;
};

// The MQTT options and config keys that the logger and the collector share,
// read with the programs' rules: an option overrides the config file's key
// of the same name, and bad input gives one line naming the key and the
// value. The keys are mqtt-url, mqtt-ca, mqtt-username, mqtt-password and
// station (logger) or client-id (collector). The user name and the password
// are taken from the config file only: given as options they are refused,
// since everyone on the machine can read a command line.
class MqttOptions
{
public:
    enum class Program { Logger, Collector };

    // A key's value and where it came from ("--mqtt-url", or the file's path).
    using Value = Setting;
    using Lookup = std::function<std::optional<Value>(const QString &key)>;

    explicit MqttOptions(Program program)
        : m_program(program)
    {
    }

    // The lines of the programs' option tables.
    QList<Option> options() const;
    // False with `error` set when a value is bad.
    bool take(const Lookup &lookup, QString *error);
    const MqttSettings &settings() const { return m_settings; }

    static QString defaultStation();
    static QString defaultClientId();

private:
    QString nameKey() const;
    bool takeUrl(const Lookup &lookup, QString *error);
    bool takeCa(const Lookup &lookup, QString *error);
    bool takeLogin(const Lookup &lookup, QString *error);
    bool takeName(const Lookup &lookup, QString *error);

    Program m_program;
    MqttSettings m_settings;
};
