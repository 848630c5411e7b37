#pragma once

// The harness that the tests, the fuzzers and the benchmarks share: a clock
// they set, recorded input replayed into the engine, a logger around the
// engine that collects what it reports, good messages and the records they
// make, a pseudo-terminal that COM1 stands for, the built programs found and
// run as processes that end with their parent, the simulated sensor as a
// process read back through its summary.

#include "acquisition/acquisition.h"
#include "acquisition/cycledisplay.h"
#include "common/clock.h"
#include "common/messagereporter.h"
#include "common/portinput.h"
#include "common/sorvik7_def.h"
#include "tools/ptyline.h"
#include "tools/sensorsummary.h"

#include <QProcess>
#include <QStringList>

#include <csignal>
#include <functional>
#include <optional>

// The header of a file made at the test clock's default moment.
inline const QByteArray kHeader = "Gill Format Polar,03/05/21,14:03:07\r\n";

// A clock that shows the time it was set to, optionally moving on by a fixed
// step at every reading of now() (so "23:59:59 then midnight" is one line).
class SettableClock final : public Clock
{
public:
    explicit SettableClock(const QDateTime &t = QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7)))
        : m_now(t)
    {
    }
    void set(const QDateTime &t) { m_now = t; }
    void setStepMs(qint64 ms) { m_stepMs = ms; }
    QDateTime now() const override;
    qint64 msecsSinceEpoch() const override { return m_now.toMSecsSinceEpoch(); }

private:
    mutable QDateTime m_now;
    qint64 m_stepMs = 0;
};

// Keeps what is reported, in order.
struct CollectingReporter : MessageReporter
{
    void report(const QString &text) override { texts << text; }
    QStringList texts;
};

// Recorded input, played back as a receive buffer holds it. Every byte
// carries the arrival stamp set last; a closed port shows nothing waiting.
class ReplayPort final : public PortInput
{
public:
    qint16 InBufferCount() override
    {
        return open ? qint16(std::min<qsizetype>(waiting(), sorvik7::kMaxPendingCount)) : 0;
    }
    void discardInput() override { pos = open ? data.size() : pos; }
    QByteArray Input() override { return data.mid(pos++, 1); }
    qint64 arrivalMs() const override { return stampMs; }

    void append(const QByteArray &bytes) { data += bytes; }
    qsizetype waiting() const { return data.size() - pos; }

    QByteArray data;
    qsizetype pos = 0;
    bool open = true;
    qint64 stampMs = QDateTime(QDate(2003, 5, 21), QTime(14, 3, 7)).toMSecsSinceEpoch();
};

// The engine on replayed input, writing into `folder` at the test clock's
// time, started as START starts it unless `started` is false. It keeps the
// reports, the file faults and what it showed.
class Logger final : public QObject, public CycleDisplay, public MessageReporter
{
    Q_OBJECT
public:
    Logger(const QString &folder, int n, bool debug, bool started = true);
    void showMessage(const QByteArray &msg) override { messages << msg; }
    void showCount(int n) override { counts << n; }
    void report(const QString &text) override { reports << text; }
    // Appends bytes to the line and steps the cycle until it has read them all.
    void feed(const QByteArray &bytes);

    QStringList reports; // port errors, a folder in use, and each file fault once per episode
    QStringList notices; // what the day file mended
    QList<quint64> cleared; // records that each fault episode kept waiting and wrote late
    QList<quint64> lost; // records that each fault episode lost
    QList<QByteArray> messages;
    QList<int> counts;
    SettableClock clock;
    ReplayPort port;
    Acquisition engine{*this, *this, clock, &port};
    sorvik7_def &def = engine.def();
};

// Good sensor messages and the record lines a run must write for them:
// `skip` go by while the cycle synchronises, N-1 fill the window, each later
// one is recorded when the next STX arrives. Speeds are whole and the mean is
// worked in hundredths, rounded half up, so no floating point enters.
struct Traffic
{
    int n;
    bool debug;
    bool checksum = true;
    int skip = 3, count = 0, sent = 0;
    int window[64] = {};

