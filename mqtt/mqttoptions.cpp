#include "mqtt/mqttoptions.h"

#include "common/nativepath.h"
#include "mqtt/fleet.h"

#include <QRegularExpression>
#include <QSysInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kUrl = QStringLiteral("mqtt-url");
const QString kCa = QStringLiteral("mqtt-ca");
const QString kUsername = QStringLiteral("mqtt-username");
const QString kPassword = QStringLiteral("mqtt-password");
const QString kStation = QStringLiteral("station");
const QString kClientId = QStringLiteral("client-id");
constexpr qsizetype kMaxClientIdBytes = 100;

bool fail(QString *error, const QString &key, const MqttOptions::Value &v, const QString &why)
{
    *error = QStringLiteral("%1 = '%2' (from %3): %4")
                 .arg(key, nativepath::display(v.value), nativepath::display(v.from), why);
    return false;
}

} // namespace

QString MqttSettings::describe() const
{
    if (!url)
        return QStringLiteral("off");
    QString text = url->text();
    if (!station.isEmpty())
        text += QStringLiteral(", station %1").arg(station);
    if (!clientId.isEmpty())
        text += QStringLiteral(", client id %1").arg(clientId);
    if (!username.isEmpty())
        text += QStringLiteral(", user %1").arg(username);
    if (url->tls)
        text += QStringLiteral(", CA %1").arg(caFile.isEmpty() ? QStringLiteral("the system's")
                                                               : nativepath::display(caFile));
    return text;
}

QString MqttOptions::nameKey() const
{
    return m_program == Program::Logger ? kStation : kClientId;
}

QString MqttOptions::defaultStation()
{
    return QSysInfo::machineHostName();
}

QString MqttOptions::defaultClientId()
{
    return QStringLiteral("sorvik7-collect-") + QSysInfo::machineHostName();
}

QList<Option> MqttOptions::options() const
{
    QList<Option> list{
        {kUrl, QStringLiteral("URL"),
         QStringLiteral("MQTT broker, mqtt://host[:port] or mqtts://host[:port] (default: MQTT off)."), Option::Both},
        {kCa, QStringLiteral("FILE"),
         QStringLiteral(
             "With mqtts://: the CA certificate (PEM) that signed the broker's (default: the system's CAs)."),
         Option::Both},
    };
    if (m_program == Program::Logger)
        list.append({kStation, QStringLiteral("NAME"),
                     QStringLiteral("Name to publish under, sorvik7/<name>/... (default: the host name)."),
                     Option::Both});
    else
        list.append(
            {kClientId, QStringLiteral("ID"),
             QStringLiteral("Client id of the collector's persistent session (default: %1).").arg(defaultClientId()),
             Option::Both});
    // Everyone on the machine can read a command line.
    list.append({kUsername, QStringLiteral("NAME"), QStringLiteral("Login at the broker."), Option::ConfigFile});
    list.append({kPassword, QStringLiteral("PASSWORD"), QStringLiteral("Password of that login."), Option::ConfigFile});
    return list;
}

bool MqttOptions::take(const Lookup &lookup, QString *error)
{
    m_settings = {};
    if (!takeUrl(lookup, error))
        return false;
    if (!m_settings.url) {
        // Without a broker, any other MQTT key is a mistake worth hearing about.
        for (const QString &key : {kCa, kUsername, kPassword, nameKey()}) {
            if (const auto v = lookup(key))
                return fail(error, key, key == kPassword ? Value{QStringLiteral("***"), v->from} : *v,
                            QStringLiteral("needs mqtt-url"));
        }
        return true;
    }
    return takeCa(lookup, error) && takeLogin(lookup, error) && takeName(lookup, error);
}

bool MqttOptions::takeUrl(const Lookup &lookup, QString *error)
{
    const auto v = lookup(kUrl);
    if (!v)
        return true;
    QString why;
    m_settings.url = MqttUrl::parse(v->value, &why);
    // A password put into the URL by mistake stays out of the log.
    static const QRegularExpression userInfo(QStringLiteral("//[^/]*@"));
    return m_settings.url
        || fail(error, kUrl, {QString(v->value).replace(userInfo, QStringLiteral("//***@")), v->from}, why);
}

bool MqttOptions::takeCa(const Lookup &lookup, QString *error)
{
    const auto v = lookup(kCa);
    if (!v)
        return true;
    if (!m_settings.url->tls)
        return fail(error, kCa, *v, QStringLiteral("only goes with an mqtts:// URL"));
    // Looked up by its own bytes: the TLS library gets the same.
    struct stat st = {};
    if (!nativepath::stat(v->value, st))
        return fail(error, kCa, *v, QStringLiteral("no such file"));
    if (!S_ISREG(st.st_mode) || ::access(nativepath::encode(v->value).constData(), R_OK) != 0)
        return fail(error, kCa, *v, QStringLiteral("not a readable file"));
    m_settings.caFile = nativepath::absolute(v->value);
    return true;
}

bool MqttOptions::takeLogin(const Lookup &lookup, QString *error)
{
    const auto user = lookup(kUsername);
    const auto password = lookup(kPassword);
    if (password && !user)
        return fail(error, kPassword, {QStringLiteral("***"), password->from}, QStringLiteral("needs mqtt-username"));
    if (user && user->value.isEmpty())
        return fail(error, kUsername, *user, QStringLiteral("must not be empty"));
    m_settings.username = user ? user->value : QString();
    m_settings.password = password ? password->value : QString();
    return true;
}

bool MqttOptions::takeName(const Lookup &lookup, QString *error)
{
    const bool logger = m_program == Program::Logger;
    const Value v = lookup(nameKey()).value_or(
        Value{logger ? defaultStation() : defaultClientId(), QStringLiteral("the host name")});
    if (logger) {
        const QString problem = fleet::stationNameProblem(v.value);
        if (!problem.isEmpty())
            return fail(error, kStation, v, QStringLiteral("a station name %1").arg(problem));
        m_settings.station = v.value;
        return true;
    }
    const bool control =
        std::any_of(v.value.cbegin(), v.value.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
    if (v.value.isEmpty() || v.value.toUtf8().size() > kMaxClientIdBytes || control)
        return fail(error, kClientId, v,
                    QStringLiteral("must be 1 to %1 bytes without control characters").arg(kMaxClientIdBytes));
    m_settings.clientId = v.value;
    return true;
}
