#include "collector/fleethttp.h"

#include "collector/fleetreport.h"
#include "collector/httpfront.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>

namespace {

using Status = QHttpServerResponder::StatusCode;
constexpr int kOk = 200;
constexpr int kUnauthorized = 401;
constexpr int kNotFound = 404;
constexpr int kMethodNotAllowed = 405;

const QByteArray kText = "text/plain; charset=utf-8";
const QByteArray kJson = "application/json";
const QByteArray kMetrics = "text/plain; version=0.0.4; charset=utf-8";
// The page loads its own script and style only, and asks only its own server.
const QByteArray kPagePolicy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                               "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The page's files, built into the program (fleetpage/, a Qt resource).
struct Asset
{
    const char *path;
    const char *resource;
    const char *type;
};
constexpr Asset kAssets[] = {
    {"/", ":/fleetpage/index.html", "text/html; charset=utf-8"},
    {"/fleet.css", ":/fleetpage/fleet.css", "text/css; charset=utf-8"},
    {"/fleet.js", ":/fleetpage/fleet.js", "text/javascript; charset=utf-8"},
};

// Compares without stopping at the first difference, so the time taken does
// not tell how much of a guess was right.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

FleetHttp::FleetHttp(const HttpSettings &settings, Source source, QObject *parent)
    : QAbstractHttpServer(parent),
      m_settings(settings),
      m_source(std::move(source)),
      m_front(new HttpFront(this))
{
    if (!settings.user.isEmpty())
        m_credentials = (settings.user + u':' + settings.password).toUtf8();
    for (const Asset &asset : kAssets) {
        QFile file(QLatin1StringView(asset.resource));
        if (file.open(QIODevice::ReadOnly))
            m_assets.insert(QLatin1StringView(asset.path), Reply{kOk, asset.type, file.readAll()});
    }
}

bool FleetHttp::listen(QString *error)
{
    if (!m_front->listen(m_settings.address, m_settings.port)) {
        *error = QStringLiteral("cannot serve HTTP on %1: %2").arg(m_settings.describe(), m_front->errorString());
        return false;
    }
    bind(m_front);
    return true;
}

bool FleetHttp::authorized(const QHttpServerRequest &request) const
{
    if (m_credentials.isEmpty())
        return true;
    const QByteArray value = request.value("authorization").trimmed();
    const qsizetype space = value.indexOf(' ');
    if (space < 0 || value.left(space).toLower() != "basic")
        return false;
    return sameBytes(QByteArray::fromBase64(value.mid(space + 1).trimmed()), m_credentials);
}

FleetHttp::Reply FleetHttp::reply(const QHttpServerRequest &request) const
{
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head)
        return {kMethodNotAllowed, kText, "405 Method Not Allowed\n"};
    if (!authorized(request))
        return {kUnauthorized, kText, "401 Unauthorized\n"};
    const QString path = request.url().path();
    if (path == u"/api/stations") {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        return {kOk, kJson, stationsJson(m_source.stations(now), now)};
    }
    if (path == u"/api/history")
        return {kOk, kJson, historyJson(m_source.stations(QDateTime::currentDateTimeUtc()))};
    if (path == u"/metrics")
        return {kOk, kMetrics,
                metricsText(m_source.stations(QDateTime::currentDateTimeUtc()), m_source.refusedMessages())};
    return m_assets.value(path, Reply{kNotFound, kText, "404 Not Found\n"});
}

void FleetHttp::send(const QHttpServerRequest &request, QTcpSocket *socket, const Reply &r)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(Status(r.status));
    responder.writeHeader("Content-Type", r.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(r.body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    responder.writeHeader("Content-Security-Policy", kPagePolicy);
    responder.writeHeader("Connection", "close");
    if (r.status == kMethodNotAllowed)
        responder.writeHeader("Allow", "GET, HEAD");
    if (r.status == kUnauthorized)
        responder.writeHeader("WWW-Authenticate", "Basic realm=\"sorvik7-collect\", charset=\"UTF-8\"");
    responder.writeBody(request.method() == QHttpServerRequest::Method::Head ? QByteArray() : r.body);
}

bool FleetHttp::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    send(request, socket, reply(request));
    socket->disconnectFromHost();
    return true;
}

void FleetHttp::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    send(request, socket, {kNotFound, kText, "404 Not Found\n"});
    socket->disconnectFromHost();
}
