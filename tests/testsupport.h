#pragma once

// What the fault and line-noise tests share: a port that plays back a
// script, a reporter that collects the operator's messages, the sensor's
// message text, and the record lines a run must leave in the file.

#include "acquisition/portinput.h"
#include "acquisition/sorvik7_def.h"
#include "acquisition/speedwindow.h"
#include "datafile/messagereporter.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <algorithm>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// Plays back bytes as a receive buffer would hold them.
class ScriptedPort final : public PortInput
{
public:
    void feed(const QByteArray &bytes) { m_data += bytes; }
    qint16 InBufferCount() override
    {
        return qint16(std::min<qsizetype>(m_data.size() - m_pos, 32767));
    }
    void discardInput() override
    {
        m_data.clear();
        m_pos = 0;
    }
    QByteArray Input() override { return m_data.mid(m_pos++, 1); }
    bool drained() const { return m_pos >= m_data.size(); }

private:
    QByteArray m_data;
    qsizetype m_pos = 0;
};

// A pseudo-terminal pair in raw mode: a real serial device to the serial
// control, reached as COM<port>. The test holds the master end, the sensor's
// side of the line.
class PtyDevice
{
public:
    explicit PtyDevice(int port) : m_env("SORVIK7_COM" + QByteArray::number(port))
    {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(m_master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_master, TCSANOW, &t);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ::close(slave);
        qputenv(m_env.constData(), name);
    }
    ~PtyDevice()
    {
        hangUp();
        qunsetenv(m_env.constData());
    }
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    bool isValid() const { return m_master >= 0; }
    // Writes what the line takes now; returns how many bytes that was.
    qsizetype send(const QByteArray &bytes)
    {
        const ssize_t n = m_master < 0 ? -1 : ::write(m_master, bytes.constData(), size_t(bytes.size()));
        return n > 0 ? n : 0;
    }
    // The far end goes away: the device's other side is closed.
    void hangUp()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    QByteArray m_env;
    int m_master = -1;
};

class CollectingReporter final : public MessageReporter
{
public:
    void report(const QString &text) override { texts << text; }
    QStringList texts;
};

// One message as the sensor sends it: STX, node Q, direction, speed, unit,
// status, then ETX and the XOR of the bytes between STX and ETX in hex,
// then CR LF. Without the checksum the fields end at the status's comma.
inline QByteArray sensorMessage(int direction, double speed, bool checksum = true)
{
    const QByteArray body = "Q," + QByteArray::number(direction).rightJustified(3, '0') + ','
        + QByteArray::number(speed, 'f', 2).rightJustified(6, '0') + ",M,00,";
    QByteArray msg = sorvik7::STX + body;
    if (checksum) {
        unsigned char sum = 0;
        for (char c : body)
            sum ^= static_cast<unsigned char>(c);
        msg += sorvik7::ETX + QByteArray::number(sum, 16).toUpper().rightJustified(2, '0');
    }
    return msg + "\r\n";
}

// A checksummed message whose speed field is any text.
inline QByteArray messageWithSpeedText(const QByteArray &speed)
{
    const QByteArray body = "Q,229," + speed + ",M,00,";
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    return sorvik7::STX + body + sorvik7::ETX
        + QByteArray::number(sum, 16).toUpper().rightJustified(2, '0') + "\r\n";
}

// The records that a run must write for the good messages it receives, in
// order: the first three messages go by while the cycle synchronises, the
// next N-1 fill the window, and every later one is recorded (when the STX
// after it arrives). Speeds are whole numbers and the expected mean is
// worked out in whole hundredths, so no floating point enters the check.
class ExpectedRecords
{
public:
    // skip: the messages the sync phase lets go by (3 after a fresh entry).
    ExpectedRecords(int n, bool debug, QByteArray time = "14:03:07", int skip = 3)
        : m_n(n), m_debug(debug), m_skip(skip), m_time(std::move(time)) {}

    // The record line of the next good message, or nothing while the
    // window is not yet full.
    QByteArray next(int direction, int speed)
    {
        const int i = m_count++;
        if (i < m_skip)
            return {};
        const int k = i - m_skip;
        m_slots[k % m_n + 1] = speed;
        if (k < m_n - 1)
            return {};
        int sum = 0;
        for (int s = 1; s <= m_n; ++s)
            sum += m_slots[s];
        // The mean in hundredths, rounded half up, in whole numbers.
        const int hundredths = (sum * 200 + m_n) / (2 * m_n);
        QByteArray line = m_time + ",\x02Q," + QByteArray::number(direction).rightJustified(3, '0')
            + ',' + number(hundredths) + ",M,00";
        if (m_debug) {
            line += ',';
            for (int s = 1; s <= m_n; ++s)
                line += ',' + number(m_slots[s] * 100);
        }
        return line + "\r\n";
    }

private:
    static QByteArray number(int hundredths)
    {
        return QByteArray::number(hundredths / 100).rightJustified(3, '0') + '.'
            + QByteArray::number(hundredths % 100).rightJustified(2, '0');
    }

    int m_n;
    bool m_debug;
    int m_skip;
    QByteArray m_time;
    int m_count = 0;
    int m_slots[65] = {};
};

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
