#pragma once

#include <QString>

#include <optional>

// Where the broker is: mqtt://host[:port] (plain TCP, port 1883 unless
// given) or mqtts://host[:port] (TLS, port 8883). The host is a name, an
// IPv4 address or an IPv6 address in brackets. A user name and password
// never go into the URL: they are kept in the config file, where other
// users cannot read them off the command line.
struct MqttUrl
{
    static constexpr int kPlainPort = 1883;
    static constexpr int kTlsPort = 8883;

    bool tls = false;
    QString host;
    int port = kPlainPort;

    // The URL in its usual form, for reports.
    QString text() const;

    // Nothing, with `why` set, when the text is not such a URL.
    static std::optional<MqttUrl> parse(const QString &text, QString *why);
};
