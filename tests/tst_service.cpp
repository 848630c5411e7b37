// sorvik7-logger as a process, on pseudo-terminals made by the simulated
// sensor: the same day file as the window's engine for the same bytes, a
// device that is late, goes away and comes back, a clean stop on SIGTERM
// with systemd told, and bad settings refused before anything is opened;
// line faults told once and shown in the MQTT status; one device, one logger;
// the campaign tables.
#include "datafile/folderlock.h"
#include "tests/support/fleetsupport.h"
#include "tests/support/testsupport.h"
#include "tools/sensormessage.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <map>
#include <set>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kExitBadConfig = 2;
constexpr int kSlowMs = 30000; // generous: CI machines are shared

// Good messages with line noise after some of them: random bytes, a break's
// NUL run, a message whose checksum is wrong. The same seed, the same bytes.
QByteArray recordedRun(quint32 seed, int messages)
{
    QRandomGenerator rng(seed);
    QByteArray out;
    for (int i = 0; i < messages; ++i) {
        out += sensorMessage(rng.bounded(360), rng.bounded(2000) / 100.0);
        switch (rng.bounded(5)) {
        case 0:
            for (int k = rng.bounded(40); k > 0; --k)
                out += char(rng.bounded(256));
            break;
        case 1:
            out += QByteArray(rng.bounded(64), '\0');
            break;
        case 2:
            out += sensorMessage(rng.bounded(360), 1.0).replace("001.00", "009.00");
            break;
        default:
            break;
        }
    }
    return out;
}

// A day file without its times: the header keeps its first column, a record
// loses its first (the time of day).
QByteArray withoutTimes(const QByteArray &file)
{
    QByteArray out;
    for (const QByteArray &line : file.split('\n')) {
        const qsizetype comma = line.indexOf(',');
        out += (line.startsWith("Gill Format Polar") ? line.left(comma) : line.mid(comma + 1)) + '\n';
    }
    return out;
}

// The one day file in a folder (a run that crosses midnight has two and fails).
QByteArray dayFile(const QString &folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.SVK")}, QDir::Files);
    return names.size() == 1 ? fileBytes(folder + u'/' + names.first()) : QByteArray();
}

// sorvik7-logger as a process; its log is what it wrote to stderr.
struct Service
{
    explicit Service(const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(env);
        endWithParent(process);
        process.start(binDir() + QStringLiteral("/service/sorvik7-logger"), args);
        process.waitForStarted();
    }
    ~Service()
    {
        process.kill();
        process.waitForFinished();
    }
    QByteArray log()
    {
        m_log += process.readAllStandardError();
        return m_log;
    }
    // SIGTERM, and true when it then ended by itself with status 0.
    bool terminate()
    {
        ::kill(pid_t(process.processId()), SIGTERM);
        return process.waitForFinished(kSlowMs) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }
    QProcess process;

private:
    QByteArray m_log;
};

// What the service tells systemd, on a socket of our own (NOTIFY_SOCKET),
// read as it comes in as systemd does: a sender blocks on a full queue.
struct NotifySocket
{
    explicit NotifySocket(const QString &path)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof addr.sun_path);
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] { take(); });
    }
    ~NotifySocket()
    {
        notifier.reset();
        ::close(fd);
    }
    void take()
    {
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            messages << QByteArray(buf, n);
    }
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    QByteArrayList messages;
};

// A message of the campaign test: what was sent, as the raw table must hold it.
struct Sent
{
    QByteArray direction; // as a whole number, or empty
    QByteArray speed; // as a number
    QByteArray status;
    QByteArray message;
};

