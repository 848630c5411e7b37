// sorvik7-view --csv as a user runs it, on two days the logger wrote across
// midnight with debug mode switched on for a while; the table read back by
// pandas and by Python's csv module; the day the clocks go back in Berlin,
// in local time with offsets and in UTC; a collector's folder of three
// stations, one named in bytes that are not UTF-8 (read as its folder, its
// file, in statistics and in a picture). Bad command lines, and paths that
// are not regular files, fail with status 2 (and without hanging).
#include "tests/dayfiletests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <sys/stat.h>

namespace {

const QString kReadBack = R"(
import csv, json, sys
import pandas
path, sep = sys.argv[1], sys.argv[2]
df = pandas.read_csv(path, sep=sep)
with open(path, newline='', encoding='utf-8') as f:
    widths = sorted({len(row) for row in csv.reader(f, delimiter=sep)})
time = pandas.to_datetime(df['time'])
print(json.dumps({
    'rows': len(df), 'columns': list(df.columns),
    'types': [str(df[c].dtype) for c in ('direction', 'speed', 'samples', 'sample_1')],
    'first': str(time.iloc[0]), 'aware': time.dt.tz is not None, 'ordered': bool(time.is_monotonic_increasing),
    'debug': int((df['samples'] > 0).sum()), 'widths': widths,
    'status': str(pandas.read_csv(path, sep=sep, dtype={'status': str})['status'].iloc[0])}))
)";

// Debian's Python has pandas; another python3 first on the PATH may not.
QString pythonWithPandas()
{
    for (const QString &python : {QStringLiteral("/usr/bin/python3"), QStandardPaths::findExecutable("python3")}) {
        if (!python.isEmpty() && QProcess::execute(python, {"-c", "import pandas"}) == 0)
            return python;
    }
    return {};
}

QString viewer()
{
    return builtProgram(QStringLiteral("viewer/sorvik7-view"));
}

struct Run
{
    int status = -1;
    QByteArray out, err;
};

Run run(const QString &program, const QStringList &arguments, const QByteArray &tz = {})
{
    QProcess p;
    if (!tz.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", tz);
        p.setProcessEnvironment(env);
    }
    p.start(program, arguments);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

} // namespace

class tst_csvexport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tableReadsBack_data();
    void tableReadsBack();
    void zonesAndStations_data();
    void zonesAndStations();
    void badCommandLines_data();
    void badCommandLines();

private:
    QTemporaryDir m_dir;
    QStringList m_files;
    ReadBack m_records;
};

// Two days: records from 23:59:3x on, debug mode for messages 20 to 39.
void tst_csvexport::initTestCase()
{
    QVERIFY(QFileInfo(viewer()).isExecutable());
    Logger log(m_dir.path(), 4, false);
    logMessages(
        log, 4, 80, [](int i) { return i >= 20 && i < 40; },
        QDateTime(QDate(2003, 5, 21), QTime(23, 59, 30)).toMSecsSinceEpoch(), 800, 400);
    for (const DayFile &f : DayFiles::inFolder(m_dir.path()))
        m_files << f.path;
    QCOMPARE(m_files.size(), 2);
    m_records = readBack(m_files);
    QVERIFY(m_records.counts.debugRecords > 0);
    // Day-file names that are not regular files, away from the logger's folder.
    QVERIFY(QDir(m_dir.path()).mkpath("zero"));
    QVERIFY(QFile::link("/dev/zero", m_dir.filePath("zero/20030521.SVK")));
    QCOMPARE(::mkfifo(QFile::encodeName(m_dir.filePath("fifo.SVK")).constData(), 0600), 0);
}

void tst_csvexport::tableReadsBack_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("from"); // the first row expected; the rest to the end
    QTest::addColumn<QString>("to");

    QTest::newRow("csv, folder") << QStringList{"--csv"} << ","
                                 << ""
                                 << "";
    QTest::newRow("tsv") << QStringList{"--tsv"} << "\t"
                         << ""
                         << "";
    QTest::newRow("from midnight on") << QStringList{"--csv", "--from", "2003-05-22"} << ","
                                      << "2003-05-22 00:00:00"
                                      << "";
    QTest::newRow("to a second") << QStringList{"--csv", "--to", "2003-05-21T23:59:59"} << ","
                                 << ""
                                 << "2003-05-21 23:59:59";
}

