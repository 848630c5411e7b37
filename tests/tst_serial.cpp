#include "acquisition/sorvik7_def.h"
#include "datafile/messagereporter.h"
#include "serial/initcomm.h"
#include "serial/mscomm.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray envName(int port) { return "SORVIK7_COM" + QByteArray::number(port); }

// A raw pseudo-terminal pair. The test keeps the master end; the slave is
// what the control opens, reached as COM<port> through SORVIK7_COM<port>.
struct Pty
{
    explicit Pty(int port)
    {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        ::close(slave);
        qputenv(envName(port), name);
    }
    ~Pty() { closeMaster(); }
    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    qsizetype send(const QByteArray &bytes) const
    {
        return qMax<ssize_t>(0, ::write(master, bytes.constData(), bytes.size()));
    }
    QByteArray received() const
    {
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        return n > 0 ? QByteArray(buf, n) : QByteArray();
    }
    termios lineSettings() const
    {
        termios t{};
        ::tcgetattr(master, &t);
        return t;
    }
    int master = -1;
};

struct CapturingReporter final : MessageReporter
{
    void report(const QString &text) override { texts.append(text); }
    QStringList texts;
};

// Counters set by the test; the control owns the source, the test the numbers.
struct ScriptedCounters final : LineCounterSource
{
    struct State
    {
        std::optional<LineCounters> value = LineCounters{ 3, 3, 3, 3, 3 };
        int reads = 0;
    };
    explicit ScriptedCounters(State *s) : state(s) {}
    std::optional<LineCounters> read(qintptr) override
    {
        ++state->reads;
        return state->value;
    }
    State *state;
};

double cpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }   // of the whole process

using Codes = QList<qint16>;

} // namespace

Q_DECLARE_METATYPE(LineCounters)

class tst_serial : public QObject
{
    Q_OBJECT
private slots:
    void cleanup()
    {
        for (int port : { 1, 2, 3, 4, 7 })
            qunsetenv(envName(port));
    }
private:
    QTemporaryDir m_dir;
private slots:

    void deviceForPort()
    {
        QCOMPARE(MSComm::deviceForPort(4), QStringLiteral("/dev/ttyS3"));
        qputenv(envName(1), "/dev/ttyUSB0");
        qputenv(envName(2), "");
        QCOMPARE(MSComm::deviceForPort(1), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(MSComm::deviceForPort(2), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(MSComm::deviceForPort(0), QString());
        QCOMPARE(MSComm::deviceForPort(256), QString());
    }

    void initCommOpens()
    {
        Pty pty(3);
        sorvik7_def def;
        def.Com_Port = 3;
        CapturingReporter reporter;
        MSComm comm;
        QVERIFY(Init_Comm(comm, def, reporter));
        QCOMPARE(reporter.texts, QStringList());
        QCOMPARE(comm.lastError(), 0);
        QCOMPARE(comm.InputLen(), 1);

        const termios t = pty.lineSettings();
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));

        comm.setPortOpen(false);   // STOP, then START again
        QVERIFY(!comm.PortOpen());
        QVERIFY(Init_Comm(comm, def, reporter));
        QCOMPARE(reporter.texts, QStringList());
    }

