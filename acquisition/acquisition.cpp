#include "acquisition/acquisition.h"

#include "common/nativepath.h"
#include "serial/initcomm.h"

Acquisition::Acquisition(CycleDisplay &display, MessageReporter &reporter, const Clock &clock, PortInput *replay,
                         QObject *parent)
    : QObject(parent),
      m_reporter(reporter),
      m_replay(replay),
      m_comm(&clock),
      m_file(m_def, m_faults, &m_notices),
      m_cycle(m_def, replay ? *replay : static_cast<PortInput &>(m_comm), display, m_file, clock)
{
    m_comm.setObjectName(QStringLiteral("MSComm1"));
    m_file.setClaimFolder(true);
    if (!m_replay)
        connect(&m_comm, &MSComm::received, &m_cycle, &AcquisitionCycle::wake);
    connect(&m_comm, &MSComm::OnComm, this, &Acquisition::onComm);
    connect(&m_cycle, &AcquisitionCycle::recordDone, this, &Acquisition::recordDone);
    connect(&m_cycle, &AcquisitionCycle::messageParsed, this, &Acquisition::messageParsed);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &Acquisition::lookForDevice);
    m_drain.setSingleShot(true);
    connect(&m_drain, &QTimer::timeout, this, &Acquisition::drainBacklog);
    m_noMessage.setSingleShot(true);
    connect(&m_noMessage, &QTimer::timeout, this, &Acquisition::onNoMessage);
    connect(&m_cycle, &AcquisitionCycle::messageJudged, this, &Acquisition::onMessageJudged);
    connect(&m_comm, &MSComm::inputOverflow, this, [this](bool overflowing, quint64 dropped) {
        if (overflowing)
            emit inputOverflow(dropped);
        else
            emit inputOverflowEnded(dropped);
    });
}

Acquisition::~Acquisition()
{
    shutdown();
}

void Acquisition::setDevice(const QString &path)
{
    m_comm.setDevice(path);
}

QString Acquisition::device() const
{
    return m_comm.device();
}

void Acquisition::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

bool Acquisition::start()
{
    if (!m_def.Stop_Flag || m_state != State::Stopped)
        return isPortOpen();
    // A folder that cannot be claimed yet (not there, read-only) is claimed
    // when the first record goes in, and its fault is reported then.
    if (m_file.claimFolder() == FolderLock::Result::Busy) {
        emit folderInUse(FolderLock::busyText(nativepath::display(m_def.Save_Path), m_file.folderHolder()));
        return false;
    }
    m_def.Stop_Flag = false;
    const bool open = m_replay || Init_Comm(m_comm, m_def, m_reporter);
    m_silent = false;
    m_badChecksums = m_unparsable = 0;
    m_sinceValid.start();
    if (!open && m_keepTrying) {
        waitForDevice();
        return false;
    }
    setState(State::Running);
    if (open)
        watchLine();
    m_cycle.wake();
    return open;
}

void Acquisition::stop()
{
    if (m_state == State::Stopped)
        return;
    m_retry.stop();
    m_noMessage.stop();
    m_def.Stop_Flag = true;
    m_comm.setPortOpen(false);
    setState(State::Stopped);
    m_cycle.wake();
    releaseFolderWhenDone();
}

void Acquisition::releaseFolderWhenDone()
{
    if (m_state == State::Stopped && m_file.backlog() == 0)
        m_file.releaseFolder();
}

void Acquisition::restart()
{
    m_cycle.restart();
}

void Acquisition::shutdown()
{
    m_retry.stop();
    m_drain.stop();
    m_noMessage.stop();
    m_def.Stop_Flag = true;
    m_cycle.shutdown();
    m_comm.setPortOpen(false);
    setState(State::Stopped);
    m_file.releaseFolder();
}

void Acquisition::onComm()
{
    const qint16 code = m_comm.CommEvent();
    if (code == MSComm::comEvDeviceLost)
        onDeviceLost();
    else
        emit lineEvent(code);
}

void Acquisition::onDeviceLost()
{
    // The port has been closed already. The cycle goes idle as after STOP,
    // so that it syncs again on the line when the device is back.
    if (m_state != State::Running)
        return;
    waitForDevice();
    emit deviceLost();
}

void Acquisition::waitForDevice()
{
    m_def.Stop_Flag = true;
    m_noMessage.stop();
    m_refusalReported = false;
    m_gap.start();
    m_retry.start();
    setState(State::WaitingForDevice);
    m_cycle.wake();
}

