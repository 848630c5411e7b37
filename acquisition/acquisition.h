#pragma once

#include "acquisition/acquisitioncycle.h"
#include "common/messagereporter.h"
#include "common/sorvik7_def.h"
#include "datafile/datafile.h"
#include "serial/mscomm.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class Clock;
class CycleDisplay;
class PortInput;

// The acquisition engine that every front end runs: it owns the shared state
// sorvik7_def, the serial control, the day file and the acquisition cycle,
// and wires them together once. The front end hands in where the last
// message and the counter are shown, where errors are reported and the clock,
// sets the operator's choices in def(), and drives it with START, STOP and
// restart (the cycle's entry steps).
//
// A device that goes away while acquisition runs is closed and looked for
// again every second; when the same device opens again, acquisition resumes
// as STOP then START would. A failing day file is reported once per episode
// (fileFault); acquisition goes on meanwhile, the records that cannot be
// written are kept and written in order once the folder takes them again,
// and the end of the episode is reported with the number of records that
// had to wait (fileFaultCleared).
class Acquisition : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Stopped,          // Stop_Flag set by STOP, or never started
        Running,          // started; the port is open, or failed to open at START
        WaitingForDevice, // started, but the device has gone; looking for it
    };
    Q_ENUM(State)

    // How often a device that has gone, or a data folder that refuses
    // records, is tried again.
    static constexpr int kRetryMs = 1000;

    // With `replay`, the cycle reads recorded input from it instead of the
    // serial port, and START and STOP leave the port alone.
    Acquisition(CycleDisplay &display, MessageReporter &reporter, const Clock &clock,
                PortInput *replay = nullptr, QObject *parent = nullptr);
    ~Acquisition() override;

    sorvik7_def &def() { return m_def; }
    const sorvik7_def &def() const { return m_def; }

    // Opens this device at START instead of the one Com_Port stands for
    // (empty: Com_Port's).
    void setDevice(const QString &path);
    // The device START opens.
    QString device() const;
    // When set, a START whose port does not open waits for the device as
    // after it went away, instead of running on a closed port.
    void setKeepTrying(bool on) { m_keepTrying = on; }
    // Flush every record to the storage device (the default).
    void setSyncToDevice(bool on) { m_file.setSyncToDevice(on); }

    // START: Stop_Flag false, then Init_Comm. Returns whether the port is open.
    bool start();
    // STOP: Stop_Flag true, the port closed; also ends waiting for a device.
    void stop();
    // The cycle's entry steps (the main window's activation).
    void restart();
    // Ends acquisition for good: the program is ending.
    void shutdown();

    State state() const { return m_state; }
    bool isPortOpen() const { return m_comm.PortOpen(); }
    const AcquisitionCycle &cycle() const { return m_cycle; }
    // One step of the cycle, as after one pacing period, for driving it
    // deterministically (the tests and the fuzzer).
    void step() { m_cycle.step(); }
    quint64 recordsWritten() const { return m_file.recordsWritten(); }
    // Records waiting for the data folder to take them.
    qsizetype backlog() const { return m_file.backlog(); }
    // Writes every waiting record now (the program is ending); false when
    // the folder still refuses them.
    bool writeBacklog();
    // The day file of the last record; empty before the first.
    QString dataPath() const { return m_file.Data_Path(); }

signals:
    void stateChanged(Acquisition::State state);
    // A line error (MSComm's codes 1001 to 1011).
    void lineEvent(qint16 code);
    // The device went away while acquisition ran; it is being looked for.
    void deviceLost();
    // The device opened again after gapMs; acquisition has resumed.
    void deviceBack(qint64 gapMs);
    // The day file failed (the report's text); later failures of the same
    // episode are not reported again.
    void fileFault(const QString &text);
    // Every record is in its file again after a fault during which
    // `affected` records had to wait (or were lost, the backlog being full).
    void fileFaultCleared(quint64 affected);
    // The number of records waiting for the data folder has changed.
    void backlogChanged(qsizetype waiting);
    // Records are in `file` (its path as the file system spells it), which
    // is now `bytes` long on the storage device.
    void stored(const QByteArray &file, qint64 bytes);
    // A message gave a speed (in the fill phase too); before its record.
    void messageParsed(const ParsedMessage &message);

private:
    // The day file's failures, gathered into one report per episode.
    class FaultEpisodes final : public MessageReporter
    {
    public:
        explicit FaultEpisodes(Acquisition &engine) : m_engine(engine) {}
        void report(const QString &text) override;
        // The backlog has been written: the episode, if any, is over.
        void cleared();

    private:
        Acquisition &m_engine;
        bool m_inFault = false;
        quint64 m_lostBefore = 0;   // delayed and dropped records when it began
    };

    void setState(State state);
    void onComm();
    void onDeviceLost();
    void lookForDevice();
    void waitForDevice();
    void recordDone(bool written);
    void drainBacklog();
    void announceStored();

    MessageReporter &m_reporter;
    PortInput *m_replay = nullptr;
    sorvik7_def m_def;
    FaultEpisodes m_faults{*this};
    MSComm m_comm;
    DataFile m_file;
    AcquisitionCycle m_cycle;
    State m_state = State::Stopped;
    bool m_keepTrying = false;
    QTimer m_retry;
    QTimer m_drain;
    QElapsedTimer m_gap;
    QByteArray m_storedFile;     // what stored() said last
    qint64 m_storedBytes = -1;
};
