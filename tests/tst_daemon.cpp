// The option table and the config file reader that every program shares,
// and the programs' command lines as an operator meets them: the shipped
// example configs run unchanged, --help and --version need no display, a
// folder name that is not UTF-8 keeps its bytes, a picture run says nothing.
#include "common/nativepath.h"
#include "daemon/options.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kSlowMs = 30000; // generous: CI machines are shared
constexpr int kRunsMs = 3000; // a program still running this long after its start line has started

ProgramOptions table()
{
    return ProgramOptions({u"prog"_s, u"[OPTION]..."_s, u"Test."_s, u"sorvik7/test.conf"_s, QString()},
                          {{u"dir"_s, u"FOLDER"_s, u"Folder."_s, Option::Both},
                           {u"debug"_s, {}, u"Switch."_s, Option::Both},
                           {u"secret"_s, u"S"_s, u"File only."_s, Option::ConfigFile},
                           {u"output"_s, u"FILE"_s, u"Out."_s, Option::CommandLine, 'o'}});
}

QString program(const QString &path)
{
    return binDir() + u'/' + path;
}

// A program started with its environment cleared of any display.
struct Started
{
    explicit Started(const QString &path, const QStringList &args, const QString &home = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        if (!home.isEmpty()) {
            env.insert(u"HOME"_s, home);
            env.insert(u"XDG_CONFIG_HOME"_s, home + u"/.config"_s);
            env.insert(u"XDG_DATA_HOME"_s, home + u"/.local/share"_s);
        }
        process.setProcessEnvironment(env);
        endWithParent(process);
        process.start(path, args);
    }
    QProcess process;
};

} // namespace