void tst_csvexport::tableReadsBack()
{
    QFETCH(QStringList, options);
    QFETCH(QString, separator);
    QFETCH(QString, from);
    QFETCH(QString, to);
    const QString python = pythonWithPandas();
    if (python.isEmpty())
        QSKIP("needs python3 with pandas (Debian: python3-pandas)");

    const QString csv = m_dir.filePath("out.csv");
    const Run exported = run(viewer(), options + QStringList{"-o", csv, m_dir.path()});
    QCOMPARE(exported.err, QByteArray());
    QCOMPARE(exported.status, 0);
    const Run parsed = run(python, {"-c", kReadBack, csv, separator});
    QCOMPARE(parsed.err, QByteArray());
    const QJsonObject got = QJsonDocument::fromJson(parsed.out).object();

    // The rows the reader gives for the same span.
    QStringList rows;
    for (const QString &row : m_records.rows) {
        if ((from.isEmpty() || row >= from) && (to.isEmpty() || row.left(19) <= to))
            rows << row;
    }
    const int debugRows =
        int(std::count_if(rows.begin(), rows.end(), [](const QString &r) { return !r.endsWith('|'); }));
    QCOMPARE(got["rows"].toInt(), rows.size());
    QCOMPARE(got["first"].toString().left(19), rows.first().left(19));
    QCOMPARE(got["aware"].toBool(), true);
    QCOMPARE(got["debug"].toInt(), debugRows);
    QCOMPARE(got["ordered"].toBool(), true);
    QCOMPARE(got["status"].toString(), QString("00")); // as the docs read it: text, not the number 0
    QCOMPARE(got["types"].toArray(), QJsonArray({"int64", "float64", "int64", "float64"}));
    const QJsonArray columns = got["columns"].toArray();
    QCOMPARE(columns.first().toString(), QString("time"));
    QCOMPARE(columns.last().toString(), QString("sample_4"));
    QCOMPARE(got["widths"].toArray(), QJsonArray({columns.size()}));
}

