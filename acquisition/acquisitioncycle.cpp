#include "acquisition/acquisitioncycle.h"

#include "acquisition/clock.h"
#include "acquisition/cycledisplay.h"
#include "acquisition/portinput.h"
#include "acquisition/sorvik7_def.h"
#include "datafile/datafile.h"
#include "datafile/recordformat.h"

#include <QScopeGuard>
#include <QtDebug>

namespace {
constexpr qint64 kTickNs = 1'000'000;   // the pacing period: 1 ms
constexpr int kBusyWakeMs = 1;          // characters waiting: wake every period
constexpr int kQuietWakeMs = 10;        // nothing waiting: wake less often and run the periods due
constexpr int kIdleWakeMs = 50;         // stopped: nothing to read, wake rarely
constexpr qint64 kMaxLagNs = 250'000'000; // how far behind the pacing may fall and still catch up
constexpr int kSyncStxCount = 4;        // the sync phase ends on the STX that takes Sample_Idx past this
} // namespace

AcquisitionCycle::AcquisitionCycle(sorvik7_def &def, PortInput &port, CycleDisplay &display,
                                   DataFile &file, const Clock &clock, QObject *parent)
    : QObject(parent), m_def(def), m_port(port), m_display(display), m_file(file), m_clock(clock)
{
    m_tim_f.setTimerType(Qt::PreciseTimer);
    connect(&m_tim_f, &QTimer::timeout, this, &AcquisitionCycle::onTimer);
}

void AcquisitionCycle::restart()
{
    if (m_inStep) {
        // A step is waiting under a message box; restart when it has finished.
        m_restartPending = true;
        return;
    }
    m_restartPending = false;
    ++m_restarts;
    m_Speed_Buf.fill(0.0);
    m_port.discardInput();
    m_def.Rx_Char.clear();
    m_def.Msg_Buf.clear();
    m_Sample_Idx = 1;
    m_fld = MsgFields();
    m_Avg_Speed = 0.0;
    m_Rec_Time.clear();
    m_overflow = false;

    if (sorvik7::isValidSampleNum(m_def.Sample_Num)) {
        m_sampleNum = m_def.Sample_Num;
        m_phase = Phase::Idle;
    } else {
        // The window has 64 slots; any other length is refused here rather
        // than used as an index.
        qWarning("Averaging length %d refused: it must be %d to %d", int(m_def.Sample_Num),
                 sorvik7::kMinSampleNum, sorvik7::kMaxSampleNum);
        m_phase = Phase::Ended;
    }

    m_monotonic.start();
    m_nextTickNs = kTickNs;
    m_tim_f.start(wakeInterval());
}

void AcquisitionCycle::shutdown()
{
    m_tim_f.stop();
    m_phase = Phase::Ended;
}

int AcquisitionCycle::sampleNum()
{
    // Read afresh at every use; a length that cannot index the window is
    // never taken, the one accepted at the last restart stands instead.
    if (sorvik7::isValidSampleNum(m_def.Sample_Num))
        m_sampleNum = m_def.Sample_Num;
    return m_sampleNum;
}

int AcquisitionCycle::wakeInterval()
{
    // The pacing stays one character per elapsed period whatever the wake
    // interval: a later wake runs all the periods that are due. Waking only
    // when there can be work keeps a waiting logger off the processor.
    if (m_phase == Phase::Ended || (m_phase == Phase::Idle && m_def.Stop_Flag))
        return kIdleWakeMs;
    const bool behind = m_monotonic.nsecsElapsed() >= m_nextTickNs;
    return behind || m_port.InBufferCount() > 0 ? kBusyWakeMs : kQuietWakeMs;
}

void AcquisitionCycle::onTimer()
{
    // Callbacks that arrive while a step shows a message box run nothing:
    // the cycle is paused and the characters wait in the port's buffer.
    if (m_inStep)
        return;
    const qint64 now = m_monotonic.nsecsElapsed();
    if (now >= m_nextTickNs) {
        // Periods owed to a late callback or a slow step (a record flushed to
        // disk) are made up for, a few at a time; after a long hold-up (a
        // message box) only the last kMaxLagNs of them are.
        if (now - m_nextTickNs > kMaxLagNs)
            m_nextTickNs = now - kMaxLagNs;
        const qint64 due = 1 + (now - m_nextTickNs) / kTickNs;
        const int steps = int(std::min<qint64>(due, kMaxStepsPerCallback));
        const quint64 restarts = m_restarts;
        for (int i = 0; i < steps && m_restarts == restarts; ++i)
            step();
        // A restart inside these steps has set the pacing afresh.
        if (m_restarts == restarts)
            m_nextTickNs += steps * kTickNs;
    }
    const int interval = wakeInterval();
    if (m_tim_f.interval() != interval)
        m_tim_f.setInterval(interval);
}

