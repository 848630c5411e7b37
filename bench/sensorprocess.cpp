#include "sensorprocess.h"

#include "benchsupport.h"

#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

namespace {
constexpr int kStartMs = 5000;
constexpr int kStopMs = 5000;
} // namespace

SensorProcess::SensorProcess(const QString &program)
    : m_program(program)
{
}

SensorProcess::~SensorProcess()
{
    stop();
}

bool SensorProcess::start(const QStringList &args, QString *error)
{
    endWithParent(m_process);
    m_process.start(m_program, QStringList{QStringLiteral("--wait")} + args);
    if (!m_process.waitForStarted(kStartMs) || !m_process.waitForReadyRead(kStartMs)) {
        *error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString());
        return false;
    }
    m_device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    if (m_device.isEmpty()) {
        *error = QStringLiteral("%1 named no device").arg(m_program);
        return false;
    }
    return true;
}

bool SensorProcess::waitForEnd(int ms)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    QEventLoop loop;
    QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return m_process.state() == QProcess::NotRunning;
}

void SensorProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(kStopMs)) {
        m_process.kill();
        m_process.waitForFinished(kStopMs);
    }
}

SensorProcess::Summary SensorProcess::summary()
{
    m_stderr += m_process.readAllStandardError();
    Summary s;
    s.text = QString::fromLocal8Bit(m_stderr).trimmed();
    static const QRegularExpression pattern(
        QStringLiteral("(\\d+) messages, (\\d+) bytes sent, (\\d+) bytes dropped"));
    const QRegularExpressionMatch m = pattern.match(s.text);
    s.valid = m.hasMatch();
    s.messages = m.captured(1).toLongLong();
    s.bytesSent = m.captured(2).toLongLong();
    s.bytesDropped = m.captured(3).toLongLong();
    s.unreadAtExit = s.text.contains(QStringLiteral("never read"));
    return s;
}
