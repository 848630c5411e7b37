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
// had to wait and the number lost (fileFaultCleared). Records are lost only
// past the backlog limit, and that is reported when it begins (recordsLost).
//
// From START on the engine holds the data folder (FolderLock) until STOP
// and the last waiting record: START on a folder that another program
// holds is refused (folderInUse).
//
// It also watches the line for the front end: an open port that gives no
// valid message for a while (noValidMessages, once, and validMessagesBack
// when they return), a change of the sensor's status code (field 5, "00"
// when all is well), the receive buffer overflowing (inputOverflow and
// inputOverflowEnded, once per episode), and a device that is there again
// but is not the one that went away, or is held by another program
// (deviceRefused, once per wait).
class Acquisition : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Stopped, // Stop_Flag set by STOP, or never started
        Running, // started; the port is open, or failed to open at START
        WaitingForDevice, // started, but the device has gone; looking for it
    };
    Q_ENUM(State)

    // How often a device that has gone, or a data folder that refuses
    // records, is tried again.
    static constexpr int kRetryMs = 1000;
    // How long an open port may give no valid message before it is reported.
    static constexpr int kNoMessageAlarmMs = 30000;
    // The sensor's status when all is well.
    static constexpr char kStatusOk[] = "00";

    // With `replay`, the cycle reads recorded input from it instead of the
    // serial port, and START and STOP leave the port alone.
    Acquisition(CycleDisplay &display, MessageReporter &reporter, const Clock &clock, PortInput *replay = nullptr,
                QObject *parent = nullptr);
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
    // How long an open port may give no valid message (kNoMessageAlarmMs).
    void setNoMessageAlarmMs(int ms) { m_noMessageMs = ms; }
    // The sensor's status code in the last valid message.
    QByteArray sensorStatus() const { return m_sensorStatus; }
    bool inputOverflowing() const { return m_comm.inputOverflowing(); }
    // The process that holds the device, when START found it held; 0 otherwise.
    qint64 deviceHolder() const { return m_comm.lockHolder(); }
    // Flush every record to the storage device (the default).
    void setSyncToDevice(bool on) { m_file.setSyncToDevice(on); }
    // How many records may wait for the data folder (at least
    // DataFile::kMinBacklogLimit); later ones are lost and counted.
    void setBacklogLimit(qsizetype limit) { m_file.setBacklogLimit(limit); }

    // START: Stop_Flag false, then Init_Comm. Returns whether the port is
    // open. Refused, and stopped still, when another program holds the data
    // folder (folderInUse).
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
    // Records lost since the start because the backlog was full.
    quint64 recordsDropped() const { return m_file.recordsDropped(); }
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
    // START was refused: another program writes into the data folder (one
    // line naming the folder and the holder).
    void folderInUse(const QString &text);
    // The day file failed (the report's text); later failures of the same
    // episode are not reported again.
    void fileFault(const QString &text);
    // The backlog limit has been reached during a fault: from now on new
    // records are lost. Once per episode, with the records waiting and lost.
    void recordsLost(qsizetype waiting, quint64 lost);
    // Every record is in its file again after a fault during which
    // `writtenLate` records had to wait and `lost` were lost (the backlog
    // being full).
    void fileFaultCleared(quint64 writtenLate, quint64 lost);
    // The records waiting for the data folder, or those lost in the current
    // fault, have changed.
    void backlogChanged(qsizetype waiting, quint64 lost);
    // Something in a day file was mended without a fault (a torn last line
    // closed); one line.
    void fileNotice(const QString &text);
    // The open port has given no valid message for `ms`: so many messages
    // failed their checksum and so many could not be parsed meanwhile.
    void noValidMessages(qint64 ms, quint64 checksumFailures, quint64 unparsable);
    // A valid message after noValidMessages, `ms` after the last one before.
    void validMessagesBack(qint64 ms, quint64 checksumFailures, quint64 unparsable);
    // The sensor's status code has changed (kStatusOk: it is well again).
    void sensorStatusChanged(const QByteArray &code);
    // Received characters are being dropped: the line brings more than can
    // be read. `dropped` so far.
    void inputOverflow(quint64 dropped);
    // Nothing more has been dropped for a while; the episode cost `dropped`.
    void inputOverflowEnded(quint64 dropped);
    // While waiting for the device: it is there but is not used (why).
    void deviceRefused(const QString &why);
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
        explicit FaultEpisodes(Acquisition &engine)
            : m_engine(engine)
        {
        }
        void report(const QString &text) override;
        // Reports the first record lost of the episode.
        void noteLoss();
        // Records lost in this episode so far.
        quint64 lost() const;
        // The backlog has been written: the episode, if any, is over.
        void cleared();

    private:
        Acquisition &m_engine;
        bool m_inFault = false;
        bool m_lossReported = false;
        quint64 m_delayedBefore = 0; // delayed records when it began
        quint64 m_droppedBefore = 0; // dropped records when it began
    };

    // Passes the data file's notices on as fileNotice.
    class Notices final : public MessageReporter
    {
    public:
        explicit Notices(Acquisition &engine)
            : m_engine(engine)
        {
        }
        void report(const QString &text) override { emit m_engine.fileNotice(text); }

    private:
        Acquisition &m_engine;
    };

    void setState(State state);
    void onComm();
    void onDeviceLost();
    void lookForDevice();
    void waitForDevice();
    void recordDone(bool written);
    void drainBacklog();
    void backlogMoved();
    // Lets go of the data folder once acquisition has stopped and nothing waits.
    void releaseFolderWhenDone();
    void watchLine();
    void onMessageJudged(AcquisitionCycle::Verdict verdict);
    void onNoMessage();
    void announceStored();

    MessageReporter &m_reporter;
    PortInput *m_replay = nullptr;
    sorvik7_def m_def;
    FaultEpisodes m_faults{*this};
    Notices m_notices{*this};
    MSComm m_comm;
    DataFile m_file;
    AcquisitionCycle m_cycle;
    State m_state = State::Stopped;
    bool m_keepTrying = false;
    QTimer m_retry;
    QTimer m_drain;
    QElapsedTimer m_gap;
    bool m_refusalReported = false;
    // The line watch: messages that failed since the last valid one.
    QTimer m_noMessage;
    int m_noMessageMs = kNoMessageAlarmMs;
    QElapsedTimer m_sinceValid;
    bool m_silent = false;
    quint64 m_badChecksums = 0;
    quint64 m_unparsable = 0;
    QByteArray m_sensorStatus = kStatusOk;
    QByteArray m_storedFile; // what stored() said last
    qint64 m_storedBytes = -1;
};