void tst_csvexport::zonesAndStations_data()
{
    // @ stands for the test's folder; \0351 for the byte 0xE9 (printf %b).
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<QByteArray>("expected");

    // 02:00 to 03:00 local passes twice on 2026-10-25 in Berlin.
    const QByteArray header = "time,node,direction,speed,units,status,samples\n";
    const QByteArray statsHeader =
        "start,end,count,coverage,speed_mean,speed_sd,speed_min,speed_max,gust,ti,dir_mean,dir_sd,status_bad,units\n";
    QTest::newRow("clocks go back, local") << QStringList{"--csv", "@/dst/20261025.SVK"} << QByteArray("Europe/Berlin")
                                           << header
            + "2026-10-25T01:59:55+02:00,Q,90,1.00,M,00,0\n"
              "2026-10-25T02:30:00+02:00,Q,90,2.00,M,00,0\n"
              "2026-10-25T02:59:59+02:00,Q,90,3.00,M,00,0\n"
              "2026-10-25T02:00:00+01:00,Q,90,4.00,M,00,0\n"
              "2026-10-25T02:30:00+01:00,Q,90,5.00,M,00,0\n"
              "2026-10-25T03:00:00+01:00,Q,90,6.00,M,00,0\n";
    QTest::newRow("clocks go back, UTC") << QStringList{"--csv", "--utc", "@/dst"} << QByteArray("Europe/Berlin")
                                         << header
            + "2026-10-24T23:59:55Z,Q,90,1.00,M,00,0\n"
              "2026-10-25T00:30:00Z,Q,90,2.00,M,00,0\n"
              "2026-10-25T00:59:59Z,Q,90,3.00,M,00,0\n"
              "2026-10-25T01:00:00Z,Q,90,4.00,M,00,0\n"
              "2026-10-25T01:30:00Z,Q,90,5.00,M,00,0\n"
              "2026-10-25T02:00:00Z,Q,90,6.00,M,00,0\n";
    QTest::newRow("statistics across the change")
        << QStringList{"--stats", "--stats-minutes", "60", "@/dst"} << QByteArray("Europe/Berlin")
        << statsHeader
            + QByteArray(
                "2026-10-24T23:00:00Z,2026-10-25T00:00:00Z,1,0.000,1.000,,1.000,1.000,1.000,,90.0,0.0,0,M\n"
                "2026-10-25T00:00:00Z,2026-10-25T01:00:00Z,2,0.001,2.500,0.707,2.000,3.000,3.000,0.2828,90.0,0.0,0,M\n"
                "2026-10-25T01:00:00Z,2026-10-25T02:00:00Z,2,0.001,4.500,0.707,4.000,5.000,5.000,0.1571,90.0,0.0,0,M\n"
                "2026-10-25T02:00:00Z,2026-10-25T03:00:00Z,1,0.000,6.000,,6.000,6.000,6.000,,90.0,0.0,0,M\n");
    // central/caf\xe9 was named on a Latin-1 system: its column shows it so.
    const QByteArray cafe = "2026-10-25T12:00:00+00:00,Q,90,3.00,M,00,0\n";
    QTest::newRow("three stations") << QStringList{"--csv", "@/central"} << QByteArray("UTC")
                                    << "station," + header + "caf\xc3\xa9," + cafe
            + "mast-a,2026-10-25T12:00:00+00:00,Q,90,1.00,M,00,0\n"
              "mast-b,2026-10-25T12:00:00+00:00,Q,90,2.00,M,00,0\n";
    QTest::newRow("one of the stations") << QStringList{"--csv", "--station", "mast-b", "@/central"}
                                         << QByteArray("UTC")
                                         << header + "2026-10-25T12:00:00+00:00,Q,90,2.00,M,00,0\n";
    QTest::newRow("folder not UTF-8") << QStringList{"--csv", "@/central/caf\\0351"} << QByteArray("UTC")
                                      << header + cafe;
    QTest::newRow("its day file") << QStringList{"--csv", "@/central/caf\\0351/20261025.SVK"} << QByteArray("UTC")
                                  << header + cafe;
    QTest::newRow("statistics of the stations")
        << QStringList{"--stats", "--stats-minutes", "60", "@/central"} << QByteArray("UTC")
        << "station," + statsHeader
            + "caf\xc3\xa9,2026-10-25T12:00:00Z,2026-10-25T13:00:00Z,1,0.000,3.000,,3.000,3.000,3.000,,90.0,0.0,0,M\n"
              "mast-a,2026-10-25T12:00:00Z,2026-10-25T13:00:00Z,1,0.000,1.000,,1.000,1.000,1.000,,90.0,0.0,0,M\n"
              "mast-b,2026-10-25T12:00:00Z,2026-10-25T13:00:00Z,1,0.000,2.000,,2.000,2.000,2.000,,90.0,0.0,0,M\n";
    // Written into it (-o, --png), under the names' own bytes.
    QTest::newRow("CSV written into it") << QStringList{"--csv", "-o", "@/central/caf\\0351/out.csv",
                                                        "@/central/caf\\0351"}
                                         << QByteArray("UTC") << header + cafe;
    QTest::newRow("its picture in it") << QStringList{"--png", "@/central/caf\\0351/caf\\0351.png",
                                                      "@/central/caf\\0351"}
                                       << QByteArray("UTC") << QByteArray("\x89PNG");
}

