#include "acquisition/acquisition.h"

#include "serial/initcomm.h"

Acquisition::Acquisition(CycleDisplay &display, MessageReporter &reporter, const Clock &clock,
                         PortInput *replay, QObject *parent)
    : QObject(parent),
      m_reporter(reporter),
      m_replay(replay),
      m_comm(&clock),
      m_file(m_def, m_faults),
      m_cycle(m_def, replay ? *replay : static_cast<PortInput &>(m_comm), display, m_file, clock)
{
    m_comm.setObjectName(QStringLiteral("MSComm1"));
    if (!m_replay)
        connect(&m_comm, &MSComm::received, &m_cycle, &AcquisitionCycle::wake);
    connect(&m_comm, &MSComm::OnComm, this, &Acquisition::onComm);
    connect(&m_cycle, &AcquisitionCycle::recordDone, this, &Acquisition::recordDone);
    connect(&m_cycle, &AcquisitionCycle::messageParsed, this, &Acquisition::messageParsed);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &Acquisition::lookForDevice);
    m_drain.setSingleShot(true);
    connect(&m_drain, &QTimer::timeout, this, &Acquisition::drainBacklog);
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
    m_def.Stop_Flag = false;
    const bool open = m_replay || Init_Comm(m_comm, m_def, m_reporter);
    if (!open && m_keepTrying) {
        waitForDevice();
        return false;
    }
    setState(State::Running);
    m_cycle.wake();
    return open;
}

void Acquisition::stop()
{
    if (m_state == State::Stopped)
        return;
    m_retry.stop();
    m_def.Stop_Flag = true;
    m_comm.setPortOpen(false);
    setState(State::Stopped);
    m_cycle.wake();
}

void Acquisition::restart()
{
    m_cycle.restart();
}

void Acquisition::shutdown()
{
    m_retry.stop();
    m_drain.stop();
    m_def.Stop_Flag = true;
    m_cycle.shutdown();
    m_comm.setPortOpen(false);
    setState(State::Stopped);
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
    m_comm.setPortOpen(true);
    m_comm.clearError();
    if (!m_comm.PortOpen())
        return;
    m_retry.stop();
    // What was being assembled when the line went away has lost its end.
    m_cycle.dropPartialMessage();
    m_def.Stop_Flag = false;
    setState(State::Running);
    emit deviceBack(m_gap.elapsed());
    m_cycle.wake();
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
    if (written)
        m_faults.cleared();
    else if (!m_drain.isActive())
        m_drain.start(kRetryMs);
    if (!written || m_file.backlog() > 0)
        emit backlogChanged(m_file.backlog());
}

void Acquisition::drainBacklog()
{
    // A few milliseconds at a time, so that the cycle keeps reading while a
    // long backlog is written.
    constexpr int kBudgetMs = 20;
    const bool taken = m_file.writeBacklog(kBudgetMs);
    announceStored();
    emit backlogChanged(m_file.backlog());
    if (m_file.backlog() == 0)
        m_faults.cleared();
    else
        m_drain.start(taken ? 0 : kRetryMs);
}

bool Acquisition::writeBacklog()
{
    m_drain.stop();
    while (m_file.backlog() > 0 && m_file.writeBacklog(kRetryMs)) {
    }
    announceStored();
    emit backlogChanged(m_file.backlog());
    if (m_file.backlog() > 0)
        return false;
    m_faults.cleared();
    return true;
}

void Acquisition::FaultEpisodes::report(const QString &text)
{
    if (m_inFault)
        return;
    m_inFault = true;
    m_lostBefore = m_engine.m_file.recordsDelayed() + m_engine.m_file.recordsDropped();
    emit m_engine.fileFault(text);
}

void Acquisition::FaultEpisodes::cleared()
{
    if (!m_inFault)
        return;
    m_inFault = false;
    const quint64 lost = m_engine.m_file.recordsDelayed() + m_engine.m_file.recordsDropped();
    emit m_engine.fileFaultCleared(lost - m_lostBefore);
}
