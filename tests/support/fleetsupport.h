#pragma once

// What the tests of publishing and collecting share: a mosquitto broker of
// their own on 127.0.0.1, a gate in front of it that can cut the network,
// the logger and the collector as processes, and the check that two folders
// hold the same day files.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

// A port on 127.0.0.1 that nothing listens on now.
int freePort();

// mosquitto on 127.0.0.1 with a config written for it: no persistence, the
// queue of an absent persistent session unbounded, anonymous clients. With
// `tlsFolder` it listens with TLS, using ca.crt, server.crt and server.key
// from there. Killed when it goes out of scope; start() again after kill()
// uses the same port. Never the system's broker.
class TestBroker
{
public:
    explicit TestBroker(const QString &folder, const QString &tlsFolder = {});
    ~TestBroker();
    // True once it takes connections.
    bool start();
    void kill();
    int port() const { return m_port; }
    QString url() const;
    QByteArray log();

private:
    QString m_folder;
    QString m_tlsFolder;
    int m_port;
    QProcess m_process;
};

// A TCP gate to a port: what connects to port() is passed through while
// the gate is open; close() cuts every connection and refuses new ones, as
// a network that has gone does. It runs in a thread of its own, so bytes go
// through while the test waits for a process too.
class TcpGate
{
public:
    explicit TcpGate(int targetPort);
    ~TcpGate();
    bool open();
    void close();
    int port() const { return m_port; }

private:
    class Worker;

    int m_port;
    QThread m_thread;
    Worker *m_worker;
};

// One of our programs as a process, started again with the same arguments
// after kill(); its log is what it wrote to stderr over all its runs.
class ProgramProcess
{
public:
    ProgramProcess(const QString &program, const QStringList &arguments);
    ~ProgramProcess();
    bool start();
    void kill();
    // SIGTERM; true when it then ended by itself with status 0. Otherwise
    // its log is printed, with what it did and how long it was given.
    bool terminate();
    QByteArray log();
    QProcess &process() { return m_process; }

private:
    QString m_program;
    QStringList m_arguments;
    QProcess m_process;
    QByteArray m_log;
};

// Self-signed CA and a server certificate for localhost in `folder`
// (ca.crt, server.crt, server.key) made with openssl; false without it.
bool makeTlsFiles(const QString &folder);

// Whether `copy` holds the same day files (yyyymmdd.SVK) as `station`, byte
// for byte; otherwise `why` says where they differ.
bool sameDayFiles(const QString &station, const QString &copy, QString *why);

// Record lines in the day files of a folder.
qint64 recordLines(const QString &folder);
