#include "testsupport.h"

#include "sensormessage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

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
        engine.cycle().step();
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

Com1Line::Com1Line(const QString &link) : m_link(link)
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

void killWithTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

SensorProcess::~SensorProcess()
{
    if (fd >= 0)
        ::close(fd);
    process.kill();
    process.waitForFinished(2000);
}

bool SensorProcess::start(const QStringList &arguments)
{
    killWithTest(process);
    process.start(binDir() + "/tools/sorvik7-sensor", arguments);
    while (process.peek(4096).count('\n') < 2)
        if (!process.waitForReadyRead(30000))
            return false;
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
            data.append(buffer, qMax<ssize_t>(0, ::read(fd, buffer, qMin<qsizetype>(sizeof buffer, bytes - data.size()))));
    return data;
}

bool SensorProcess::exitedCleanly()
{
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

AsOrdinaryUser::AsOrdinaryUser() : m_wasRoot(::geteuid() == 0)
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