    // `many` messages; the record lines they make are appended to `records`.
    QByteArray messages(int many, QByteArray &records);
};

// One polar message as the simulated sensor sends it.
QByteArray sensorMessage(int direction, double speed, bool checksum = true);

// A record line without the debug columns, at the test clock's time unless told.
QByteArray recordLine(double mean, int direction = 156, const QByteArray &time = "14:03:07");

QByteArray fileBytes(const QString &path);

// The folder the programs were built into: SORVIK7_BIN_DIR (CTest sets
// it), else the build folder above the running test or benchmark.
QString binDir();
// A built program by its path under binDir(), e.g. "tools/sorvik7-sensor".
QString builtProgram(const QString &path);

// A child started by `process` gets `signal` from the kernel when its
// parent ends in any way (a timeout's SIGKILL, Ctrl-C, a crash), so no
// sensor or service outlives its test or benchmark and takes over a
// pseudo-terminal number that a later one gets. Benchmarks ask for SIGTERM,
// so that the child cleans up after itself.
void endWithParent(QProcess &process, int signal = SIGKILL);

// Lets the event loop run for ms.
void runEventLoop(int ms);
// Runs the event loop until `done` holds (true) or ms have passed (false).
bool waitFor(const std::function<bool()> &done, int ms);
// SIGTERM, then waits up to ms (then kills it); true when it ended by itself
// with status 0, as a clean stop does.
bool stopCleanly(QProcess &process, int ms);

// A pseudo-terminal that COM1 stands for, behind `link` when one is given.
// The link goes with the terminal, as a device's name goes when it is
// unplugged: a number the system gives the next pseudo-terminal must not be
// found under the old name.
class Com1Line : public PtyLine
{
public:
    explicit Com1Line(const QString &link = QString());
    ~Com1Line();

private:
    QString m_link;
};

// The simulated sensor as a process: started with `arguments` (add --wait
// for a schedule that starts when a program opens the device), its device
// read from the two lines it prints first (the path, then
// SORVIK7_COM1=path), and what it did read back from its summary.
struct SensorProcess
{
    explicit SensorProcess(const QString &program = builtProgram(QStringLiteral("tools/sorvik7-sensor")));
    ~SensorProcess();
    SensorProcess(const SensorProcess &) = delete;
    SensorProcess &operator=(const SensorProcess &) = delete;

    // False (and *error, when given) when it names no device in time.
    bool start(const QStringList &arguments, QString *error = nullptr);
    // Opens the device as a listener.
    bool listen();
    // Reads what the listener hears until `bytes` have come or the time is up.
    QByteArray read(qsizetype bytes, int timeoutMs = 30000);
    // Waits for the end of the run: a normal exit with code 0.
    bool exitedCleanly();
    // Waits, running the event loop, until it has ended by itself.
    bool waitForEnd(int ms);
    // Ends it now, if it still runs: SIGTERM, then SIGKILL.
    void stop();
    // Its last summary line on stderr, once it has ended.
    std::optional<SensorSummary> summary();
    qint64 pid() const { return process.processId(); }

    QString program;
    QProcess process;
    QString device;
    int fd = -1;
    int endSignal = SIGKILL; // what the kernel sends it should its parent end first

private:
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

// Root ignores permission bits; a check that needs them to count runs as an
// ordinary user (nobody) while this lives.
class AsOrdinaryUser
{
public:
    AsOrdinaryUser();
    ~AsOrdinaryUser();
    AsOrdinaryUser(const AsOrdinaryUser &) = delete;
    AsOrdinaryUser &operator=(const AsOrdinaryUser &) = delete;

private:
    bool m_wasRoot;
};

// A fuzzer's check: aborts, so that the input is kept, when `ok` is false.
void fuzzCheck(bool ok, const char *what);
