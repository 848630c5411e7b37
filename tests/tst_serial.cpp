#include "acquisition/sorvik7_def.h"
#include "datafile/messagereporter.h"
#include "serial/initcomm.h"
#include "serial/mscomm.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal pair: the test holds the master end, the control opens
// the slave under a port number through SORVIK7_COM<n>.
class Pty
{
public:
    Pty()
    {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(m_master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_master, TCSANOW, &t);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
        ::close(slave);
        m_slaveName = QString::fromLocal8Bit(name);
    }
    ~Pty() { closeMaster(); }
    bool isValid() const { return m_master >= 0; }
    QString slaveName() const { return m_slaveName; }
    void mapTo(int port) const { qputenv(envName(port), m_slaveName.toLocal8Bit()); }
    static QByteArray envName(int port) { return "SORVIK7_COM" + QByteArray::number(port); }
    bool send(const QByteArray &bytes) const { return sendSome(bytes) == bytes.size(); }
    // As much as the line takes now (the master end does not block).
    qsizetype sendSome(const QByteArray &bytes) const
    {
        const ssize_t n = ::write(m_master, bytes.constData(), bytes.size());
        return n > 0 ? n : 0;
    }
    // Whatever the slave side has written so far.
    QByteArray received() const
    {
        QByteArray all;
        char buf[256];
        ssize_t n;
        while ((n = ::read(m_master, buf, sizeof buf)) > 0)
            all.append(buf, n);
        return all;
    }
    termios lineSettings() const
    {
        termios t{};
        ::tcgetattr(m_master, &t);
        return t;
    }
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    QString m_slaveName;
};

class CapturingReporter final : public MessageReporter
{
public:
    void report(const QString &text) override { texts.append(text); }
    QStringList texts;
};

// Counters the test sets by hand; the control takes ownership of the source,
// the test keeps a pointer to the shared numbers.
class ScriptedCounters final : public LineCounterSource
{
public:
    struct State
    {
        std::optional<LineCounters> value = LineCounters{};
        int reads = 0;
    };
    explicit ScriptedCounters(State *state) : m_state(state) {}
    std::optional<LineCounters> read(qintptr) override
    {
        ++m_state->reads;
        return m_state->value;
    }

private:
    State *m_state;
};

double cpuSeconds()
{
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6;
}

using Codes = QList<qint16>;

} // namespace

Q_DECLARE_METATYPE(LineCounters)

class tst_serial : public QObject
{
    Q_OBJECT
private slots:
    void cleanup()
    {
        for (int port : { 1, 2, 3, 4, 7, 200 })
            qunsetenv(Pty::envName(port));
    }

    void deviceForPort_data();
    void deviceForPort();
    void initCommOpensWithLineSettings();
    void settings_data();
    void settings();
    void openFailures_data();
    void openFailures();
    void closedPortAnswers();
    void pendingCountAndRead();
    void backlogIsKeptAndCountClamped();
    void farEndClosedWhileOpen();
    void lineErrorCounters_data();
    void lineErrorCounters();
    void driverWithoutCountersIsNotPolled();
};

void tst_serial::deviceForPort_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("env");
    QTest::addColumn<QString>("device");

    QTest::newRow("COM1 default") << 1 << QByteArray() << "/dev/ttyS0";
    QTest::newRow("COM4 default") << 4 << QByteArray() << "/dev/ttyS3";
    QTest::newRow("COM1 on a USB adapter") << 1 << QByteArray("/dev/ttyUSB0") << "/dev/ttyUSB0";
    QTest::newRow("COM200 by id") << 200 << QByteArray("/dev/serial/by-id/usb-x") << "/dev/serial/by-id/usb-x";
    QTest::newRow("empty variable") << 2 << QByteArray("") << "/dev/ttyS1";
    QTest::newRow("COM0") << 0 << QByteArray() << QString();
    QTest::newRow("COM256") << 256 << QByteArray() << QString();
}

void tst_serial::deviceForPort()
{
    QFETCH(int, port);
    QFETCH(QByteArray, env);
    QFETCH(QString, device);
    if (!env.isNull())
        qputenv(Pty::envName(port), env);
    // Another port's mapping must not leak into this one.
    qputenv(Pty::envName(port + 1), "/dev/wrong");
    QCOMPARE(MSComm::deviceForPort(port), device);
    qunsetenv(Pty::envName(port + 1));
}

void tst_serial::initCommOpensWithLineSettings()
{
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(3);
    sorvik7_def def;
    def.Com_Port = 3;
    CapturingReporter reporter;
    MSComm comm;

    QVERIFY(Init_Comm(comm, def, reporter));
    QCOMPARE(reporter.texts, QStringList());
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.lastError(), 0);
    QCOMPARE(comm.CommPort(), 3);
    QCOMPARE(comm.InputLen(), 1);
    QVERIFY(comm.DTREnable() && comm.RTSEnable());

    const termios t = pty.lineSettings();
    QCOMPARE(cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));

    // STOP then START reopens the same port.
    comm.setPortOpen(false);
    QVERIFY(!comm.PortOpen());
    QVERIFY(Init_Comm(comm, def, reporter));
    QCOMPARE(reporter.texts, QStringList());
}

