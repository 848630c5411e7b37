#pragma once

#include "collector/httpoptions.h"
#include "collector/stationboard.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

class HttpFront;

// The collector's read-only web side, on Qt's HTTP server behind an
// HttpFront:
//   /              the fleet page (HTML, CSS and JavaScript built into the
//                  program; it asks /api/stations every few seconds)
//   /api/stations  the stations as JSON (fleetreport.h)
//   /api/history   the last hours of their interval statistics, for the charts
//   /metrics       the same in Prometheus' text format
// Only GET and HEAD; any other path is 404, and no path reaches the file
// system. With a user and a password set, every request must carry them
// (basic authentication), /metrics included. Each answer closes its
// connection, so every request passes the front's bounds.
class FleetHttp : public QAbstractHttpServer
{
    Q_OBJECT

public:
    // Where the answers come from: the stations as they stand at a time, and
    // the collector's count of refused messages.
    struct Source
    {
        std::function<QList<StationView>(const QDateTime &now)> stations;
        std::function<quint64()> refusedMessages;
    };

    FleetHttp(const HttpSettings &settings, Source source, QObject *parent = nullptr);

    // False with `error` set when it cannot listen.
    bool listen(QString *error);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Reply
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
    };

    Reply reply(const QHttpServerRequest &request) const;
    bool authorized(const QHttpServerRequest &request) const;
    void send(const QHttpServerRequest &request, QTcpSocket *socket, const Reply &reply);

    HttpSettings m_settings;
    Source m_source;
    QByteArray m_credentials; // user:password, as basic authentication sends it
    QHash<QString, Reply> m_assets; // the page's files, by path
    HttpFront *m_front;
};
