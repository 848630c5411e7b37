#pragma once

// What the cycle, fault, noise and device tests share: a pty as the sensor's
// line, a logger around a cycle, good messages and the records they make.

#include "acquisition/acquisitioncycle.h"
#include "acquisition/clock.h"
#include "acquisition/cycledisplay.h"
#include "acquisition/portinput.h"
#include "acquisition/sorvik7_def.h"
#include "datafile/datafile.h"
#include "datafile/messagereporter.h"

#include <QFile>
#include <numeric>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

inline const QByteArray kHeader = "Gill Format Polar,03/05/21,14:03:07\r\n";

// A raw pseudo-terminal that the serial control opens as COM1; the test
// holds the master end, the sensor's side of the line.
class PtyDevice
{
public:
    PtyDevice()
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
        qputenv("SORVIK7_COM1", name);
    }
    ~PtyDevice() { hangUp(); qunsetenv("SORVIK7_COM1"); }
    bool isValid() const { return m_master >= 0; }
    // Writes what the line takes now; returns how many bytes that was.
    qsizetype send(const QByteArray &b) { return std::max<ssize_t>(0, ::write(m_master, b.constData(), size_t(b.size()))); }
    void hangUp() { if (m_master >= 0) ::close(m_master); m_master = -1; }
    termios line() const { termios t{}; ::tcgetattr(m_master, &t); return t; }
    // What the program has written to the line so far.
    QByteArray received() const { char b[256]; return QByteArray(b, std::max<ssize_t>(0, ::read(m_master, b, sizeof b))); }

private:
    int m_master = -1;
};

// STX, the fields, then ETX and the XOR of the bytes between in hex (or
// nothing, the fields ending at the status's comma), then CR LF.
inline QByteArray framed(const QByteArray &body, bool checksum = true)
{
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    const QByteArray tail = sorvik7::ETX + QByteArray::number(sum, 16).toUpper().rightJustified(2, '0');
    return sorvik7::STX + body + (checksum ? tail : QByteArray()) + "\r\n";
}

inline QByteArray sensorMessage(int direction, double speed, bool checksum = true)
{
    return framed("Q," + QByteArray::number(direction).rightJustified(3, '0') + ','
                      + QByteArray::number(speed, 'f', 2).rightJustified(6, '0') + ",M,00,",
                  checksum);
}

// A cycle writing into `folder`, reading from `port` or else from a script
// of bytes that the logger itself plays back as a receive buffer holds them;
// it keeps the operator's reports.
struct Logger final : PortInput, MessageReporter
{
    Logger(const QString &folder, int n, bool debug, PortInput *port = nullptr)
        : cycle(def, port ? *port : *this, display, file, clock)
    {
        def.Save_Path = folder;
        def.Sample_Num = qint16(n);
        def.Debug_Flag = debug;
        def.Stop_Flag = false;
        file.setSyncToDevice(false);
    }
    qint16 InBufferCount() override { return qint16(std::min<qsizetype>(script.size() - pos, 32767)); }
    void discardInput() override { pos = script.size(); }
    QByteArray Input() override { return script.mid(pos++, 1); }
    void report(const QString &text) override { reports << text; }
    // Scripts `bytes` and steps the cycle until it has read them all.
    void feed(const QByteArray &bytes)
    {
        script += bytes;
        while (pos < script.size())
            cycle.step();
    }
    QByteArray script;
    qsizetype pos = 0;
    QStringList reports;
    sorvik7_def def;
    NullDisplay display;
    SettableClock clock;
    DataFile file{def, clock, *this};
    AcquisitionCycle cycle;
};

// Good messages and the record lines a run must write for them: `skip` go by
// while the cycle synchronises (restart: set it and zero `count`), N-1 fill
// the window, each later one is recorded when the next STX arrives. Speeds
// are whole and the mean is worked in hundredths, rounded half up, so no
// floating point enters.
struct Traffic
{
    int n;
    bool debug;
    bool checksum = true;
    int skip = 3, count = 0, sent = 0;
    int window[64] = {};

    // `many` messages; the record lines they make are appended to `records`.
    QByteArray messages(int many, QByteArray &records)
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
};

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