void tst_serial::settings_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("valid");
    // A pseudo-terminal always runs 8 data bits without parity, so only
    // the speed and the stop bits show on it.
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStop");

    QTest::newRow("9600,N,8,1") << "9600,N,8,1" << true << int(B9600) << false;
    QTest::newRow("19200,E,7,2") << "19200,E,7,2" << true << int(B19200) << true;
    QTest::newRow("4800,o,7,1") << "4800,o,7,1" << true << int(B4800) << false;
    QTest::newRow("bad parity") << "9600,X,8,1" << false << 0 << false;
    QTest::newRow("nine data bits") << "9600,N,9,1" << false << 0 << false;
    QTest::newRow("three stop bits") << "9600,N,8,3" << false << 0 << false;
    QTest::newRow("zero baud") << "0,N,8,1" << false << 0 << false;
    QTest::newRow("missing field") << "9600,N,8" << false << 0 << false;
    QTest::newRow("text") << "fast" << false << 0 << false;
}

void tst_serial::settings()
{
    QFETCH(QString, settings);
    QFETCH(bool, valid);
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(2);
    MSComm comm;
    comm.setCommPort(2);
    comm.setSettings(settings);

    if (!valid) {
        QCOMPARE(comm.lastError(), int(MSComm::errBadSettings));
        QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
        return;
    }
    QCOMPARE(comm.lastError(), 0);
    QCOMPARE(comm.Settings(), settings);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    const termios t = pty.lineSettings();
    QTEST(int(cfgetispeed(&t)), "speed");
    QTEST(bool(t.c_cflag & CSTOPB), "twoStop");

    // A bad string while open leaves the open port as it was.
    comm.setSettings(QStringLiteral("9600,Q,8,1"));
    QCOMPARE(comm.lastError(), int(MSComm::errBadSettings));
    QCOMPARE(comm.Settings(), settings);
    QVERIFY(comm.PortOpen());
}

void tst_serial::openFailures_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");   // "pty": a live pty that another control already holds
    QTest::addColumn<QString>("message");

    QTest::newRow("missing device") << 7 << "/dev/sorvik7-no-such-port" << "Error : <COM7> 8002";
    QTest::newRow("COM0") << 0 << QString() << "Error : <COM0> 8002";
    QTest::newRow("COM256") << 256 << QString() << "Error : <COM256> 8002";
    QTest::newRow("not a serial device") << 4 << "/dev/null" << "Error : <COM4> 8015";
    QTest::newRow("held by another") << 1 << "pty" << "Error : <COM1> 8010";
}

void tst_serial::openFailures()
{
    QFETCH(int, port);
    QFETCH(QString, device);
    QFETCH(QString, message);
    Pty pty;
    MSComm holder;
    if (device == u"pty") {
        QVERIFY(pty.isValid());
        pty.mapTo(port);
        holder.setCommPort(port);
        holder.setPortOpen(true);
        QVERIFY(holder.PortOpen());
    } else if (!device.isEmpty()) {
        qputenv(Pty::envName(port), device.toLocal8Bit());
    }
    sorvik7_def def;
    def.Com_Port = qint16(port);
    CapturingReporter reporter;
    MSComm comm;

    QVERIFY(!Init_Comm(comm, def, reporter));
    QCOMPARE(reporter.texts, QStringList{ message });
    QCOMPARE(comm.lastError(), 0);
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.InBufferCount(), qint16(0));
}

void tst_serial::closedPortAnswers()
{
    MSComm comm;
    comm.discardInput();
    QCOMPARE(comm.InBufferCount(), qint16(0));
    QCOMPARE(comm.Input(), QByteArray());
    comm.setPortOpen(false);
    QCOMPARE(comm.lastError(), 0);

    // Opening the same control twice is refused and leaves it open.
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(1);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    comm.setPortOpen(true);
    QCOMPARE(comm.lastError(), int(MSComm::errPortAlreadyOpen));
    QVERIFY(comm.PortOpen());
    comm.setPortOpen(false);
    comm.setPortOpen(false);
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.InBufferCount(), qint16(0));
}

void tst_serial::pendingCountAndRead()
{
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(1);
    sorvik7_def def;
    CapturingReporter reporter;
    MSComm comm;
    QVERIFY(Init_Comm(comm, def, reporter));

    QVERIFY(pty.send("ABCDE"));
    QTRY_COMPARE(comm.InBufferCount(), qint16(5));
    QCOMPARE(comm.Input(), QByteArray("A"));
    QCOMPARE(comm.InBufferCount(), qint16(4));
    comm.discardInput();
    QCOMPARE(comm.InBufferCount(), qint16(0));

    // Control characters and the upper half arrive as the same bytes.
    const QByteArray bytes("\x00\x02\xE9\xFF\r\n", 6);
    QVERIFY(pty.send(bytes));
    QTRY_COMPARE(comm.InBufferCount(), qint16(bytes.size()));
    QByteArray got;
    while (comm.InBufferCount() > 0)
        got += comm.Input();
    QCOMPARE(got, bytes);

    comm.setInputLen(0);
    QVERIFY(pty.send("xyz"));
    QTRY_COMPARE(comm.InBufferCount(), qint16(3));
    QCOMPARE(comm.Input(), QByteArray("xyz"));

    // The logger only listens: no echo, no handshake bytes, nothing.
    QTest::qWait(50);
    QCOMPARE(pty.received(), QByteArray());
    comm.setPortOpen(false);
    QCOMPARE(pty.received(), QByteArray());
}

