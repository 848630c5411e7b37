#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>

// The simulated sensor run as a process of its own, as the benchmarks run
// it: started with --wait, so that its schedule begins when a program opens
// its pseudo-terminal, and read back through the summary it prints when it
// ends.
class SensorProcess
{
public:
    // What the sensor says it did, once it has ended.
    struct Summary
    {
        bool valid = false;     // it printed a summary
        qint64 messages = 0;
        qint64 bytesSent = 0;
        qint64 bytesDropped = 0;
        bool unreadAtExit = false;
        QString text;
        // Every message it counts reached the line whole and was read.
        bool complete() const { return valid && bytesDropped == 0 && !unreadAtExit; }
    };

    explicit SensorProcess(const QString &program);
    ~SensorProcess();
    SensorProcess(const SensorProcess &) = delete;
    SensorProcess &operator=(const SensorProcess &) = delete;

    // Starts it with --wait and these arguments and waits for the device
    // path it prints first; false (and *error) when it does not come.
    bool start(const QStringList &args, QString *error);
    QString device() const { return m_device; }
    qint64 pid() const { return m_process.processId(); }
    QProcess &process() { return m_process; }

    // Waits, running the event loop, until it has ended by itself.
    bool waitForEnd(int ms);
    // Ends it now, if it still runs.
    void stop();
    Summary summary();

private:
    QString m_program;
    QProcess m_process;
    QString m_device;
    QByteArray m_stderr;
};

// Records that the messages sent must give after a START: the first three
// (and anything before the fourth STX) go to sync, the next N-1 fill the
// window, and the last one sent is only complete when another STX follows,
// which it never does.
inline qint64 expectedRecords(qint64 sent, int n)
{
    return std::max<qint64>(0, sent - 3 - (n - 1) - 1);
}
