#pragma once

#include "acquisition/parse_msg.h"
#include "acquisition/speedwindow.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class Clock;
class CycleDisplay;
class DataFile;
class PortInput;
struct sorvik7_def;

// The main loop: reads the port one character per pacing tick, frames the
// sensor's messages at STX, skips the first messages after START (sync),
// fills the speed window (fill) and then writes one record per message (run).
//
// It is a state machine that does one step per elapsed 1 ms period of its
// pacing timer tim_f; the event loop runs between steps, so buttons, the
// settings dialog and line events act between two steps, never inside one.
// START and STOP reach it only through Stop_Flag.
class AcquisitionCycle : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Idle, Sync, Fill, Run, Ended };
    Q_ENUM(Phase)

    // A message that grows past this without a next STX is noise: the rest
    // up to the next STX is thrown away and the message dropped.
    static constexpr qsizetype kMaxMessage = 1024;

    AcquisitionCycle(sorvik7_def &def, PortInput &port, CycleDisplay &display, DataFile &file,
                     const Clock &clock, QObject *parent = nullptr);

    // The entry steps, run at every activation of the main window: a fresh
    // speed window, the port's input discarded, Sample_Idx 1, then idle (or
    // straight on to sync at the first step if Stop_Flag is already false).
    // The cycle that ran before is abandoned. Starts the pacing timer.
    void restart();

    // Stops the pacing timer for good (the program is ending).
    void shutdown();

    // One step of work, as done after one pacing tick. The timer calls it;
    // tests call it directly to drive the machine deterministically.
    void step();

    Phase phase() const { return m_phase; }
    int Sample_Idx() const { return m_Sample_Idx; }
    const SpeedBuffer &Speed_Buf() const { return m_Speed_Buf; }
    double Avg_Speed() const { return m_Avg_Speed; }

    // Counters for the benchmark and the soak.
    quint64 recordsWritten() const { return m_records; }
    quint64 stepsRun() const { return m_steps; }

    // How many elapsed periods one timer callback may catch up on, so a
    // late callback never holds the event loop for long.
    static constexpr int kMaxStepsPerCallback = 64;

private:
    void onTimer();
    void idleStep();
    void syncStep();
    void fillStep();
    void runStep();
    void runBody();
    // Reads one character when the pending count says one is waiting;
    // false when none was read.
    bool readChar(qint16 pending);
    bool rxIsStx() const;
    void appendChar();
    // Msg_Buf := Rx_Char, the STX that opens the next message.
    void startMessage();
    // Parses Msg_Buf into the window slot Sample_Idx and shows it; false
    // (and the message dropped) when it is not a message to take.
    bool takeMessage();
    int sampleNum();
    int wakeInterval();

    sorvik7_def &m_def;
    PortInput &m_port;
    CycleDisplay &m_display;
    DataFile &m_file;
    const Clock &m_clock;

    Phase m_phase = Phase::Idle;
    SpeedBuffer m_Speed_Buf{};
    int m_Sample_Idx = 1;
    MsgFields m_fld;
    double m_Avg_Speed = 0.0;
    QByteArray m_Rec_Time;
    bool m_overflow = false;     // Msg_Buf passed kMaxMessage; skipping to the next STX
    int m_sampleNum = 10;        // the last valid Sample_Num seen

    QTimer m_tim_f;              // the pacing timer
    QElapsedTimer m_monotonic;
    qint64 m_nextTickNs = 0;     // when the next pacing period ends
    bool m_inStep = false;       // a step is running (perhaps under a message box)
    bool m_restartPending = false;
    quint64 m_restarts = 0;

    quint64 m_records = 0;
    quint64 m_steps = 0;
};