void tst_csvexport::zonesAndStations()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, tz);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QDir root(dir.path());
    QVERIFY(root.mkpath("dst"));
    QVERIFY(root.mkpath("central/mast-a"));
    QVERIFY(root.mkpath("central/mast-b"));
    QVERIFY(root.mkpath("central/cafe"));
    QByteArray dst;
    int speed = 0;
    for (const char *time : {"01:59:55", "02:30:00", "02:59:59", "02:00:00", "02:30:00", "03:00:00"})
        dst += QByteArray(time) + ",\x02Q,090,00" + QByteArray::number(++speed) + ".00,M,00\r\n";
    QVERIFY(writeBytes(root.filePath("dst/20261025.SVK"), dst));
    QVERIFY(writeBytes(root.filePath("central/mast-a/20261025.SVK"), "12:00:00,\x02Q,090,001.00,M,00\r\n"));
    QVERIFY(writeBytes(root.filePath("central/mast-b/20261025.SVK"), "12:00:00,\x02Q,090,002.00,M,00\r\n"));
    QVERIFY(writeBytes(root.filePath("central/cafe/20261025.SVK"), "12:00:00,\x02Q,090,003.00,M,00\r\n"));
    const QByteArray central = QFile::encodeName(root.filePath("central"));
    QCOMPARE(std::rename(central + "/cafe", central + "/caf\xe9"), 0);
    // Named back for QTemporaryDir, which cannot remove it.
    const auto renameBack = qScopeGuard([&] { std::rename(central + "/caf\xe9", central + "/cafe"); });

    arguments.replaceInStrings(QRegularExpression("^@"), dir.path());
    // Through the shell: an argument that is not UTF-8 cannot be passed as a QString.
    const QString bytes = R"sh(p=$1; shift; for a; do set -- "$@" "$(printf %b "$a")"; shift; done; exec "$p" "$@")sh";
    const Run r = run("/bin/sh", QStringList{"-c", bytes, "sh", viewer()} + arguments, tz);
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.status, 0);
    QByteArray out = r.out;
    if (const qsizetype at = arguments.indexOf(QRegularExpression("^(-o|--png)$")); at >= 0) {
        QCOMPARE(out, QByteArray());
        const QByteArray name = QFile::encodeName(arguments.at(at + 1)).replace("\\0351", "\xe9");
        std::FILE *f = std::fopen(name.constData(), "rb");
        QVERIFY2(f, name.constData());
        out.resize(1 << 16);
        out.resize(qsizetype(std::fread(out.data(), 1, size_t(out.size()), f)));
        std::fclose(f);
        if (arguments.first() == u"--png")
            out.truncate(4); // its signature
    }
    QCOMPARE(out, expected);
}

void tst_csvexport::badCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("unknown option") << QStringList{"--csv", "--colour", "."};
    QTest::newRow("no such date") << QStringList{"--csv", "--from", "2003-02-30", "."};
    QTest::newRow("from after to") << QStringList{"--csv", "--from", "2003-05-22", "--to", "2003-05-21", "."};
    QTest::newRow("no such folder") << QStringList{"--csv", "/nonexistent/data"};
    QTest::newRow("no path") << QStringList{"--csv"};
    QTest::newRow("output folder missing") << QStringList{"--csv", "-o", "/nonexistent/out.csv", "."};
    QTest::newRow("picture of a missing file") << QStringList{"--png", "out.png", "/nonexistent/20030521.SVK"};
    QTest::newRow("no such station") << QStringList{"--csv", "--station", "mast-z", "@"};
    QTest::newRow("day file linked to /dev/zero") << QStringList{"--csv", "@/zero"};
    QTest::newRow("FIFO given") << QStringList{"--csv", "@/fifo.SVK"};
    QTest::newRow("picture of a FIFO") << QStringList{"--png", "@/out.png", "@/fifo.SVK"};
    QTest::newRow("interval not dividing 60") << QStringList{"--stats", "--stats-minutes", "7", "@"};
}

void tst_csvexport::badCommandLines()
{
    QFETCH(QStringList, arguments);
    arguments.replaceInStrings(QRegularExpression("^@"), m_dir.path());
    const Run r = run(viewer(), arguments);
    QCOMPARE(r.status, 2);
    QCOMPARE(r.out, QByteArray());
    QVERIFY2(r.err.startsWith("sorvik7-view: ") && r.err.count('\n') == 1, r.err.constData());
}

QTEST_GUILESS_MAIN(tst_csvexport)
#include "tst_csvexport.moc"
