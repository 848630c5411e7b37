#pragma once

#include "tools/linepacer.h"
#include "tools/ptyline.h"
#include "tools/sensorsummary.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// Runs a simulated sensor on a pseudo-terminal: takes messages from a
// source, paces them like a 9600 baud line and hands them to whoever has
// the slave side open. It prints nothing: it reports through its signals,
// and the program decides what to show.
class SensorSimulator : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        double rate = 1.0; // messages per second; 0 sends back to back
        qint64 count = -1; // stop after this many messages; -1: never
        bool waitForListener = false;
        QString link; // symlink to the slave device, if not empty
    };
    // Returns the next message, or an empty array when there are no more.
    using MessageSource = std::function<QByteArray()>;

    explicit SensorSimulator(const Options &options, MessageSource source, QObject *parent = nullptr);
    ~SensorSimulator() override;

    // Opens the line and starts; devicePath() is the listener's side.
    bool start(QString *error);
    QString devicePath() const { return m_line.slavePath(); }
    // Ends at once (signal): closes the line, removes the link.
    void stop();

signals:
    // Something worth a line for whoever watches the run.
    void note(const QString &text);
    // The run is over (its count sent and read, its file sent, or stop()).
    void finished(const SensorSummary &summary);

private:
    enum class State { Idle, Waiting, Running, Draining, Done };

    qint64 now() const { return m_clock.nsecsElapsed(); }
    void step();
    void pump(qint64 at);
    void drain();
    void schedule(qint64 at);
    void finish();

    Options m_options;
    MessageSource m_source;
    PtyLine m_line;
    LinePacer m_pacer;
    QElapsedTimer m_clock;
    QTimer m_timer;
    State m_state = State::Idle;
    QByteArray m_outgoing;
    bool m_sourceDone = false;
    bool m_hadListener = false;
    qint64 m_drainUntil = 0;
    qint64 m_messages = 0;
    qint64 m_sent = 0;
    qint64 m_dropped = 0;
    qint64 m_unreadAtExit = 0;
};
