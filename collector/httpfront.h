#pragma once

#include <QByteArrayView>
#include <QTcpServer>

class QTcpSocket;

// The listening end of the collector's HTTP server, in front of Qt's
// (QAbstractHttpServer of Qt 6.4). Qt's server reads a request whole into
// memory with no bound on its size nor on how long it takes, parses a
// header value that comes in two pieces as its last piece only, gives no
// answer to a request it cannot parse (and leaves that connection open),
// and serves any method with whatever the handler writes. So the front:
//  - holds each new connection until its request head (the request line
//    and the headers, up to the blank line) is in: at most kMaxHead bytes
//    (the socket's read buffer is bounded to that, so a client sending more
//    waits on TCP's flow control) within kHeadTimeoutMs;
//  - passes on only a well-formed GET or HEAD head with nothing after it:
//    another method gets 405, a head that announces a body or is followed
//    by more bytes 400, a request line longer than kMaxHead 414, a larger
//    head 431, a head that does not come in time 408. It answers those
//    itself, then reads and drops what the client still sends for a moment
//    before it closes, so the client sees the answer rather than a reset;
//  - keeps at most kMaxConnections at once (503 beyond that; beyond twice
//    that a connection is closed unanswered) and ends every connection
//    kLifetimeMs after its head, whatever state it is in.
// The handler behind it answers one request per connection and closes it,
// so every request passes the front. All of it runs on the collector's
// event loop without blocking: a slow client holds nothing but its socket.
class HttpFront : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr qsizetype kMaxHead = 8 * 1024;
    static constexpr int kHeadTimeoutMs = 10000;
    static constexpr int kLifetimeMs = 30000;
    static constexpr int kLingerMs = 2000;
    static constexpr int kMaxConnections = 32;

    explicit HttpFront(QObject *parent = nullptr)
        : QTcpServer(parent)
    {
    }

    // The status a complete head (its blank line included) is refused with,
    // or 0 when it may pass.
    static int refusal(QByteArrayView head);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    class Connection;

    void look(Connection *connection);
    void pass(Connection *connection);
    void refuse(Connection *connection, int status);
    void expired(Connection *connection);

    int m_connections = 0;
};