void AcquisitionCycle::step()
{
    if (m_inStep)
        return;
    m_inStep = true;
    {
        const auto done = qScopeGuard([this] { m_inStep = false; });
        ++m_steps;
        switch (m_phase) {
        case Phase::Idle: idleStep(); break;
        case Phase::Sync: syncStep(); break;
        case Phase::Fill: fillStep(); break;
        case Phase::Run: runStep(); break;
        case Phase::Ended: break;
        }
    }
    if (m_restartPending)
        restart();
}

bool AcquisitionCycle::readChar(qint16 pending)
{
    if (pending <= 0)
        return false;
    m_def.Rx_Char = m_port.Input();
    return !m_def.Rx_Char.isEmpty();
}

bool AcquisitionCycle::rxIsStx() const
{
    return m_def.Rx_Char.size() == 1 && m_def.Rx_Char.at(0) == sorvik7::STX;
}

void AcquisitionCycle::appendChar()
{
    if (m_overflow)
        return;
    if (m_def.Msg_Buf.size() + m_def.Rx_Char.size() > kMaxMessage) {
        // A message whose CR has come is complete: what follows it never
        // reaches a field, so noise after it (a NUL stream from a break, say)
        // is cut off without costing the message. Without a CR it is noise.
        if (!m_def.Msg_Buf.contains(sorvik7::CR)) {
            m_overflow = true;
            m_def.Msg_Buf.clear();
        }
        return;
    }
    m_def.Msg_Buf += m_def.Rx_Char;
}

void AcquisitionCycle::startMessage()
{
    m_def.Msg_Buf = m_def.Rx_Char;
    m_overflow = false;
}

bool AcquisitionCycle::takeMessage()
{
    // Short messages (19 characters or fewer), messages cut off as noise,
    // corrupted ones (checksum) and ones without a usable speed are dropped
    // alike: nothing shown, no record, the slot does not advance.
    if (m_overflow || m_def.Msg_Buf.size() <= 19 || !Checksum_Ok(m_def.Msg_Buf)
        || !Parse_Msg(m_def.Msg_Buf, m_fld, m_Speed_Buf, m_Sample_Idx))
        return false;
    m_display.showMessage(m_def.Msg_Buf);
    return true;
}

void AcquisitionCycle::idleStep()
{
    if (m_def.Stop_Flag)
        return;
    m_phase = Phase::Sync;
    syncStep();
}

void AcquisitionCycle::syncStep()
{
    if (!readChar(m_port.InBufferCount()) || !rxIsStx())
        return;
    ++m_Sample_Idx;
    if (m_Sample_Idx <= kSyncStxCount)
        return;
    if (m_def.Stop_Flag) {
        m_phase = Phase::Ended;
        return;
    }
    startMessage();
    m_def.Rx_Char.clear();
    m_Sample_Idx = 1;
    m_phase = Phase::Fill;
    fillStep();
}

void AcquisitionCycle::fillStep()
{
    if (!readChar(m_port.InBufferCount()))
        return;
    if (!rxIsStx()) {
        appendChar();
        return;
    }
    if (takeMessage()) {
        ++m_Sample_Idx;
        if (m_Sample_Idx >= sampleNum()) {
            if (m_def.Stop_Flag) {
                m_phase = Phase::Ended;
                return;
            }
            startMessage();
            m_def.Rx_Char.clear();
            m_Sample_Idx = sampleNum();
            m_phase = Phase::Run;
            runBody();
            return;
        }
    }
    startMessage();
}

void AcquisitionCycle::runStep()
{
    // Each run step follows a wait; STOP during it sends the cycle back to idle.
    if (m_def.Stop_Flag) {
        m_phase = Phase::Idle;
        return;
    }
    runBody();
}

void AcquisitionCycle::runBody()
{
    const qint16 pending = m_port.InBufferCount();
    m_display.showCount(pending);
    if (!readChar(pending))
        return;
    if (!rxIsStx()) {
        appendChar();
        return;
    }
    m_Rec_Time = formatTimeOfDay(m_clock.now().time());
    if (takeMessage()) {
        const int n = sampleNum();
        m_Avg_Speed = Window_Avg(m_Speed_Buf, n);
        m_display.showCount(m_Sample_Idx);
        ++m_Sample_Idx;
        if (n < m_Sample_Idx)
            m_Sample_Idx = 1;
        // A file that could not be opened has been reported; that record is
        // skipped and the next message tries again.
        if (m_file.File_open()) {
            const QByteArray line = Record_Line(m_Rec_Time, m_fld, m_Avg_Speed, m_def.Debug_Flag,
                                                m_Speed_Buf, sampleNum());
            if (m_file.writeRecord(line))
                ++m_records;
        }
    }
    startMessage();
}
