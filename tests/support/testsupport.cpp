#include "tests/support/testsupport.h"

#include "tools/sensormessage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

QDateTime SettableClock::now() const
{
    const QDateTime t = m_now;
    m_now = m_now.addMSecs(m_stepMs);
    return t;
}

Logger::Logger(const QString &folder, int n, bool debug, bool started)
{
    def.Save_Path = folder;
    def.Sample_Num = qint16(n);
    def.Debug_Flag = debug;
    engine.setSyncToDevice(false);
    connect(&engine, &Acquisition::fileFault, this, [this](const QString &text) { reports << text; });
    connect(&engine, &Acquisition::fileFaultCleared, this, [this](quint64 late, quint64 lostNow) {
        cleared << late;
        lost << lostNow;
    });
    connect(&engine, &Acquisition::folderInUse, this, [this](const QString &text) { reports << text; });
    connect(&engine, &Acquisition::fileNotice, this, [this](const QString &text) { notices << text; });
    engine.restart();
    if (started)
        engine.start();
}

void Logger::feed(const QByteArray &bytes)
{
    port.append(bytes);
    while (port.waiting() > 0)
        engine.step();
}

QByteArray sensorMessage(int direction, double speed, bool checksum)
{
    return SensorMessage::frame(SensorMessage::body(direction, speed), checksum);
}

QByteArray recordLine(double mean, int direction, const QByteArray &time)
{
    return time + ",\x02Q," + QByteArray::number(direction).rightJustified(3, '0') + ','
        + QString::asprintf("%06.2f", mean).toLatin1() + ",M,00\r\n";
}

QByteArray Traffic::messages(int many, QByteArray &records)
{
    auto hundredths = [](int h) {
        return QByteArray::number(h / 100).rightJustified(3, '0') + '.'
            + QByteArray::number(h % 100).rightJustified(2, '0');
    };
    QByteArray out;
    for (; many > 0; --many, ++sent) {
        const int direction = (sent * 37) % 360, speed = (sent * 7) % 40, k = count++ - skip;
        out += sensorMessage(direction, speed, checksum);
        if (k >= 0)
            window[k % n] = speed;
        if (k < n - 1)
            continue;
        const int sum = std::accumulate(window, window + n, 0);
        records += "14:03:07,\x02Q," + QByteArray::number(direction).rightJustified(3, '0') + ','
            + hundredths((sum * 200 + n) / (2 * n)) + ",M,00";
        if (debug) {
            records += ',';
            for (int s = 0; s < n; ++s)
                records += ',' + hundredths(window[s] * 100);
        }
        records += "\r\n";
    }
    return out;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString binDir()
{
    return qEnvironmentVariable("SORVIK7_BIN_DIR", QCoreApplication::applicationDirPath() + "/..");
}

Com1Line::Com1Line(const QString &link)
    : m_link(link)
{
    QString error;
    if (!link.isEmpty())
        QFile::remove(link);
    if (open(&error) && (link.isEmpty() || QFile::link(slavePath(), link)))
        qputenv("SORVIK7_COM1", (link.isEmpty() ? slavePath() : link).toLocal8Bit());
}

Com1Line::~Com1Line()
{
    if (!m_link.isEmpty())
        QFile::remove(m_link);
}

QString builtProgram(const QString &path)
{
    return binDir() + u'/' + path;
}

void endWithParent(QProcess &process, int signal)
{
    process.setChildProcessModifier([signal] { ::prctl(PR_SET_PDEATHSIG, signal); });
}

void runEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    constexpr int kLookMs = 10;
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        runEventLoop(kLookMs);
    }
    return true;
}

bool stopCleanly(QProcess &process, int ms)
{
    if (process.state() == QProcess::NotRunning)
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    ::kill(pid_t(process.processId()), SIGTERM);
    const bool ended = process.waitForFinished(ms);
    if (!ended) {
        process.kill();
        process.waitForFinished(ms);
    }
    return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

SensorProcess::SensorProcess(const QString &path)
    : program(path)
{
}

SensorProcess::~SensorProcess()
{
    if (fd >= 0)
        ::close(fd);
    stop();
}

bool SensorProcess::start(const QStringList &arguments, QString *error)
{
    constexpr int kStartMs = 30000;
    endWithParent(process, endSignal);
    process.start(program, arguments);
    while (process.peek(4096).count('\n') < 2) {
        if (!process.waitForReadyRead(kStartMs)) {
            if (error)
                *error = QStringLiteral("%1 named no device: %2").arg(program, process.errorString());
            return false;
        }
    }
    device = QString::fromLocal8Bit(process.readLine().trimmed());
    return process.readLine().trimmed() == "SORVIK7_COM1=" + device.toLocal8Bit();
}

bool SensorProcess::listen()
{
    fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd >= 0;
}

QByteArray SensorProcess::read(qsizetype bytes, int timeoutMs)
{
    QByteArray data;
    char buffer[1024];
    for (QDeadlineTimer deadline(timeoutMs); data.size() < bytes && !deadline.hasExpired();)
        if (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 20) > 0)
            data.append(buffer,
                        qMax<ssize_t>(0, ::read(fd, buffer, qMin<qsizetype>(sizeof buffer, bytes - data.size()))));
    return data;
}

bool SensorProcess::exitedCleanly()
{
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool SensorProcess::waitForEnd(int ms)
{
    return waitFor([this] { return process.state() == QProcess::NotRunning; }, ms);
}

void SensorProcess::stop()
{
    constexpr int kStopMs = 5000;
    if (process.state() != QProcess::NotRunning)
        stopCleanly(process, kStopMs);
}

std::optional<SensorSummary> SensorProcess::summary()
{
    m_stderr += process.readAllStandardError();
    return parseSensorSummary(QString::fromLocal8Bit(m_stderr));
}

AsOrdinaryUser::AsOrdinaryUser()
    : m_wasRoot(::geteuid() == 0)
{
    constexpr uid_t kNobody = 65534;
    if (m_wasRoot && ::seteuid(kNobody) != 0)
        qFatal("seteuid failed");
}

AsOrdinaryUser::~AsOrdinaryUser()
{
    if (m_wasRoot && ::seteuid(0) != 0)
        qFatal("seteuid back failed");
}

void fuzzCheck(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
        std::abort();
    }
}
