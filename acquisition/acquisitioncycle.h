#pragma once

#include "acquisition/parse_msg.h"
#include "acquisition/parsedmessage.h"
#include "common/msgfields.h"
#include "common/speedwindow.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class Clock;
class CycleDisplay;
class DataFile;
class PortInput;
struct sorvik7_def;

// The main loop: reads the port one character per pacing period, frames the
// sensor's messages at STX, skips the first messages after START (sync),
// fills the speed window (fill) and then writes one record per message (run).
//
// It is a state machine that does one step per elapsed 1 ms period. It does
// not poll: it runs when the port reports new characters (wake()), when
// START or STOP changed Stop_Flag (wake() again), and on its own timer tim_f
// only while characters wait that the pacing has not let it read yet. A
// wake-up runs every period that has elapsed since the last one, so the
// pacing rule holds however late it comes: never more characters read than
// periods elapsed, apart from the phase changes, where the first read of the
// next phase follows at once. The event loop runs between steps, so buttons,
// the settings dialog and line events act between two steps, never inside one.
class AcquisitionCycle : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Idle, Sync, Fill, Run, Ended };
    Q_ENUM(Phase)
    // What became of a message that the next STX completed (fill and run).
    enum class Verdict { Valid, ChecksumFailed, Unparsable };
    Q_ENUM(Verdict)

    // A message that grows past this without a next STX is noise: the rest
    // up to the next STX is thrown away and the message dropped.
    static constexpr qsizetype kMaxMessage = 1024;

    AcquisitionCycle(sorvik7_def &def, PortInput &port, CycleDisplay &display, DataFile &file, const Clock &clock,
                     QObject *parent = nullptr);

    // The entry steps, run at every activation of the main window: a fresh
    // speed window, the port's input discarded, Sample_Idx 1, then idle (or
    // straight on to sync at the next wake-up if Stop_Flag is already false).
    // The cycle that ran before is abandoned.
    void restart();

    // Stops for good (the program is ending).
    void shutdown();

    // Runs the steps that are due: the port has new characters, or Stop_Flag
    // has changed.
    void wake();

    // One step of work, as done after one pacing period. wake() calls it;
    // tests call it directly to drive the machine deterministically.
    void step();

    // The message being assembled is cut off where it stands: the line had a
    // gap, and what comes next does not belong to it.
    void dropPartialMessage();

    Phase phase() const { return m_phase; }
    // The fields of the last valid message.
    const MsgFields &fields() const { return m_fld; }
    int Sample_Idx() const { return m_Sample_Idx; }
    // The message being assembled; never longer than kMaxMessage.
    const QByteArray &Msg_Buf() const { return m_Msg_Buf; }

    // How many periods one wake-up may catch up on, so that a late one never
    // holds the event loop for long.
    static constexpr int kMaxStepsPerWake = 64;

signals:
    // A message has become a record: in the day file, flushed, or (when
    // `written` is false) kept until the data folder takes it.
    void recordDone(bool written);
    // A message was judged: valid (its fields() are in place), or dropped
    // for its checksum, or as unparsable (too short, cut off as noise, no
    // speed, a control character in a field).
    void messageJudged(AcquisitionCycle::Verdict verdict);
    // A message has given a speed (fill and run phases), before its record.
    void messageParsed(const ParsedMessage &message);

private:
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
    void announce(qint64 arrivalMs, std::optional<double> mean);
    void writeRecord();
    void showCount(int n);
    int sampleNum();
    // A step is due although no character waits: START or STOP to act on,
    // or the counter still showing something other than the empty backlog.
    bool wantsStep() const;
    void armTimer(qint64 nowNs);

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
    qint64 m_recStampMs = 0; // when the STX that completes the message arrived
    QByteArray m_Rx_Char; // the character read last
    QByteArray m_Msg_Buf; // message being assembled, from its STX on
    bool m_overflow = false; // Msg_Buf passed kMaxMessage; skipping to the next STX
    int m_sampleNum = 10; // the last valid Sample_Num seen
    int m_shownCount = -1; // what the counter shows

    QTimer m_tim_f; // the pacing timer: only while characters wait
    QElapsedTimer m_monotonic;
    qint64 m_nextTickNs = 0; // when the next pacing period ends
    bool m_inStep = false; // a step is running (perhaps under a message box)
    bool m_restartPending = false;
    quint64 m_restarts = 0;
};