void tst_serial::backlogIsKeptAndCountClamped()
{
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(1);
    MSComm comm;
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());

    QByteArray sent;
    for (int i = 0; i < 40000; ++i)
        sent.append(char(i % 251));
    qsizetype written = 0;
    QDeadlineTimer deadline(10000);
    while (written < sent.size() && !deadline.hasExpired()) {
        written += pty.sendSome(sent.mid(written, 1024));
        QTest::qWait(1);
    }
    QCOMPARE(written, sent.size());
    QTRY_COMPARE(comm.InBufferCount(), qint16(32767));
    comm.setInputLen(0);
    QByteArray got = comm.Input();
    QTRY_VERIFY((got += comm.Input()).size() >= sent.size());
    QCOMPARE(got, sent);
}

void tst_serial::farEndClosedWhileOpen()
{
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(1);
    MSComm comm;
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QSignalSpy spy(&comm, &MSComm::OnComm);

    pty.closeMaster();
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(comm.CommEvent(), qint16(MSComm::comEvDeviceLost));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.InBufferCount(), qint16(0));

    const double before = cpuSeconds();
    QTest::qWait(1000);
    const double used = cpuSeconds() - before;
    QVERIFY2(used < 0.1, qPrintable(QStringLiteral("%1 s of CPU in 1 s").arg(used)));
    QCOMPARE(spy.count(), 1);
}

void tst_serial::lineErrorCounters_data()
{
    QTest::addColumn<LineCounters>("after");
    QTest::addColumn<Codes>("codes");

    const LineCounters base{ 3, 3, 3, 3, 3 };
    auto with = [&](int LineCounters::*field, int value) {
        LineCounters c = base;
        c.*field = value;
        return c;
    };
    QTest::newRow("nothing") << base << Codes{};
    QTest::newRow("one framing error") << with(&LineCounters::frame, 4) << Codes{ MSComm::comEvFrame };
    QTest::newRow("burst of framing errors") << with(&LineCounters::frame, 90) << Codes{ MSComm::comEvFrame };
    QTest::newRow("overrun") << with(&LineCounters::overrun, 4) << Codes{ MSComm::comEvOverrun };
    QTest::newRow("parity") << with(&LineCounters::parity, 4) << Codes{ MSComm::comEvRxParity };
    QTest::newRow("break") << with(&LineCounters::brk, 4) << Codes{ MSComm::comEvBreak };
    QTest::newRow("buffer overrun") << with(&LineCounters::buf_overrun, 4) << Codes{ MSComm::comEvRxOver };
    QTest::newRow("counter went down") << with(&LineCounters::frame, 0) << Codes{};
    QTest::newRow("all at once") << LineCounters{ 4, 5, 6, 7, 8 }
                                 << Codes{ MSComm::comEvBreak, MSComm::comEvFrame, MSComm::comEvOverrun,
                                           MSComm::comEvRxOver, MSComm::comEvRxParity };
}

void tst_serial::lineErrorCounters()
{
    QFETCH(LineCounters, after);
    QFETCH(Codes, codes);
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(1);
    ScriptedCounters::State state;
    state.value = LineCounters{ 3, 3, 3, 3, 3 };
    MSComm comm;
    comm.setCounterSource(std::make_unique<ScriptedCounters>(&state));
    comm.setCounterPollInterval(5);
    Codes seen;
    connect(&comm, &MSComm::OnComm, this, [&] { seen.append(comm.CommEvent()); });
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());

    // Errors counted before the open are not reported.
    QTRY_VERIFY(state.reads >= 3);
    QCOMPARE(seen, Codes{});

    state.value = after;
    const int readsBefore = state.reads;
    QTRY_VERIFY(state.reads >= readsBefore + 5);
    QCOMPARE(seen, codes);

    // Once closed, nothing is polled and nothing more is reported.
    comm.setPortOpen(false);
    const int readsAtClose = state.reads;
    state.value = LineCounters{ 99, 99, 99, 99, 99 };
    QTest::qWait(30);
    QCOMPARE(state.reads, readsAtClose);
    QCOMPARE(seen, codes);
}

void tst_serial::driverWithoutCountersIsNotPolled()
{
    Pty pty;
    QVERIFY(pty.isValid());
    pty.mapTo(1);
    ScriptedCounters::State state;
    state.value = std::nullopt;
    MSComm comm;
    comm.setCounterSource(std::make_unique<ScriptedCounters>(&state));
    comm.setCounterPollInterval(5);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QTest::qWait(40);
    QCOMPARE(state.reads, 1);
}

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
