#include "mqtturl.h"

#include <QUrl>

namespace {

constexpr int kMaxPort = 65535;

std::optional<MqttUrl> refuse(QString *why, const QString &text)
{
    *why = text;
    return std::nullopt;
}

} // namespace

QString MqttUrl::text() const
{
    const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
    return QStringLiteral("%1://%2:%3")
        .arg(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"), shownHost)
        .arg(port);
}

std::optional<MqttUrl> MqttUrl::parse(const QString &text, QString *why)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != u"mqtt" && scheme != u"mqtts"))
        return refuse(why, QStringLiteral("must be mqtt://host[:port] or mqtts://host[:port]"));
    if (!url.userInfo().isEmpty())
        return refuse(why,
                      QStringLiteral("no user name or password in the URL: give mqtt-username and "
                                     "mqtt-password in the config file"));
    if (url.host().isEmpty())
        return refuse(why, QStringLiteral("names no host"));
    if ((!url.path().isEmpty() && url.path() != u"/") || url.hasQuery() || url.hasFragment())
        return refuse(why, QStringLiteral("must be mqtt://host[:port] or mqtts://host[:port], nothing after the port"));
    MqttUrl result;
    result.tls = scheme == u"mqtts";
    result.host = url.host();
    result.port = url.port(result.tls ? kTlsPort : kPlainPort);
    if (result.port < 1 || result.port > kMaxPort)
        return refuse(why, QStringLiteral("port must be 1 to %1").arg(kMaxPort));
    return result;
}
