#pragma once

#include "daemon/options.h"
#include "mqtt/mqttoptions.h"

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

// Where the collector serves its fleet page, and who may read it.
struct HttpSettings
{
    QHostAddress address; // null: no HTTP
    quint16 port = 0;
    QString user; // empty: no login asked
    QString password;

    bool enabled() const { return !address.isNull(); }
    // "http://127.0.0.1:8080/, user ops" for the start line of the log.
    QString describe() const;
};

// The collector's HTTP option and keys, read with the programs' rules:
// --http [ADDR:]PORT / http= turns it on (ADDR an IP address, [::1] style
// for IPv6, or * for every interface; 127.0.0.1 when left out, so nothing
// is served beyond the machine unless asked); http-user and http-password, from the config file
// only, ask every client for that login (HTTP basic authentication).
class HttpOptions
{
public:
    // The lines of the collector's option table.
    QList<Option> options() const;
    bool take(const MqttOptions::Lookup &lookup, QString *error);
    const HttpSettings &settings() const { return m_settings; }

private:
    bool takeAddress(const MqttOptions::Value &v, QString *error);

    HttpSettings m_settings;
};
