#include "collector/httpoptions.h"

namespace {

const QString kHttp = QStringLiteral("http");
const QString kUser = QStringLiteral("http-user");
const QString kPassword = QStringLiteral("http-password");
constexpr quint16 kHighestPort = 65535;

bool fail(QString *error, const QString &key, const MqttOptions::Value &v, const QString &why)
{
    *error = QStringLiteral("%1 = '%2' (from %3): %4").arg(key, v.value, v.from, why);
    return false;
}

} // namespace

QString HttpSettings::describe() const
{
    if (!enabled())
        return QStringLiteral("off");
    const QString host = address == QHostAddress::Any         ? QStringLiteral("*")
        : address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                              : address.toString();
    QString text = QStringLiteral("http://%1:%2/").arg(host).arg(port);
    if (!user.isEmpty())
        text += QStringLiteral(", user %1").arg(user);
    return text;
}

QList<Option> HttpOptions::options() const
{
    return {
        {kHttp, QStringLiteral("[ADDR:]PORT"),
         QStringLiteral("Serve the fleet page, /api/stations and /metrics there (ADDR an IP address or * for every "
                        "interface, 127.0.0.1 when left out; default: off)."),
         Option::Both},
        {kUser, QStringLiteral("NAME"), QStringLiteral("Login every HTTP client must give (basic authentication)."),
         Option::ConfigFile},
        {kPassword, QStringLiteral("PASSWORD"), QStringLiteral("Password of that login."), Option::ConfigFile},
    };
}

bool HttpOptions::take(const MqttOptions::Lookup &lookup, QString *error)
{
    m_settings = {};
    const auto http = lookup(kHttp);
    const auto user = lookup(kUser);
    const auto password = lookup(kPassword);
    if (!http) {
        if (user)
            return fail(error, kUser, *user, QStringLiteral("needs http"));
        if (password)
            return fail(error, kPassword, {QStringLiteral("***"), password->from}, QStringLiteral("needs http"));
        return true;
    }
    if (!takeAddress(*http, error))
        return false;
    if (user.has_value() != password.has_value()) {
        const auto &given = user ? MqttOptions::Value{user->value, user->from}
                                 : MqttOptions::Value{QStringLiteral("***"), password->from};
        return fail(error, user ? kUser : kPassword, given,
                    QStringLiteral("needs %1 as well").arg(user ? kPassword : kUser));
    }
    if (user && (user->value.isEmpty() || user->value.contains(u':')))
        return fail(error, kUser, *user, QStringLiteral("must not be empty nor hold a ':'"));
    if (password && password->value.isEmpty())
        return fail(error, kPassword, {QStringLiteral("***"), password->from}, QStringLiteral("must not be empty"));
    m_settings.user = user ? user->value : QString();
    m_settings.password = password ? password->value : QString();
    return true;
}

bool HttpOptions::takeAddress(const MqttOptions::Value &v, QString *error)
{
    const QString text = v.value.trimmed();
    QString host = QStringLiteral("127.0.0.1");
    QString port = text;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(QStringLiteral("]:"));
        if (close < 0)
            return fail(error, kHttp, v,
                        QStringLiteral("an IPv6 address goes in brackets before the port: [::1]:8080"));
        host = text.mid(1, close - 1);
        port = text.mid(close + 2);
    } else if (text.count(u':') > 1) {
        return fail(error, kHttp, v, QStringLiteral("an IPv6 address goes in brackets before the port: [::1]:8080"));
    } else if (text.contains(u':')) {
        host = text.section(u':', 0, 0);
        port = text.section(u':', 1);
    }
    bool number = false;
    const uint portNumber = port.toUInt(&number);
    if (!number || portNumber == 0 || portNumber > kHighestPort)
        return fail(error, kHttp, v, QStringLiteral("expected [ADDR:]PORT with a port from 1 to %1").arg(kHighestPort));
    QHostAddress address(QHostAddress::Any);
    if (host != u"*" && !address.setAddress(host))
        return fail(error, kHttp, v, QStringLiteral("'%1' is not an IP address (* for every interface)").arg(host));
    m_settings.address = address;
    m_settings.port = quint16(portNumber);
    return true;
}
