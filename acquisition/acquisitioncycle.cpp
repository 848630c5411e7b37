#include "acquisition/acquisitioncycle.h"

#include "acquisition/cycledisplay.h"
#include "common/clock.h"
#include "common/portinput.h"
#include "common/sorvik7_def.h"
#include "datafile/datafile.h"
#include "datafile/recordformat.h"

#include <QScopeGuard>
#include <QtDebug>

namespace {
constexpr qint64 kTickNs = 1'000'000; // the pacing period: 1 ms
constexpr qint64 kNsPerMs = 1'000'000;
// How far behind the pacing may fall and still catch up: as far as the
// serial control keeps characters waiting (4096, over four seconds of line),
// so that a process held up by a busy machine loses none of them.
constexpr qint64 kMaxLagNs = 4'000'000'000;
constexpr int kSyncStxCount = 4; // the sync phase ends on the STX that takes Sample_Idx past this
} // namespace

AcquisitionCycle::AcquisitionCycle(sorvik7_def &def, PortInput &port, CycleDisplay &display, DataFile &file,
                                   const Clock &clock, QObject *parent)
    : QObject(parent),
      m_def(def),
      m_port(port),
      m_display(display),
      m_file(file),
      m_clock(clock)
{
    m_tim_f.setTimerType(Qt::PreciseTimer);
    m_tim_f.setSingleShot(true);
    connect(&m_tim_f, &QTimer::timeout, this, &AcquisitionCycle::wake);
    m_monotonic.start();
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
    m_Rx_Char.clear();
    m_Msg_Buf.clear();
    m_Sample_Idx = 1;
    m_fld = MsgFields();
    m_Avg_Speed = 0.0;
    m_recStampMs = 0;
    m_overflow = false;

    if (sorvik7::isValidSampleNum(m_def.Sample_Num)) {
        m_sampleNum = m_def.Sample_Num;
        m_phase = Phase::Idle;
    } else {
        // The window has 64 slots; any other length is refused here rather
        // than used as an index.
        qWarning("Averaging length %d refused: it must be %d to %d", int(m_def.Sample_Num), sorvik7::kMinSampleNum,
                 sorvik7::kMaxSampleNum);
        m_phase = Phase::Ended;
    }

    // The first period ends 1 ms from now.
    m_nextTickNs = m_monotonic.nsecsElapsed() + kTickNs;
    m_tim_f.stop();
    if (wantsStep())
        armTimer(m_monotonic.nsecsElapsed());
}

void AcquisitionCycle::shutdown()
{
    m_tim_f.stop();
    m_phase = Phase::Ended;
}

void AcquisitionCycle::dropPartialMessage()
{
    if (!m_Msg_Buf.isEmpty())
        m_overflow = true;
}

int AcquisitionCycle::sampleNum()
{
    // Read afresh at every use; a length that cannot index the window is
    // never taken, the one accepted at the last restart stands instead.
    if (sorvik7::isValidSampleNum(m_def.Sample_Num))
        m_sampleNum = m_def.Sample_Num;
    return m_sampleNum;
}

bool AcquisitionCycle::wantsStep() const
{
    switch (m_phase) {
    case Phase::Idle:
        return !m_def.Stop_Flag;
    case Phase::Run:
        return m_def.Stop_Flag || m_shownCount != 0;
    default:
        return false;
    }
}

void AcquisitionCycle::armTimer(qint64 nowNs)
{
    const qint64 waitNs = std::max<qint64>(0, m_nextTickNs - nowNs);
    m_tim_f.start(int((waitNs + kNsPerMs - 1) / kNsPerMs));
}

void AcquisitionCycle::wake()
{
    // Wake-ups that come while a step shows a message box run nothing: the
    // cycle is paused and the characters wait in the port's buffer.
    if (m_inStep || m_phase == Phase::Ended)
        return;
    const qint64 now = m_monotonic.nsecsElapsed();
    // Periods owed to a late wake-up or a slow step (a record flushed to
    // disk) are made up for; after a long hold-up (a message box) only the
    // last kMaxLagNs of them are.
    if (now - m_nextTickNs > kMaxLagNs)
        m_nextTickNs = now - kMaxLagNs;
    const qint64 due = now >= m_nextTickNs ? 1 + (now - m_nextTickNs) / kTickNs : 0;
    const qint64 credits = std::min<qint64>(due, kMaxStepsPerWake);
    const quint64 restarts = m_restarts;
    qint64 used = 0;
    for (;;) {
        const qint16 pending = m_port.InBufferCount();
        if (pending > 0 && used == credits)
            break;
        if (pending <= 0 && !wantsStep())
            break;
        if (pending > 0)
            ++used;
        step();
        // A restart inside the step has set the pacing afresh.
        if (m_restarts != restarts)
            return;
        // A step that read nothing has done what there was to do.
        if (pending <= 0)
            break;
    }
    m_nextTickNs += used * kTickNs;
    if (m_phase != Phase::Ended && (m_port.InBufferCount() > 0 || wantsStep()))
        armTimer(m_monotonic.nsecsElapsed());
}