    // A pseudo-terminal always runs 8 data bits without parity, so only the
    // speed and the stop bits show on it.
    void settings_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<int>("speed");   // 0: refused
        QTest::addColumn<bool>("twoStop");
        QTest::newRow("19200,E,7,2") << "19200,E,7,2" << int(B19200) << true;
        QTest::newRow("4800,o,7,1") << "4800,o,7,1" << int(B4800) << false;
        QTest::newRow("bad parity") << "9600,X,8,1" << 0 << false;
        QTest::newRow("three stop bits") << "9600,N,8,3" << 0 << false;
        QTest::newRow("missing field") << "9600,N,8" << 0 << false;
    }
    void settings()
    {
        QFETCH(QString, settings);
        QFETCH(int, speed);
        Pty pty(2);
        MSComm comm;
        comm.setCommPort(2);
        comm.setSettings(settings);
        if (speed == 0) {
            QCOMPARE(comm.lastError(), int(MSComm::errBadSettings));
            QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));
            return;
        }
        QCOMPARE(comm.lastError(), 0);
        comm.setPortOpen(true);
        QVERIFY(comm.PortOpen());
        const termios t = pty.lineSettings();
        QCOMPARE(int(cfgetispeed(&t)), speed);
        QTEST(bool(t.c_cflag & CSTOPB), "twoStop");
    }

    void openFailures_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("device");   // "pty": one that another control holds
        QTest::addColumn<QString>("message");
        // Devices live in a private folder: QSerialPort locks by name, and
        // parallel runs would otherwise see each other's locks.
        QTest::newRow("missing device") << 7 << QByteArray("missing") << "Error : <COM7> 8002";
        QTest::newRow("COM0") << 0 << QByteArray() << "Error : <COM0> 8002";
        QTest::newRow("plain file") << 4 << QByteArray("file") << "Error : <COM4> 8015";
        QTest::newRow("held by another") << 1 << QByteArray("pty") << "Error : <COM1> 8010";
    }
    void openFailures()
    {
        QFETCH(int, port);
        QFETCH(QByteArray, device);
        std::optional<Pty> pty;
        MSComm holder;
        if (device == "pty") {
            pty.emplace(port);
            holder.setCommPort(port);
            holder.setPortOpen(true);
            QVERIFY(holder.PortOpen());
        } else if (!device.isEmpty()) {
            const QString path = m_dir.filePath(QString::fromLatin1(device));
            if (device == "file")
                QVERIFY(QFile(path).open(QIODevice::WriteOnly));
            qputenv(envName(port), path.toLocal8Bit());
        }
        sorvik7_def def;
        def.Com_Port = qint16(port);
        CapturingReporter reporter;
        MSComm comm;
        QVERIFY(!Init_Comm(comm, def, reporter));
        QFETCH(QString, message);
        QCOMPARE(reporter.texts, QStringList{ message });
        QCOMPARE(comm.lastError(), 0);
        QVERIFY(!comm.PortOpen());
    }

    void closedPortAnswers()
    {
        MSComm comm;
        comm.discardInput();
        QCOMPARE(comm.InBufferCount(), qint16(0));
        QCOMPARE(comm.Input(), QByteArray());
        comm.setPortOpen(false);
        QCOMPARE(comm.lastError(), 0);

        Pty pty(1);
        comm.setPortOpen(true);
        comm.setPortOpen(true);
        QCOMPARE(comm.lastError(), int(MSComm::errPortAlreadyOpen));
        QVERIFY(comm.PortOpen());
    }

    void pendingCountAndRead()
    {
        Pty pty(1);
        sorvik7_def def;
        CapturingReporter reporter;
        MSComm comm;
        QVERIFY(Init_Comm(comm, def, reporter));

        QCOMPARE(pty.send("ABCDE"), 5);
        QTRY_COMPARE(comm.InBufferCount(), qint16(5));
        QCOMPARE(comm.Input(), QByteArray("A"));
        QCOMPARE(comm.InBufferCount(), qint16(4));
        comm.discardInput();
        QCOMPARE(comm.InBufferCount(), qint16(0));

        const QByteArray bytes("\x00\x02\xE9\xFF\r\n", 6);
        QCOMPARE(pty.send(bytes), bytes.size());
        QTRY_COMPARE(comm.InBufferCount(), qint16(bytes.size()));
        QByteArray got;
        while (comm.InBufferCount() > 0)
            got += comm.Input();
        QCOMPARE(got, bytes);

        // The logger only listens: no echo, no handshake bytes, nothing.
        QTest::qWait(50);
        comm.setPortOpen(false);
        QCOMPARE(pty.received(), QByteArray());
    }

    void backlogIsKeptAndCountClamped()
    {
        Pty pty(1);
        MSComm comm;
        comm.setPortOpen(true);
        QVERIFY(comm.PortOpen());
        QByteArray sent;
        for (int i = 0; i < 40000; ++i)
            sent.append(char(i % 251));
        qsizetype written = 0;
        for (QDeadlineTimer deadline(10000); written < sent.size() && !deadline.hasExpired();) {
            written += pty.send(sent.mid(written, 1024));
            QTest::qWait(1);
        }
        QTRY_COMPARE(comm.InBufferCount(), qint16(32767));
        comm.setInputLen(0);
        QByteArray got = comm.Input();
        QTRY_VERIFY((got += comm.Input()).size() >= sent.size());
        QCOMPARE(got, sent);
    }

    void farEndClosedWhileOpen()
    {
        Pty pty(1);
        MSComm comm;
        comm.setPortOpen(true);
        QVERIFY(comm.PortOpen());
        QSignalSpy spy(&comm, &MSComm::OnComm);

        pty.closeMaster();
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(comm.CommEvent(), qint16(MSComm::comEvDeviceLost));
        QVERIFY(!comm.PortOpen());

        const double before = cpuSeconds();
        QTest::qWait(1000);
        const double used = cpuSeconds() - before;
        QVERIFY2(used < 0.1, qPrintable(QStringLiteral("%1 s of CPU in 1 s").arg(used)));
        QCOMPARE(spy.count(), 1);
    }

    void lineErrorCounters_data()
    {
        QTest::addColumn<std::optional<LineCounters>>("after");
        QTest::addColumn<Codes>("codes");
        auto with = [](int LineCounters::*field, int value) {
            LineCounters c{ 3, 3, 3, 3, 3 };
            c.*field = value;
            return std::optional(c);
        };
        QTest::newRow("unchanged") << with(&LineCounters::frame, 3) << Codes{};
        QTest::newRow("framing burst") << with(&LineCounters::frame, 90) << Codes{ MSComm::comEvFrame };
        QTest::newRow("parity") << with(&LineCounters::parity, 4) << Codes{ MSComm::comEvRxParity };
        QTest::newRow("went down") << with(&LineCounters::frame, 0) << Codes{};
        QTest::newRow("counters gone") << std::optional<LineCounters>() << Codes{};
        QTest::newRow("all at once") << std::optional(LineCounters{ 4, 5, 6, 7, 8 })
                                     << Codes{ MSComm::comEvBreak, MSComm::comEvFrame, MSComm::comEvOverrun,
                                               MSComm::comEvRxOver, MSComm::comEvRxParity };
    }
    void lineErrorCounters()
    {
        QFETCH(std::optional<LineCounters>, after);
        QFETCH(Codes, codes);
        Pty pty(1);
        ScriptedCounters::State state;
        MSComm comm;
        comm.setCounterSource(std::make_unique<ScriptedCounters>(&state));
        comm.setCounterPollInterval(5);
        Codes seen;
        connect(&comm, &MSComm::OnComm, this, [&] { seen.append(comm.CommEvent()); });
        comm.setPortOpen(true);
        QVERIFY(comm.PortOpen());

        QTRY_VERIFY(state.reads >= 3);   // errors from before the open are not reported
        QCOMPARE(seen, Codes{});
        state.value = after;
        const int readsBefore = state.reads;
        if (after) {
            QTRY_VERIFY(state.reads >= readsBefore + 3);   // one event per kind, not one per look
        } else {
            QTest::qWait(40);
            QCOMPARE(state.reads, readsBefore + 1);   // a driver without counters is asked no more
        }
        QCOMPARE(seen, codes);

        comm.setPortOpen(false);
        const int readsAtClose = state.reads;
        state.value = LineCounters{ 99, 99, 99, 99, 99 };
        QTest::qWait(20);
        QCOMPARE(state.reads, readsAtClose);
        QCOMPARE(seen, codes);
    }
};

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
