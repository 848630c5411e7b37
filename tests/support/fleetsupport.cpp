#include "tests/support/fleetsupport.h"

#include "tests/support/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kStartMs = 10000;
constexpr int kPollMs = 50;
const QString kBroker = QStringLiteral("/usr/sbin/mosquitto");

sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(quint16(port));
    return addr;
}

bool takesConnections(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

QStringList dayFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("????????.SVK")}, QDir::Files, QDir::Name);
}

} // namespace

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    socklen_t size = sizeof addr;
    ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size);
    ::close(fd);
    return ntohs(addr.sin_port);
}

TestBroker::TestBroker(const QString &folder, const QString &tlsFolder)
    : m_folder(folder),
      m_tlsFolder(tlsFolder),
      m_port(freePort())
{
    QByteArray config = "listener " + QByteArray::number(m_port)
        + " 127.0.0.1\n"
          "allow_anonymous true\npersistence false\nmax_queued_messages 0\n"
          "log_dest stderr\nlog_type error\nlog_type warning\n";
    // Started by root it would become the user mosquitto, who cannot read
    // the test's files.
    if (::geteuid() == 0)
        config += "user root\n";
    if (!tlsFolder.isEmpty())
        config += "cafile " + QFile::encodeName(tlsFolder + "/ca.crt") + "\ncertfile "
            + QFile::encodeName(tlsFolder + "/server.crt") + "\nkeyfile " + QFile::encodeName(tlsFolder + "/server.key")
            + "\n";
    QFile file(m_folder + QStringLiteral("/broker.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
        qFatal("cannot write the broker's config");
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    endWithParent(m_process);
}

TestBroker::~TestBroker()
{
    kill();
}

bool TestBroker::start()
{
    m_process.start(kBroker, {QStringLiteral("-c"), m_folder + QStringLiteral("/broker.conf")});
    QElapsedTimer waited;
    waited.start();
    while (!takesConnections(m_port)) {
        if (waited.elapsed() > kStartMs || m_process.state() == QProcess::NotRunning)
            return false;
        QThread::msleep(kPollMs);
    }
    return true;
}

void TestBroker::kill()
{
    m_process.kill();
    m_process.waitForFinished(kStartMs);
}

QString TestBroker::url() const
{
    return (m_tlsFolder.isEmpty() ? QStringLiteral("mqtt://127.0.0.1:%1") : QStringLiteral("mqtts://localhost:%1"))
        .arg(m_port);
}

QByteArray TestBroker::log()
{
    return m_process.readAll();
}

// The gate's server and connections, in the gate's thread.
class TcpGate::Worker : public QObject
{
public:
    Worker(int port, int targetPort)
        : m_port(port),
          m_targetPort(targetPort)
    {
    }

    bool open()
    {
        m_server = std::make_unique<QTcpServer>();
        connect(m_server.get(), &QTcpServer::newConnection, this, &Worker::accept);
        return m_server->listen(QHostAddress::LocalHost, quint16(m_port));
    }
    void close()
    {
        m_server.reset();
        for (const auto &socket : m_sockets)
            socket->abort();
        m_sockets.clear();
    }

private:
    void accept()
    {
        while (QTcpSocket *in = m_server->nextPendingConnection()) {
            in->setParent(nullptr);
            auto out = std::make_unique<QTcpSocket>();
            QTcpSocket *o = out.get();
            const auto pass = [](QTcpSocket *from, QTcpSocket *to) {
                connect(from, &QTcpSocket::readyRead, to, [from, to] { to->write(from->readAll()); });
                connect(from, &QTcpSocket::disconnected, to, [to] { to->disconnectFromHost(); });
            };
            pass(in, o);
            pass(o, in);
            // What the client sends before the broker's side is up waits in `in`.
            connect(o, &QTcpSocket::connected, in, [in, o] { o->write(in->readAll()); });
            o->connectToHost(QHostAddress::LocalHost, quint16(m_targetPort));
            m_sockets.emplace_back(in);
            m_sockets.push_back(std::move(out));
        }
    }

    int m_port;
    int m_targetPort;
    std::unique_ptr<QTcpServer> m_server;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
};

TcpGate::TcpGate(int targetPort)
    : m_port(freePort()),
      m_worker(new Worker(m_port, targetPort))
{
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

TcpGate::~TcpGate()
{
    close();
    m_thread.quit();
    m_thread.wait();
}

bool TcpGate::open()
{
    bool listening = false;
    QMetaObject::invokeMethod(
        m_worker, [this, &listening] { listening = m_worker->open(); }, Qt::BlockingQueuedConnection);
    return listening;
}

void TcpGate::close()
{
    QMetaObject::invokeMethod(
        m_worker, [this] { m_worker->close(); }, Qt::BlockingQueuedConnection);
}

ProgramProcess::ProgramProcess(const QString &program, const QStringList &arguments)
    : m_program(binDir() + u'/' + program),
      m_arguments(arguments)
{
    endWithParent(m_process);
}

ProgramProcess::~ProgramProcess()
{
    kill();
}

bool ProgramProcess::start()
{
    log();
    m_process.start(m_program, m_arguments);
    return m_process.waitForStarted(kStartMs);
}

void ProgramProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(kStartMs);
    log();
}

bool ProgramProcess::terminate()
{
    QElapsedTimer took;
    took.start();
    ::kill(pid_t(m_process.processId()), SIGTERM);
    const bool ended = m_process.waitForFinished(kStartMs);
    log();
    const bool clean = ended && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    if (!clean)
        qWarning("%s did not end cleanly after SIGTERM (%s after %lld ms); its log:\n%s", qPrintable(m_program),
                 ended ? qPrintable(QStringLiteral("exit status %1").arg(m_process.exitCode())) : "still running",
                 took.elapsed(), m_log.constData());
    return clean;
}

QByteArray ProgramProcess::log()
{
    if (m_process.isOpen())
        m_log += m_process.readAllStandardError();
    return m_log;
}

bool makeTlsFiles(const QString &folder)
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        return false;
    const auto run = [&](const QStringList &args) {
        QProcess p;
        p.setWorkingDirectory(folder);
        p.start(openssl, args);
        return p.waitForFinished(kStartMs) && p.exitCode() == 0;
    };
    const QString days = QStringLiteral("2");
    QFile extensions(folder + QStringLiteral("/san.ext"));
    const QByteArray san = "subjectAltName=DNS:localhost\n";
    return extensions.open(QIODevice::WriteOnly) && extensions.write(san) == san.size() && extensions.flush()
        && run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", days,
                "-subj", "/CN=sorvik7 test CA"})
        && run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
                "/CN=localhost"})
        && run({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-out",
                "server.crt", "-days", days, "-extfile", "san.ext"});
}

bool sameDayFiles(const QString &station, const QString &copy, QString *why)
{
    const QStringList names = dayFiles(station);
    if (names != dayFiles(copy)) {
        *why = QStringLiteral("files %1 against %2").arg(names.join(u','), dayFiles(copy).join(u','));
        return false;
    }
    for (const QString &name : names) {
        const QByteArray a = fileBytes(station + u'/' + name), b = fileBytes(copy + u'/' + name);
        if (a != b) {
            qsizetype at = 0;
            while (at < std::min(a.size(), b.size()) && a[at] == b[at])
                ++at;
            *why = QStringLiteral("%1: %2 against %3 bytes, first difference at byte %4")
                       .arg(name)
                       .arg(a.size())
                       .arg(b.size())
                       .arg(at);
            return false;
        }
    }
    return !names.isEmpty() || (*why = QStringLiteral("no day files"), false);
}

qint64 recordLines(const QString &folder)
{
    qint64 lines = 0;
    for (const QString &name : dayFiles(folder))
        lines += std::max<qint64>(0, fileBytes(folder + u'/' + name).count("\r\n") - 1);
    return lines;
}