void AcquisitionCycle::step()
{
    if (m_inStep)
        return;
    m_inStep = true;
    {
        const auto done = qScopeGuard([this] { m_inStep = false; });
        switch (m_phase) {
        case Phase::Idle:
            idleStep();
            break;
        case Phase::Sync:
            syncStep();
            break;
        case Phase::Fill:
            fillStep();
            break;
        case Phase::Run:
            runStep();
            break;
        case Phase::Ended:
            break;
        }
    }
    if (m_restartPending)
        restart();
}

bool AcquisitionCycle::readChar(qint16 pending)
{
    if (pending <= 0)
        return false;
    // Characters were lost before this one: the message being assembled
    // has lost a piece.
    if (m_port.takeGap())
        dropPartialMessage();
    m_Rx_Char = m_port.Input();
    return !m_Rx_Char.isEmpty();
}

bool AcquisitionCycle::rxIsStx() const
{
    return m_Rx_Char.size() == 1 && m_Rx_Char.at(0) == sorvik7::STX;
}

void AcquisitionCycle::appendChar()
{
    if (m_overflow)
        return;
    if (m_Msg_Buf.size() + m_Rx_Char.size() > kMaxMessage) {
        // A message whose CR has come is complete: what follows it never
        // reaches a field, so noise after it (a NUL stream from a break, say)
        // is cut off without costing the message. Without a CR it is noise.
        if (!m_Msg_Buf.contains(sorvik7::CR)) {
            m_overflow = true;
            m_Msg_Buf.clear();
        }
        return;
    }
    m_Msg_Buf += m_Rx_Char;
}

void AcquisitionCycle::startMessage()
{
    m_Msg_Buf = m_Rx_Char;
    m_overflow = false;
}

bool AcquisitionCycle::takeMessage()
{
    // Short messages (19 characters or fewer), messages cut off as noise,
    // corrupted ones (checksum) and ones without a usable speed are dropped
    // alike: nothing shown, no record, the slot does not advance.
    Verdict verdict = Verdict::Valid;
    if (m_overflow || m_Msg_Buf.size() <= sorvik7::kMaxDroppedLength)
        verdict = Verdict::Unparsable;
    else if (!Checksum_Ok(m_Msg_Buf))
        verdict = Verdict::ChecksumFailed;
    else if (!Parse_Msg(m_Msg_Buf, m_fld, m_Speed_Buf, m_Sample_Idx))
        verdict = Verdict::Unparsable;
    if (verdict == Verdict::Valid)
        m_display.showMessage(m_Msg_Buf);
    emit messageJudged(verdict);
    return verdict == Verdict::Valid;
}

void AcquisitionCycle::announce(qint64 arrivalMs, std::optional<double> mean)
{
    emit messageParsed({arrivalMs, m_fld, m_Speed_Buf[std::size_t(m_Sample_Idx)], mean});
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
    m_Rx_Char.clear();
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
        announce(m_port.arrivalMs(), std::nullopt);
        ++m_Sample_Idx;
        if (m_Sample_Idx >= sampleNum()) {
            if (m_def.Stop_Flag) {
                m_phase = Phase::Ended;
                return;
            }
            startMessage();
            m_Rx_Char.clear();
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

void AcquisitionCycle::showCount(int n)
{
    m_shownCount = n;
    m_display.showCount(n);
}

void AcquisitionCycle::runBody()
{
    const qint16 pending = m_port.InBufferCount();
    showCount(pending);
    if (!readChar(pending))
        return;
    if (!rxIsStx()) {
        appendChar();
        return;
    }
    // The record's time is when the STX that completes the message arrived.
    m_recStampMs = m_port.arrivalMs();
    if (takeMessage()) {
        const int n = sampleNum();
        m_Avg_Speed = Window_Avg(m_Speed_Buf, n);
        announce(m_recStampMs, m_Avg_Speed);
        showCount(m_Sample_Idx);
        ++m_Sample_Idx;
        if (n < m_Sample_Idx)
            m_Sample_Idx = 1;
        writeRecord();
    }
    startMessage();
}

void AcquisitionCycle::writeRecord()
{
    // One reading of the clock names the file and dates a new file's header;
    // its offset from UTC turns the arrival stamp into local time.
    const QDateTime now = m_clock.now();
    const QDateTime stamp = QDateTime::fromMSecsSinceEpoch(m_recStampMs, Qt::OffsetFromUTC, now.offsetFromUtc());
    const QByteArray line =
        Record_Line(formatTimeOfDay(stamp.time()), m_fld, m_Avg_Speed, m_def.Debug_Flag, m_Speed_Buf, sampleNum());
    emit recordDone(m_file.append(now, {stamp, line}));
}