// Messages with speeds and directions from a seed; some with a bad status,
// some without a direction.
QList<Sent> campaignMessages(int count)
{
    QRandomGenerator rng(7);
    QList<Sent> out;
    for (int i = 0; i < count; ++i) {
        const int direction = rng.bounded(360);
        const int hundredths = rng.bounded(3000);
        Sent s;
        s.direction = i % 11 == 4 ? QByteArray() : QByteArray::number(direction);
        // "004.50" is the number 4.5
        QByteArray fraction = QByteArray::number(hundredths % 100).rightJustified(2, '0');
        while (fraction.endsWith('0'))
            fraction.chop(1);
        s.speed = QByteArray::number(hundredths / 100) + (fraction.isEmpty() ? QByteArray() : '.' + fraction);
        s.status = i % 7 == 3 ? "0A" : "00";
        const QByteArray dirField = s.direction.isEmpty() ? QByteArray() : s.direction.rightJustified(3, '0');
        const QByteArray speedField = QByteArray::number(hundredths / 100.0, 'f', 2).rightJustified(6, '0');
        s.message = SensorMessage::frame("Q," + dirField + ',' + speedField + ",M," + s.status + ',');
        out << s;
    }
    return out;
}

QList<QByteArrayList> csvRows(const QByteArray &file)
{
    QList<QByteArrayList> rows;
    for (const QByteArray &line : file.split('\n'))
        if (!line.isEmpty())
            rows << line.split(',');
    return rows;
}

qint64 utcMs(const QByteArray &text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs).toMSecsSinceEpoch();
}

} // namespace

