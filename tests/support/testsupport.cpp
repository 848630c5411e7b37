#include "testsupport.h"

#include "sensormessage.h"

#include <QCoreApplication>
#include <QFile>

#include <numeric>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

QDateTime SettableClock::now() const
{
    const QDateTime t = m_now;
    m_now = m_now.addMSecs(m_stepMs);
    return t;
}

qint16 ReplayPort::InBufferCount()
{
    return open ? qint16(std::min<qsizetype>(waiting(), sorvik7::kMaxPendingCount)) : 0;
}

void ReplayPort::discardInput()
{
    if (open)
        pos = data.size();
}

QByteArray ReplayPort::Input()
{
    return data.mid(pos++, 1);
}

Logger::Logger(const QString &folder, int n, bool debug, bool started)
{
    def.Save_Path = folder;
    def.Sample_Num = qint16(n);
    def.Debug_Flag = debug;
    engine.setSyncToDevice(false);
    connect(&engine, &Acquisition::fileFault, this, [this](const QString &text) { reports << text; });
    connect(&engine, &Acquisition::fileFaultCleared, this, [this](quint64 n) { cleared << n; });
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
    return qEnvironmentVariable("SORVIK7_BIN_DIR", QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
}

void killWithTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

SensorProcess::~SensorProcess()
{
    process.kill();
    process.waitForFinished(2000);
}

bool SensorProcess::start(const QStringList &arguments)
{
    killWithTest(process);
    process.start(binDir() + QStringLiteral("/tools/sorvik7-sensor"), arguments);
    while (!process.canReadLine())
        if (!process.waitForReadyRead(5000))
            return false;
    device = QString::fromLocal8Bit(process.readLine().trimmed());
    return !device.isEmpty();
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