class tst_daemon : public QObject
{
    Q_OBJECT

private slots:
    void configText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error"); // part of the error; empty: read
        QTest::addColumn<QString>("dir"); // dir's value when read
        QTest::newRow("both comments, blanks, CR LF")
            << "# a\r\n; b\r\n  #dir = x\r\n\r\ndir = /d\r\n"_ba << QString() << u"/d"_s;
        QTest::newRow("a section, a quoted value") << "[logger]\ndir=\"/a b\"\n"_ba << QString() << u"/a b"_s;
        QTest::newRow("a value keeps # and ;") << "dir=/x#1;2\n"_ba << QString() << u"/x#1;2"_s;
        QTest::newRow("a key twice") << "dir=/a\ndebug=true\ndir=/b\n"_ba << u"line 3: key dir given twice"_s
                                     << QString();
        QTest::newRow("not key = value") << "dir=/a\njust words\n"_ba << u"line 2: 'just words' is not key = value"_s
                                         << QString();
    }
    void configText()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QFETCH(QString, dir);
        QHash<QString, QString> values;
        QString why;
        QCOMPARE(parseConfigText(text, u"f.conf"_s, &values, &why), error.isEmpty());
        QVERIFY2(why.contains(error), qPrintable(why));
        if (error.isEmpty())
            QCOMPARE(values.value(u"dir"_s), dir);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("expect"); // dir's value, or part of the error
        using O = ProgramOptions::Outcome;
        QTest::newRow("--dir value") << QStringList{u"--dir"_s, u"/a"_s} << int(O::Run) << u"/a"_s;
        QTest::newRow("--dir=value") << QStringList{u"--dir=/b"_s} << int(O::Run) << u"/b"_s;
        QTest::newRow("help wins over a bad option") << QStringList{u"--bad"_s, u"-h"_s} << int(O::Help) << QString();
        QTest::newRow("version") << QStringList{u"--dir"_s, u"/a"_s, u"--version"_s} << int(O::Version) << QString();
        QTest::newRow("unknown") << QStringList{u"--bad"_s} << int(O::Error) << u"unknown option '--bad'"_s;
        QTest::newRow("file only") << QStringList{u"--secret"_s, u"x"_s} << int(O::Error)
                                   << u"secret (from --secret)"_s;
        QTest::newRow("a switch with a value")
            << QStringList{u"--debug=1"_s} << int(O::Error) << u"--debug takes no value"_s;
        QTest::newRow("no value") << QStringList{u"--dir"_s} << int(O::Error) << u"--dir needs a value"_s;
        QTest::newRow("an argument") << QStringList{u"x"_s} << int(O::Error) << u"unexpected argument 'x'"_s;
    }
    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, outcome);
        QFETCH(QString, expect);
        ProgramOptions options = table();
        QCOMPARE(int(options.parse(QStringList{u"prog"_s} + args)), outcome);
        if (outcome == int(ProgramOptions::Outcome::Run))
            QCOMPARE(options.setting(u"dir"_s)->value, expect);
        else
            QVERIFY2(options.error().contains(expect), qPrintable(options.error()));
    }

    // Bytes that are not UTF-8 come through argv and the config file as
    // they are, and the folder made has exactly those bytes.
    void pathBytes()
    {
        char arg0[] = "prog", arg1[] = "--dir", arg2[] = "/tmp/M\xe9sA";
        char *argv[] = {arg0, arg1, arg2};
        ProgramOptions options = table();
        QCOMPARE(options.parse(ProgramOptions::arguments(3, argv)), ProgramOptions::Outcome::Run);
        QCOMPARE(nativepath::encode(options.setting(u"dir"_s)->value), QByteArray("/tmp/M\xe9sA"));

        QTemporaryDir tmp;
        const QByteArray folder = QFile::encodeName(tmp.path()) + "/M\xe9sA";
        QHash<QString, QString> values;
        QString error;
        QVERIFY(parseConfigText("dir=" + folder + "\n", u"f"_s, &values, &error));
        QVERIFY(makePath(values.value(u"dir"_s)));
        QVERIFY(::access(folder.constData(), F_OK) == 0);
        QVERIFY(!QFileInfo::exists(tmp.filePath(u"M\uFFFDsA"_s)));
        QCOMPARE(::rmdir(folder.constData()), 0);
    }

    // The logger makes and uses the data folder its config file names, with
    // the bytes it has there, also when they are not UTF-8.
    void loggerFolderBytes()
    {
        QTemporaryDir tmp;
        const QByteArray folder = QFile::encodeName(tmp.path()) + "/M\xe9sA";
        QFile config(tmp.filePath(u"logger.conf"_s));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("port = /nonexistent\ndir = " + folder + "\n");
        config.close();
        Started run(program(u"service/sorvik7-logger"_s), {u"--config"_s, config.fileName()}, tmp.path());
        QTRY_VERIFY_WITH_TIMEOUT(::access(folder.constData(), F_OK) == 0, kSlowMs);
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY(run.process.waitForFinished(kSlowMs));
        QVERIFY(!QFileInfo::exists(tmp.filePath(u"M\uFFFDsA"_s)));
        // What the logger left there (its folder lock), for the temporary folder to go.
        ::unlink((folder + "/.sorvik7.lock").constData());
        ::rmdir(folder.constData());
    }

    // Every shipped example config, unchanged: the logger waits for its
    // device, the collector for its broker; both run until SIGTERM.
    void exampleConfigs_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("config");
        QTest::newRow("logger") << u"service/sorvik7-logger"_s << u"logger.conf.example"_s;
        QTest::newRow("collector") << u"collector/sorvik7-collect"_s << u"collect.conf.example"_s;
    }
    void exampleConfigs()
    {
        QFETCH(QString, path);
        QFETCH(QString, config);
        QTemporaryDir home;
        const QString file = QStringLiteral(SORVIK7_SOURCE_DIR "/packaging/") + config;
        Started run(program(path), {u"--config"_s, file, u"--dir"_s, home.filePath(u"data"_s)}, home.path());
        QVERIFY(run.process.waitForStarted(kSlowMs));
        run.process.setReadChannel(QProcess::StandardError);
        QVERIFY(run.process.waitForReadyRead(kSlowMs)); // its start line
        QVERIFY2(!run.process.waitForFinished(kRunsMs), run.process.readAllStandardError().constData());
        ::kill(pid_t(run.process.processId()), SIGTERM);
        QVERIFY(run.process.waitForFinished(kSlowMs));
        const QByteArray log = run.process.readAllStandardError();
        QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(run.process.exitCode() == 0, log.constData());
        QVERIFY2(!log.contains("unknown key"), log.constData());
    }

    // --version and --help of every program, on a machine without a display.
    void versionAndHelp_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *p : {"ui/sorvik7", "service/sorvik7-logger", "viewer/sorvik7-view",
                              "collector/sorvik7-collect", "tools/sorvik7-sensor"})
            QTest::newRow(p) << QString::fromLatin1(p);
    }
    void versionAndHelp()
    {
        QFETCH(QString, path);
        const QString name = QFileInfo(path).fileName();
        for (const QString &option : {u"--version"_s, u"--help"_s}) {
            Started run(program(path), {option});
            QVERIFY(run.process.waitForFinished(kSlowMs));
            QCOMPARE(run.process.exitCode(), 0);
            QCOMPARE(run.process.readAllStandardError(), QByteArray());
            const QString out = QString::fromLocal8Bit(run.process.readAllStandardOutput());
            QVERIFY2(out.startsWith(option == u"--help" ? u"Usage: "_s + name : name + u' '), qPrintable(out));
            QVERIFY2(!out.contains(u"--help-all"_s) && !out.contains(u"-platform"_s), qPrintable(out));
        }
    }

    // A picture for a cron job: written, and not a word on stderr.
    void quietPicture()
    {
        QTemporaryDir dir;
        QFile day(dir.filePath(u"20030521.SVK"_s));
        QVERIFY(day.open(QIODevice::WriteOnly));
        day.write(kHeader + recordLine(2.5) + "\r\n" + recordLine(3.0, 200, "14:03:08") + "\r\n");
        day.close();
        Started run(program(u"viewer/sorvik7-view"_s), {u"--png"_s, dir.filePath(u"w.png"_s), day.fileName()});
        QVERIFY(run.process.waitForFinished(kSlowMs));
        QCOMPARE(run.process.readAllStandardError(), QByteArray());
        QCOMPARE(run.process.exitCode(), 0);
        QVERIFY(QFileInfo(dir.filePath(u"w.png"_s)).size() > 0);
    }
};

QTEST_GUILESS_MAIN(tst_daemon)
#include "tst_daemon.moc"