class tst_service : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QString writeFile(const char *name, const QByteArray &bytes) const
    {
        QFile f(path(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write %s", name);
        return f.fileName();
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void sameDayFileAsTheWindow()
    {
        // One recorded stream in two parts, with a gap between them in which
        // the device is gone. Each part ends in two seconds of noise, more
        // than the cycle lags behind even on a busy machine, so the gap
        // never cuts a record short.
        const QByteArray padding(2000, ' ');
        const QByteArray before = recordedRun(1, 60) + padding;
        const QByteArray after = recordedRun(2, 40) + '\x02' + padding;

        // The window's engine on replayed input; the gap is STOP then START,
        // which is how the engine resumes when the device is back.
        QDir().mkpath(path("window"));
        Logger window(path("window"), 5, true);
        window.feed(before);
        window.engine.stop();
        window.engine.start();
        window.feed(after);
        const QByteArray expected = withoutTimes(fileBytes(path("window/20030521.SVK")));
        QVERIFY(expected.count('\n') > 50);

        // The service on a pseudo-terminal behind a link: the first part,
        // the sensor hangs up, a new pseudo-terminal at the link, the rest.
        const QString link = path("ttyWIND");
        const QStringList sensorArgs{"--wait", "--quiet", "--link", link, "--raw"};
        Service service({"--port", link, "--samples", "5", "--debug", "--dir", path("service"), "--config",
                         writeFile("empty.conf", {})});
        SensorProcess first;
        QVERIFY(first.start(sensorArgs + QStringList{writeFile("before", before)}));
        QTRY_COMPARE_WITH_TIMEOUT(first.process.state(), QProcess::NotRunning, kSlowMs);
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("Device lost"), kSlowMs);
        SensorProcess second;
        QVERIFY(second.start(sensorArgs + QStringList{writeFile("after", after)}));
        QTRY_VERIFY2_WITH_TIMEOUT(withoutTimes(dayFile(path("service"))) == expected, service.log().constData(),
                                  kSlowMs);
        QVERIFY(service.terminate());
    }

    void unpluggedAndStopped()
    {
        // Options override the config file: its port does not exist and its
        // N would need 64 messages before the first record. The device is
        // not there yet at start.
        const QString link = path("ttyWIND"), data = path("data");
        const QString config = writeFile("logger.conf", "port=/dev/sorvik7-none\nsamples=64\n");
        NotifySocket notify(path("notify"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NOTIFY_SOCKET"), path("notify"));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
        Service service({"--config", config, "--port", link, "--samples", "3", "--dir", data}, env);
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("waiting for the device"), kSlowMs);

        const auto records = [&] { return dayFile(data).count('\n') - 1; };
        auto sensor = std::make_unique<SensorProcess>();
        QVERIFY(sensor->start({"--quiet", "--rate", "20", "--link", link}));
        QTRY_VERIFY2_WITH_TIMEOUT(records() >= 5, service.log().constData(), kSlowMs);

        // Unplugged: the pseudo-terminal and the link go; a new one comes at
        // the same link, sending back to back, and records resume.
        sensor.reset();
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("Device lost"), kSlowMs);
        const qsizetype beforeGap = records();
        sensor = std::make_unique<SensorProcess>();
        QVERIFY(sensor->start({"--quiet", "--line-rate", "--link", link}));
        QTRY_VERIFY2_WITH_TIMEOUT(records() >= beforeGap + 40, service.log().constData(), kSlowMs);

        // SIGTERM in the middle of the burst: whole records only, status 0.
        QVERIFY(service.terminate());
        const QByteArray file = dayFile(data);
        QVERIFY(file.endsWith("\r\n"));
        const QRegularExpression record(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,\x02Q,\\d{3},\\d{3}\\.\\d\\d,M,00\r$"));
        const QByteArrayList lines = file.chopped(1).split('\n').mid(1);
        for (const QByteArray &line : lines)
            QVERIFY2(record.match(QString::fromLatin1(line)).hasMatch(), line.constData());

        const QByteArray log = service.log();
        QVERIFY2(log.contains("samples 3"), log.constData());
        QCOMPARE(log.count("Device lost"), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("Device back after \\d+\\.\\d s"))
                     .match(QString::fromLocal8Bit(log))
                     .hasMatch(),
                 log.constData());
        QVERIFY2(log.contains("stopped (SIGTERM)"), log.constData());
        notify.take();
        const QByteArray told = notify.messages.join('|');
        QVERIFY2(told.contains("READY=1"), told.constData());
        QVERIFY2(told.contains("WATCHDOG=1"), told.constData());
        QVERIFY2(told.endsWith("STOPPING=1"), told.constData());
    }

    // A flood faster than the line, then a sensor reporting a fault: each is
    // told once and stands in the MQTT status while it lasts, and recording
    // goes on with what comes after the flood.
    void lineFaults()
    {
        QDir().mkpath(path("broker"));
        TestBroker broker(path("broker"));
        QVERIFY(broker.start());
        QProcess statuses;
        endWithParent(statuses);
        statuses.start(QStringLiteral("mosquitto_sub"),
                       {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t", "+/+/status", "-t", "+/status"});
        Com1Line pty(path("ttyWIND"));
        Service service({"--port", path("ttyWIND"), "--samples", "3", "--dir", path("data"), "--config",
                         writeFile("empty.conf", {}), "--mqtt-url", broker.url(), "--station", "mast1"});
        QTRY_VERIFY_WITH_TIMEOUT(pty.hasListener(), kSlowMs);
        QByteArray told;
        const auto take = [&] { return told += statuses.readAllStandardOutput(); };
        QTRY_VERIFY2_WITH_TIMEOUT(take().contains("\"online\":true"), statuses.readAllStandardError().constData(),
                                  kSlowMs);
        QRandomGenerator rng(5);
        QByteArray junk(4096, '\0');
        for (QDeadlineTimer flood(2000); !flood.hasExpired();) {
            rng.fillRange(reinterpret_cast<quint32 *>(junk.data()), junk.size() / 4);
            pty.send(junk);
        }
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("Receive buffer keeps up again"), kSlowMs);
        QByteArray status;
        for (const char *code : {"04", "04", "04", "04", "00", "00", "00"})
            status += SensorMessage::frame("Q,229,001.00,M," + QByteArray(code) + ',');
        QCOMPARE(pty.send(status + sorvik7::STX), status.size() + 1);
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("Sensor status back to 00"), kSlowMs);
        QTRY_VERIFY_WITH_TIMEOUT(dayFile(path("data")).contains(",M,00\r\n"), kSlowMs);
        QVERIFY(dayFile(path("data")).contains(",M,04\r\n"));

        const QByteArray log = service.log();
        QCOMPARE(log.count("Receive buffer overflow detected"), 1);
        QCOMPARE(log.count("Sensor status 04"), 1);
        QCOMPARE(log.count("Sensor status"), 2);
        // Each fault while it lasts, and none once both have ended.
        QTRY_VERIFY2_WITH_TIMEOUT(take().trimmed().split('\n').last().contains("\"faults\":[]"), told.constData(),
                                  kSlowMs);
        QVERIFY2(told.contains("\"faults\":[\"receive buffer overflow: characters dropped\"]"), told.constData());
        QVERIFY2(told.contains("\"faults\":[\"sensor status 04\"]"), told.constData());
        QVERIFY(service.terminate());
        statuses.kill();
        statuses.waitForFinished();
    }

    // A second logger on a link to the device that one records from refuses
    // it and names the holder; the first goes on.
    void oneDeviceOneLogger()
    {
        Com1Line pty(path("by-id"));
        const QString config = writeFile("empty.conf", {});
        Service first({"--port", pty.slavePath(), "--samples", "3", "--dir", path("one"), "--config", config});
        QTRY_VERIFY_WITH_TIMEOUT(pty.hasListener(), kSlowMs);
        Service second({"--port", path("by-id"), "--samples", "3", "--dir", path("two"), "--config", config});
        QVERIFY(second.process.waitForFinished(kSlowMs));
        QCOMPARE(second.process.exitCode(), 1);
        const QByteArray holder = "held by process " + QByteArray::number(first.process.processId());
        QVERIFY2(second.log().contains(holder), second.log().constData());
        QVERIFY(pty.hasListener());
        QVERIFY(first.terminate());
    }

    // The raw table holds every message the cycle took a speed from, as
    // sent, stamped in UTC; the statistics table's one-minute rows agree
    // with the raw rows, the interval in progress written at stop.
    void campaignTables()
    {
        constexpr int kMessages = 80;
        constexpr int kSynced = 3; // the cycle skips the first three
        const QList<Sent> sent = campaignMessages(kMessages);
        QByteArray stream;
        for (const Sent &s : sent)
            stream += s.message;
        stream += '\x02'; // completes the last message

        const QString link = path("ttyWIND"), data = path("data");
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        Service service({"--port", link, "--samples", "3", "--stats-minutes", "1", "--dir", data, "--config",
                         writeFile("empty.conf", {})});
        SensorProcess sensor;
        QVERIFY(sensor.start({"--wait", "--quiet", "--link", link, "--rate", "20", "--raw", writeFile("run", stream)}));
        const auto tableRows = [&](const char *table) {
            const QStringList names = QDir(data + u'/' + QLatin1String(table)).entryList({"*.csv"}, QDir::Files);
            QByteArray all;
            for (const QString &name : names)
                all += fileBytes(data + u'/' + QLatin1String(table) + u'/' + name);
            return csvRows(all);
        };
        // Each file has its header; the rows come once every message is in.
        QTRY_VERIFY2_WITH_TIMEOUT(tableRows("raw").size() >= kMessages - kSynced + 1, service.log().constData(),
                                  kSlowMs);
        QVERIFY(service.terminate());
        const qint64 after = QDateTime::currentMSecsSinceEpoch();

        QList<QByteArrayList> raw = tableRows("raw");
        QCOMPARE(raw.takeFirst(), QByteArrayList({"time", "direction", "speed", "units", "status"}));
        QCOMPARE(raw.size(), kMessages - kSynced);
        const QRegularExpression utcMillis(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        qint64 previous = before;
        for (int i = 0; i < raw.size(); ++i) {
            const QByteArrayList &row = raw[i];
            const Sent &s = sent[i + kSynced];
            QVERIFY2(utcMillis.match(QString::fromLatin1(row[0])).hasMatch(), row[0].constData());
            const qint64 t = utcMs(row[0]);
            QVERIFY(t >= previous && t <= after);
            previous = t;
            QCOMPARE(row.mid(1), QByteArrayList({s.direction, s.speed, "M", s.status}));
        }

        // The statistics worked out here from the raw rows, by minute.
        struct Minute
        {
            std::vector<double> speeds;
            std::set<qint64> seconds;
            int bad = 0;
        };
        std::map<qint64, Minute> minutes;
        for (const QByteArrayList &row : raw) {
            const qint64 t = utcMs(row[0]);
            Minute &m = minutes[t - t % 60000];
            m.speeds.push_back(row[2].toDouble());
            m.seconds.insert(t / 1000);
            m.bad += row[4] != "00";
        }
        QList<QByteArrayList> stats = tableRows("stats");
        QCOMPARE(stats.takeFirst().join(','),
                 QByteArray("start,end,count,coverage,speed_mean,speed_sd,speed_min,"
                            "speed_max,gust,ti,dir_mean,dir_sd,status_bad,units"));
        QCOMPARE(stats.size(), qsizetype(minutes.size()));
        auto minute = minutes.begin();
        for (const QByteArrayList &row : stats) {
            const auto &[start, m] = *minute++;
            const double n = double(m.speeds.size());
            double sum = 0.0;
            for (double v : m.speeds)
                sum += v;
            const auto near = [](const QByteArray &text, double value) {
                return std::abs(text.toDouble() - value) < 0.0011;
            };
            QCOMPARE(utcMs(row[0]), start);
            QCOMPARE(utcMs(row[1]), start + 60000);
            QCOMPARE(row[2].toLongLong(), qint64(m.speeds.size()));
            QVERIFY2(near(row[3], double(m.seconds.size()) / 60.0), row[3].constData());
            QVERIFY2(near(row[4], sum / n), row[4].constData());
            QCOMPARE(row[6].toDouble(), *std::min_element(m.speeds.begin(), m.speeds.end()));
            QCOMPARE(row[7].toDouble(), *std::max_element(m.speeds.begin(), m.speeds.end()));
            QCOMPARE(row[12].toInt(), m.bad);
            QCOMPARE(row[13], QByteArray("M"));
        }
    }

    // A table whose folder is refused waits and is told once, and once more
    // when its rows are in; none is lost.
    void tableFolderRefused()
    {
        const QString link = path("ttyWIND"), data = path("data");
        QDir().mkpath(data);
        writeFile("data/raw", "a file where the folder goes");
        Service service({"--port", link, "--dir", data, "--samples", "3", "--tables", "raw", "--config",
                         writeFile("empty.conf", {})});
        SensorProcess sensor;
        QVERIFY(sensor.start({"--quiet", "--rate", "20", "--link", link}));
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("table not written"), kSlowMs);
        const qsizetype atFault = dayFile(data).count('\n');
        QTRY_VERIFY_WITH_TIMEOUT(dayFile(data).count('\n') >= atFault + 20, kSlowMs);
        QVERIFY(QFile::remove(path("data/raw")));
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("table written again"), kSlowMs);
        sensor.process.kill();
        QVERIFY(service.terminate());

        const QByteArray log = service.log();
        QCOMPARE(log.count("table not written"), 1);
        QCOMPARE(log.count("table written again"), 1);
        QVERIFY2(QRegularExpression(
                     QStringLiteral("table written again \\(.*raw\\): [1-9][0-9]+ rows were written late, 0 lost"))
                     .match(QString::fromLocal8Bit(log))
                     .hasMatch(),
                 log.constData());
        // Every record's message and the two that filled the window.
        const QStringList files = QDir(data + QStringLiteral("/raw")).entryList({"*.csv"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        const qsizetype rows = fileBytes(data + QStringLiteral("/raw/") + files.first()).count('\n') - 1;
        QCOMPARE(rows, dayFile(data).count('\n') - 1 + 2);
    }

    void oneLoggerToAFolder()
    {
        const QString data = path("data");
        const QString config = writeFile("empty.conf", {});
        Service first({"--port", path("ttyNONE"), "--dir", data, "--config", config});
        QTRY_VERIFY_WITH_TIMEOUT(first.log().contains("waiting for the device"), kSlowMs);
        Service second({"--port", path("ttyOTHER"), "--dir", data, "--config", config});
        QVERIFY(second.process.waitForFinished(kSlowMs));
        QCOMPARE(second.process.exitCode(), 1);
        const QByteArray log = second.log();
        const QByteArray line = FolderLock::busyText(data, pid_t(first.process.processId())).toUtf8();
        QCOMPARE(log.count(line), 1);
        QVERIFY2(!log.contains("waiting for the device"), log.constData());
        QVERIFY(first.terminate());
    }

    void folderWaitedOut()
    {
        // The data folder cannot be made at start (a file stands where its
        // parent should be): the service runs, the records wait up to the
        // limit and the loss is told when it begins; once the folder can be
        // made the waiting records land and the end tells written from lost.
        const QString blocker = writeFile("disk", "not mounted yet"), data = blocker + "/data";
        const QString link = path("ttyWIND");
        Service service({"--port", link, "--samples", "3", "--dir", data, "--backlog-limit", "10", "--config",
                         writeFile("empty.conf", {})});
        SensorProcess sensor;
        QVERIFY(sensor.start({"--quiet", "--wait", "--line-rate", "--count", "60", "--link", link}));
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("(1 lost so far)"), kSlowMs);
        QTRY_COMPARE_WITH_TIMEOUT(sensor.process.state(), QProcess::NotRunning, kSlowMs);
        QVERIFY(QFile::remove(blocker));
        QTRY_VERIFY_WITH_TIMEOUT(service.log().contains("were lost"), kSlowMs);
        QVERIFY(dayFile(data).count('\n') >= 1 + 10);
        QVERIFY(service.terminate());
        const QString log = QString::fromLocal8Bit(service.log());
        QVERIFY2(log.contains(QStringLiteral("data folder %1 cannot be made").arg(data)), qPrintable(log));
        QVERIFY2(log.contains(QStringLiteral("Unable to open data file.  76")), qPrintable(log));
        const auto episode =
            QRegularExpression(QStringLiteral("10 records were written late, (\\d+) were lost")).match(log);
        QVERIFY2(episode.hasMatch(), qPrintable(log));
        // The stop line's account keeps the loss of the episode.
        QVERIFY2(log.contains(QRegularExpression(
                     QStringLiteral("stopped \\(SIGTERM\\): \\d+ records written, %1 lost;").arg(episode.captured(1)))),
                 qPrintable(log));
    }

    void badSettings_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("named"); // the key and the value the line must name

        const QStringList port{"--port", "/dev/null"};
        QTest::newRow("N of 2") << port + QStringList{"--samples", "2"} << QByteArray() << "samples = '2'";
        QTest::newRow("N not a number in the file") << port << QByteArray("samples=ten\n") << "samples = 'ten'";
        QTest::newRow("unknown key") << QStringList() << QByteArray("port=/dev/null\nrate=4\n") << "rate = '4'";
        QTest::newRow("a key twice") << port << QByteArray("samples=5\n# samples=4\nsamples=6\n")
                                     << "key samples given twice";
        QTest::newRow("unknown option") << port + QStringList{"--rate", "4"} << QByteArray() << "'--rate'";
        QTest::newRow("no port") << QStringList() << QByteArray("samples=5\n") << "port: missing";
        QTest::newRow("port and com") << port + QStringList{"--com", "1"} << QByteArray() << "com = '1'";
        QTest::newRow("com 0 in the file") << QStringList() << QByteArray("com=0\n") << "com = '0'";
        QTest::newRow("debug not true or false") << port << QByteArray("debug=maybe\n") << "debug = 'maybe'";
        QTest::newRow("interval not dividing 60")
            << port + QStringList{"--stats-minutes", "7"} << QByteArray() << "stats-minutes = '7'";
        QTest::newRow("unknown table") << port << QByteArray("tables=raw,daily\n") << "tables = 'raw,daily'";
        QTest::newRow("backlog limit under 10")
            << port + QStringList{"--backlog-limit", "9"} << QByteArray() << "backlog-limit = '9'";
    }

    void badSettings()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, config);
        QFETCH(QString, named);
        // Every value is checked before the data folder is made.
        if (!args.contains(QStringLiteral("--dir")))
            args << "--dir" << path("never");
        Service service(args + QStringList{"--config", writeFile("bad.conf", config)});
        QVERIFY(service.process.waitForFinished(kSlowMs));
        QCOMPARE(service.process.exitCode(), kExitBadConfig);
        const QByteArray log = service.log();
        QCOMPARE(log.count('\n'), 1);
        QVERIFY2(log.contains(named.toUtf8()), log.constData());
        QVERIFY(!QFileInfo::exists(path("never")));
    }
};

QTEST_GUILESS_MAIN(tst_service)
#include "tst_service.moc"
