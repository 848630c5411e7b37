#include "collector/httpfront.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kOk = 0;
constexpr int kBadRequest = 400;
constexpr int kMethodNotAllowed = 405;
constexpr int kRequestTimeout = 408;
constexpr int kUriTooLong = 414;
constexpr int kHeaderFieldsTooLarge = 431;
constexpr int kServiceUnavailable = 503;
constexpr QByteArrayView kLineEnd("\r\n");
constexpr QByteArrayView kHeadEnd("\r\n\r\n");

QByteArray reason(int status)
{
    switch (status) {
    case kBadRequest:
        return "Bad Request";
    case kMethodNotAllowed:
        return "Method Not Allowed";
    case kRequestTimeout:
        return "Request Timeout";
    case kUriTooLong:
        return "URI Too Long";
    case kHeaderFieldsTooLarge:
        return "Request Header Fields Too Large";
    case kServiceUnavailable:
        return "Service Unavailable";
    }
    return "Error";
}

QByteArray answer(int status)
{
    const QByteArray text = QByteArray::number(status) + ' ' + reason(status);
    const QByteArray body = text + '\n';
    QByteArray out = "HTTP/1.1 " + text + "\r\n";
    if (status == kMethodNotAllowed)
        out += "Allow: GET, HEAD\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
    return out;
}

} // namespace

// Counts the connection while its socket lives and ends it at its deadline;
// a child of the socket, so it goes with it however the socket goes.
class HttpFront::Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, HttpFront *front)
        : QObject(socket),
          m_socket(socket),
          m_front(front)
    {
        ++m_front->m_connections;
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, [this] {
            if (m_front)
                m_front->expired(this);
        });
    }
    ~Connection() override
    {
        if (m_front)
            --m_front->m_connections;
    }
    void endIn(int ms) { m_deadline.start(ms); }
    QTcpSocket *socket() const { return m_socket; }

    bool waitingForHead = true;

private:
    QTcpSocket *m_socket;
    QPointer<HttpFront> m_front;
    QTimer m_deadline;
};

int HttpFront::refusal(QByteArrayView head)
{
    // Tokens and field values as HTTP/1.1 spells them; no line folding, a
    // target in origin form.
    static const QRegularExpression requestLine(
        QStringLiteral("^([!#$%&'*+.^_`|~0-9A-Za-z-]+) (/[!-~]*) HTTP/1\\.[01]$"));
    static const QRegularExpression headerLine(
        QStringLiteral("^([!#$%&'*+.^_`|~0-9A-Za-z-]+):[\\t -~\\x{80}-\\x{ff}]*$"));
    const QStringList lines = QString::fromLatin1(head.chopped(kHeadEnd.size())).split(QStringLiteral("\r\n"));
    const auto match = requestLine.match(lines.first());
    if (!match.hasMatch())
        return kBadRequest;
    if (match.capturedView(1) != u"GET" && match.capturedView(1) != u"HEAD")
        return kMethodNotAllowed;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString &line = lines[i];
        const auto header = headerLine.match(line);
        if (!header.hasMatch())
            return kBadRequest;
        const QString name = header.captured(1).toLower();
        const QString value = line.section(u':', 1).trimmed();
        // A GET or a HEAD carries no body.
        if (name == u"transfer-encoding" || (name == u"content-length" && value != u"0"))
            return kBadRequest;
    }
    return kOk;
}

void HttpFront::incomingConnection(qintptr descriptor)
{
    if (m_connections >= 2 * kMaxConnections) {
        ::close(int(descriptor));
        return;
    }
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    socket->setReadBufferSize(kMaxHead);
    auto *connection = new Connection(socket, this);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    if (m_connections > kMaxConnections) {
        refuse(connection, kServiceUnavailable);
        return;
    }
    connect(socket, &QIODevice::readyRead, connection, [this, connection] { look(connection); });
    connection->endIn(kHeadTimeoutMs);
}

void HttpFront::look(Connection *connection)
{
    QTcpSocket *socket = connection->socket();
    const QByteArray seen = socket->peek(kMaxHead);
    const qsizetype end = seen.indexOf(kHeadEnd);
    if (end < 0) {
        if (seen.size() >= kMaxHead)
            refuse(connection, seen.contains(kLineEnd) ? kHeaderFieldsTooLarge : kUriTooLong);
        return;
    }
    const qsizetype headSize = end + kHeadEnd.size();
    if (const int status = refusal(QByteArrayView(seen).first(headSize)))
        refuse(connection, status);
    else if (socket->bytesAvailable() > headSize)
        refuse(connection, kBadRequest);
    else
        pass(connection);
}

void HttpFront::pass(Connection *connection)
{
    QTcpSocket *socket = connection->socket();
    disconnect(socket, &QIODevice::readyRead, connection, nullptr);
    connection->waitingForHead = false;
    connection->endIn(kLifetimeMs);
    addPendingConnection(socket);
    emit newConnection();
    // Qt's server reads when the socket says so, and the head is in the
    // socket's buffer already: say it once more, as Qt's own server does
    // when it hands a socket on.
    emit socket->readyRead();
    // The handler answers and closes at once; a socket still open was not
    // answered (Qt's parser refused the head).
    if (socket->state() == QAbstractSocket::ConnectedState)
        refuse(connection, kBadRequest);
}

void HttpFront::refuse(Connection *connection, int status)
{
    QTcpSocket *socket = connection->socket();
    disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    connection->waitingForHead = false;
    connection->endIn(kLingerMs);
    // What the client still sends is read and dropped until it closes or
    // the deadline comes; the answer is followed by the end of our side.
    connect(socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
    connect(socket, &QIODevice::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    });
    socket->write(answer(status));
    socket->skip(socket->bytesAvailable());
}

void HttpFront::expired(Connection *connection)
{
    if (connection->waitingForHead) {
        refuse(connection, kRequestTimeout);
        return;
    }
    QTcpSocket *socket = connection->socket();
    socket->abort();
    socket->deleteLater();
}
