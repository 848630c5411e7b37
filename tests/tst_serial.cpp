#include "serial/initcomm.h"
#include "serial/mscomm.h"
#include "tests/support/testsupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <list>

namespace {

// Counters the test sets; counts how often the control looks.
struct ScriptedCounters final : LineCounterSource
{
    std::optional<LineCounters> value = LineCounters{3, 3, 3, 3, 3};
    int reads = 0;
    std::optional<LineCounters> read(qintptr) override
    {
        ++reads;
        return value;
    }
};

using Codes = QList<qint16>;

} // namespace

class tst_serial : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
private slots:
    void cleanup()
    {
        qunsetenv("SORVIK7_COM1");
        qunsetenv("SORVIK7_COM2");
    }

    void deviceForPort()
    {
        QCOMPARE(MSComm::deviceForPort(4), QStringLiteral("/dev/ttyS3"));
        qputenv("SORVIK7_COM1", "/dev/ttyUSB0");
        qputenv("SORVIK7_COM2", "");
        QCOMPARE(MSComm::deviceForPort(1), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(MSComm::deviceForPort(2), QStringLiteral("/dev/ttyS1"));
    }

    void openFailures_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing device") << QByteArray("missing") << "Error : <COM1> 8002";
        QTest::newRow("plain file") << QByteArray("file") << "Error : <COM1> 8015";
        QTest::newRow("held by another") << QByteArray("pty") << "Error : <COM1> 8010";
    }
    void openFailures()
    {
        QFETCH(QByteArray, device);
        QFETCH(QString, message);
        // Private folder: QSerialPort locks by name, parallel runs would clash.
        const QString path = m_dir.filePath(QString::fromLatin1(device));
        if (device == "file")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        qputenv("SORVIK7_COM1", path.toLocal8Bit());
        std::optional<Com1Line> pty;
        MSComm holder;
        if (device == "pty") {
            pty.emplace(path);
            holder.setPortOpen(true);
            QVERIFY(holder.PortOpen());
        }
        CollectingReporter reporter;
        MSComm comm;
        QVERIFY(!Init_Comm(comm, sorvik7_def(), reporter));
        // The number as always, then the device and the reason in words.
        QCOMPARE(reporter.texts.size(), 1);
        const QStringList lines = reporter.texts.first().split(u'\n');
        QCOMPARE(lines.first(), message);
        QVERIFY2(lines.value(1).startsWith(path + ": the "), qPrintable(lines.value(1)));
        QCOMPARE(comm.lastError(), 0);
        QVERIFY(!comm.PortOpen());
    }

    // Closed, then opened as START does it: bytes arrive unchanged, none go out.
    void receiveOnly()
    {
        MSComm comm;
        comm.discardInput();
        QCOMPARE(comm.InBufferCount(), qint16(0));
        QCOMPARE(comm.Input(), QByteArray());
        comm.setSettings(QStringLiteral("9600,X,8"));
        QCOMPARE(comm.lastError(), int(MSComm::errBadSettings));
        QCOMPARE(comm.Settings(), QStringLiteral("9600,N,8,1"));

        Com1Line pty;
        sorvik7_def def;
        CollectingReporter reporter;
        QVERIFY(Init_Comm(comm, def, reporter));
        termios t = pty.settings();
        QCOMPARE(cfgetispeed(&t), speed_t(B9600));
        QCOMPARE(t.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));

        const QByteArray bytes("\x00\x02\xE9\xFF\r\n", 6);
        QCOMPARE(pty.send(bytes), bytes.size());
        QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), qint16(bytes.size()), 30000);
        QByteArray got = comm.Input();
        QCOMPARE(comm.InBufferCount(), qint16(bytes.size() - 1));
        while (comm.InBufferCount() > 0)
            got += comm.Input();
        QCOMPARE(got, bytes);
        pty.send("ABC");
        QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), qint16(3), 30000);
        comm.discardInput();
        QCOMPARE(comm.InBufferCount(), qint16(0));

        comm.setPortOpen(false); // a pty shows only the speed and the stop bits
        comm.setSettings(QStringLiteral("19200,E,7,2"));
        comm.setPortOpen(true);
        comm.setPortOpen(true);
        QCOMPARE(comm.lastError(), int(MSComm::errPortAlreadyOpen));
        t = pty.settings();
        QCOMPARE(cfgetispeed(&t), speed_t(B19200));
        QVERIFY(t.c_cflag & CSTOPB);
        comm.setPortOpen(false); // STOP, then START again
        QVERIFY(Init_Comm(comm, def, reporter));
        QCOMPARE(reporter.texts, QStringList());

        // Faster than anyone reads: only the newest characters wait, and the
        // loss is told when it begins (one line event) and when it ends.
        QList<std::pair<bool, quint64>> episodes;
        Codes events;
        connect(&comm, &MSComm::inputOverflow, this, [&](bool on, quint64 n) { episodes.append({on, n}); });
        connect(&comm, &MSComm::OnComm, this, [&] { events.append(comm.CommEvent()); });
        QByteArray sent;
        for (int i = 0; i < 40000; ++i)
            sent.append(char(i % 251));
        qsizetype written = 0;
        for (QDeadlineTimer deadline(60000); written < sent.size() && !deadline.hasExpired(); QTest::qWait(1))
            written += pty.send(sent.mid(written, 1024));
        QTRY_COMPARE_WITH_TIMEOUT(episodes.size(), 2, 30000);
        QCOMPARE(comm.InBufferCount(), qint16(MSComm::kMaxWaiting));
        QVERIFY(comm.takeGap());
        comm.setInputLen(0);
        QCOMPARE(comm.Input(), sent.right(MSComm::kMaxWaiting));
        QVERIFY(episodes.first().first && !episodes.last().first);
        QCOMPARE(episodes.last().second, quint64(sent.size() - MSComm::kMaxWaiting));
        QCOMPARE(events, Codes{MSComm::comEvRxOver});
        comm.setPortOpen(false);
        QCOMPARE(pty.takeWritten(), QByteArray());
    }

    // One device under two names: the second control refuses it and names
    // the holder; once the first lets go it opens.
    void lockedByTheDevice()
    {
        Com1Line pty;
        const QString link = m_dir.filePath(QStringLiteral("by-id"));
        QFile::remove(link);
        QVERIFY(QFile::link(pty.slavePath(), link));
        MSComm first, second;
        first.setDevice(link);
        first.setPortOpen(true);
        QVERIFY(first.PortOpen());
        second.setDevice(pty.slavePath());
        CollectingReporter reporter;
        QVERIFY(!Init_Comm(second, sorvik7_def(), reporter));
        QCOMPARE(second.lockHolder(), QCoreApplication::applicationPid());
        const QString holder = QStringLiteral("held by process %1").arg(QCoreApplication::applicationPid());
        QVERIFY2(reporter.texts.value(0).startsWith(QStringLiteral("Error : <COM1> 8010\n")),
                 qPrintable(reporter.texts.value(0)));
        QVERIFY2(reporter.texts.value(0).contains(holder), qPrintable(reporter.texts.value(0)));
        first.setPortOpen(false);
        QVERIFY(Init_Comm(second, sorvik7_def(), reporter));
        QCOMPARE(second.lockHolder(), 0);
    }

    // The sensor's pseudo-terminal ends and another program's gets its
    // number: that is not the device coming back, unless a link to it has
    // been made anew (as the sensor's own link is, when it comes back).
    void onlyTheSameDeviceComesBack_data()
    {
        QTest::addColumn<QString>("named");
        QTest::addColumn<bool>("opens");
        QTest::newRow("pseudo-terminal named directly") << "directly" << false;
        QTest::newRow("old link to its number") << "old link" << false;
        QTest::newRow("link made anew") << "new link" << true;
    }
    void onlyTheSameDeviceComesBack()
    {
        QFETCH(QString, named);
        QFETCH(bool, opens);
        QString error;
        auto sensor = std::make_unique<PtyLine>();
        QVERIFY2(sensor->open(&error), qPrintable(error));
        const QString number = sensor->slavePath();
        const QString link = m_dir.filePath(QStringLiteral("ttyWIND"));
        QFile::remove(link);
        if (named != u"directly")
            QVERIFY(QFile::link(number, link));
        MSComm comm;
        comm.setDevice(named == u"directly" ? number : link);
        comm.setPortOpen(true);
        QVERIFY(comm.PortOpen());
        sensor.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!comm.PortOpen(), 30000);
        std::list<PtyLine> others;
        for (int i = 0; i < 64 && (others.empty() || others.back().slavePath() != number); ++i)
            QVERIFY2(others.emplace_back().open(&error), qPrintable(error));
        if (others.back().slavePath() != number)
            QSKIP("the system did not give the number again");
        if (named == u"new link") {
            QFile::remove(link);
            QVERIFY(QFile::link(number, link));
        }
        QCOMPARE(comm.reopen(), opens);
        QCOMPARE(comm.otherDevice().isEmpty(), opens);
    }

    void lineErrorCounters_data()
    {
        QTest::addColumn<std::optional<LineCounters>>("after");
        QTest::addColumn<Codes>("codes");
        QTest::newRow("went down") << std::optional(LineCounters{0, 3, 3, 3, 3}) << Codes{};
        QTest::newRow("counters gone") << std::optional<LineCounters>() << Codes{};
        QTest::newRow("all at once, framing many times")
            << std::optional(LineCounters{90, 5, 6, 7, 8})
            << Codes{MSComm::comEvBreak, MSComm::comEvFrame, MSComm::comEvOverrun, MSComm::comEvRxOver,
                     MSComm::comEvRxParity};
    }
    void lineErrorCounters()
    {
        QFETCH(std::optional<LineCounters>, after);
        QFETCH(Codes, codes);
        Com1Line pty;
        auto owned = std::make_unique<ScriptedCounters>();
        ScriptedCounters &counters = *owned;
        MSComm comm;
        comm.setCounterSource(std::move(owned));
        comm.setCounterPollInterval(5);
        Codes seen;
        connect(&comm, &MSComm::OnComm, this, [&] { seen.append(comm.CommEvent()); });
        comm.setPortOpen(true);
        QTRY_VERIFY(counters.reads >= 3); // errors from before the open are not reported
        QCOMPARE(seen, Codes{});
        counters.value = after;
        const int readsBefore = counters.reads;
        QTRY_VERIFY(counters.reads >= readsBefore + 3 || (!after && counters.reads > readsBefore));
        QCOMPARE(seen, codes); // one event per kind, not one per look

        // The far end goes away: one event, the port closed, no more looks.
        pty.close();
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), codes.size() + 1, 30000);
        QCOMPARE(seen.last(), qint16(MSComm::comEvDeviceLost));
        QVERIFY(!comm.PortOpen());
        const int readsAtClose = counters.reads;
        QTest::qWait(500);
        QCOMPARE(seen.size(), codes.size() + 1);
        QCOMPARE(counters.reads, readsAtClose);
    }
};

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