void Acquisition::lookForDevice()
{
    // The same device with the settings START gave it; a failure here is
    // the device still being away, not something to report.
    m_comm.clearError();
    const bool open = m_comm.reopen();
    const QString why = !m_comm.otherDevice().isEmpty() ? m_comm.otherDevice()
        : m_comm.lockHolder() != 0                      ? m_comm.lastErrorDetail()
                                                        : QString();
    m_comm.clearError();
    if (!open) {
        if (!why.isEmpty() && !m_refusalReported) {
            m_refusalReported = true;
            emit deviceRefused(why);
        }
        return;
    }
    m_retry.stop();
    watchLine();
    // What was being assembled when the line went away has lost its end.
    m_cycle.dropPartialMessage();
    m_def.Stop_Flag = false;
    setState(State::Running);
    emit deviceBack(m_gap.elapsed());
    m_cycle.wake();
}

void Acquisition::watchLine()
{
    // The port has (re)opened: it has the whole time to give a message.
    // Once reported, only a valid message ends the episode. The time the
    // device was away is told by deviceLost/deviceBack, not counted here.
    if (!m_silent) {
        m_sinceValid.start();
        m_badChecksums = m_unparsable = 0;
        m_noMessage.start(m_noMessageMs);
    }
}

void Acquisition::onMessageJudged(AcquisitionCycle::Verdict verdict)
{
    if (verdict == AcquisitionCycle::Verdict::ChecksumFailed) {
        ++m_badChecksums;
        return;
    }
    if (verdict == AcquisitionCycle::Verdict::Unparsable) {
        ++m_unparsable;
        return;
    }
    if (m_silent) {
        m_silent = false;
        emit validMessagesBack(m_sinceValid.elapsed(), m_badChecksums, m_unparsable);
    }
    m_badChecksums = m_unparsable = 0;
    m_sinceValid.start();
    if (m_state == State::Running && (m_replay || isPortOpen()))
        m_noMessage.start(m_noMessageMs);
    const QByteArray status = m_cycle.fields().Fld5;
    if (status != m_sensorStatus) {
        m_sensorStatus = status;
        emit sensorStatusChanged(status);
    }
}

void Acquisition::onNoMessage()
{
    if (m_silent || m_state != State::Running)
        return;
    m_silent = true;
    emit noValidMessages(m_sinceValid.elapsed(), m_badChecksums, m_unparsable);
}

void Acquisition::announceStored()
{
    const QByteArray file = m_file.lastWritten();
    const qint64 bytes = m_file.lastWrittenSize();
    if (file.isEmpty() || (file == m_storedFile && bytes == m_storedBytes))
        return;
    m_storedFile = file;
    m_storedBytes = bytes;
    emit stored(file, bytes);
}

void Acquisition::recordDone(bool written)
{
    announceStored();
    if (!written) {
        m_faults.noteLoss();
        if (!m_drain.isActive())
            m_drain.start(kRetryMs);
    }
    if (!written || m_file.backlog() > 0)
        emit backlogChanged(m_file.backlog(), m_faults.lost());
    else
        m_faults.cleared();
}

void Acquisition::drainBacklog()
{
    // A few milliseconds at a time, so that the cycle keeps reading while a
    // long backlog is written.
    constexpr int kBudgetMs = 20;
    const bool taken = m_file.writeBacklog(kBudgetMs);
    backlogMoved();
    if (m_file.backlog() > 0)
        m_drain.start(taken ? 0 : kRetryMs);
}

void Acquisition::backlogMoved()
{
    announceStored();
    emit backlogChanged(m_file.backlog(), m_faults.lost());
    if (m_file.backlog() == 0) {
        m_faults.cleared();
        releaseFolderWhenDone();
    }
}

bool Acquisition::writeBacklog()
{
    m_drain.stop();
    while (m_file.backlog() > 0 && m_file.writeBacklog(kRetryMs)) { }
    backlogMoved();
    return m_file.backlog() == 0;
}

void Acquisition::FaultEpisodes::report(const QString &text)
{
    if (m_inFault)
        return;
    m_inFault = true;
    m_lossReported = false;
    m_delayedBefore = m_engine.m_file.recordsDelayed();
    m_droppedBefore = m_engine.m_file.recordsDropped();
    emit m_engine.fileFault(text);
}

quint64 Acquisition::FaultEpisodes::lost() const
{
    return m_inFault ? m_engine.m_file.recordsDropped() - m_droppedBefore : 0;
}

void Acquisition::FaultEpisodes::noteLoss()
{
    if (!m_inFault || m_lossReported || lost() == 0)
        return;
    m_lossReported = true;
    emit m_engine.recordsLost(m_engine.m_file.backlog(), lost());
}

void Acquisition::FaultEpisodes::cleared()
{
    if (!m_inFault || m_engine.m_file.backlog() > 0)
        return;
    const quint64 lostNow = lost();
    m_inFault = false;
    emit m_engine.fileFaultCleared(m_engine.m_file.recordsDelayed() - m_delayedBefore, lostNow);
}
