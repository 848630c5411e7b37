#include "common/nativepath.h"
#include "datafile/folderlock.h"
#include "tests/support/testsupport.h"
#include "ui/dirlist.h"
#include "ui/drivelist.h"
#include "ui/frm_savepath.h"
#include "ui/frm_sorvik7.h"
#include "ui/panelstatusbar.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
// Answers every modal message box (OK, or `answer` where there is no OK);
// `proper`: all plain text, no icon, captioned SORVIK-7, OK only where OK is the answer.
struct BoxCloser : QTimer
{
    QStringList texts;
    bool proper = true;
    explicit BoxCloser(QMessageBox::StandardButton answer = QMessageBox::Ok)
    {
        connect(this, &QTimer::timeout, this, [this, answer] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                proper = proper && box->windowTitle() == u"SORVIK-7"_s && box->textFormat() == Qt::PlainText
                    && box->icon() == QMessageBox::NoIcon
                    && (answer != QMessageBox::Ok || box->standardButtons() == QMessageBox::Ok);
                box->button(answer)->click();
            }
        });
        start(10);
    }
};

template<typename T = QWidget>
T *kid(const QObject *parent, const QString &name)
{
    return parent->findChild<T *>(name);
}
void click(QWidget *w)
{
    QTest::mouseClick(w, Qt::LeftButton);
}
void typePort(QComboBox *cmb, const QString &text)
{
    cmb->clearEditText();
    cmb->lineEdit()->insert(text);
}
bool activate(QWidget *w)
{
    w->activateWindow();
    return QTest::qWaitFor([w] { return w->isActiveWindow(); });
}

QTreeWidgetItem *entry(DirList *list, const QString &name)
{
    return list->findItems(name, Qt::MatchExactly | Qt::MatchRecursive).value(0);
}

// A click, then the second press, as the mouse makes a double-click.
void doubleClick(DirList *list, QTreeWidgetItem *item, bool second = true)
{
    list->scrollToItem(item);
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    if (second)
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

class TestUi : public QObject
{
    Q_OBJECT

    SettableClock m_clock;
    QTemporaryDir m_tmp;
    std::unique_ptr<Frm_Sorvik7> m_w;
    std::unique_ptr<QSignalSpy> m_restarts;
    const QList<bool> m_allEnabled{true, true, true, true};

    QPushButton *button(const QString &name) const { return kid<QPushButton>(m_w.get(), name); }
    QString panel(int n) const { return kid<PanelStatusBar>(m_w.get(), u"SB1"_s)->panelText(n); }
    QString label(const QString &name) const { return kid<QLabel>(m_w.get(), name)->text(); }
    QList<int> settings() const { return {m_w->state().Com_Port, m_w->state().Sample_Num, m_w->state().Debug_Flag}; }
    QList<bool> enabled() const // START, STOP, Setting, END
    {
        return {button(u"Command1"_s)->isEnabled(), button(u"Command4"_s)->isEnabled(),
                button(u"Command2"_s)->isEnabled(), button(u"Command3"_s)->isEnabled()};
    }
    Frm_Savepath *openSetting()
    {
        click(button(u"Command2"_s));
        Frm_Savepath *dlg = m_w->settingDialog();
        return dlg && QTest::qWaitForWindowActive(dlg) ? dlg : nullptr;
    }
    bool start() // on the device SORVIK7_COM1 names
    {
        click(button(u"Command1"_s));
        return m_w->engine().isPortOpen();
    }

private slots:
    void init()
    {
        qunsetenv("SORVIK7_COM1");
        m_w = std::make_unique<Frm_Sorvik7>(m_clock);
        m_restarts = std::make_unique<QSignalSpy>(m_w.get(), &Frm_Sorvik7::cycleRestarted);
        m_w->show();
        QVERIFY(QTest::qWaitForWindowActive(m_w.get()));
    }
    void cleanup()
    {
        m_restarts.reset();
        m_w.reset();
    }

    void freshStart()
    {
        QCOMPARE(m_w->windowTitle(), u"SORVIK-7"_s);
        QCOMPARE(QStringList({panel(1), panel(2), panel(3)}),
                 QStringList({QCoreApplication::applicationDirPath(), u"COM1"_s, QString()}));
        QTRY_COMPARE(panel(4), PanelStatusBar::clockText(QTime::currentTime()));
        const QString clock = PanelStatusBar::clockText(QTime(14, 3, 7)); // hours and minutes
        QVERIFY2(clock.contains(u"03"_s), qPrintable(clock));
        QVERIFY2(!clock.contains(u"07"_s), qPrintable(clock));
        QCOMPARE(QStringList({label(u"lbl_cnt"_s), label(u"lbl_title"_s), label(u"Label1"_s),
                              kid<QLineEdit>(m_w.get(), u"txt_meas"_s)->text()}),
                 QStringList({u"00"_s, u"."_s, u"Recive Data"_s, QString()}));
        QCOMPARE(enabled(), m_allEnabled);
        QCOMPARE(settings(), (QList<int>{1, 10, false}));
        QVERIFY(m_w->state().Stop_Flag);
        QVERIFY(!m_w->engine().isPortOpen());
        QCOMPARE(m_restarts->count(), 1); // the first show
        QVERIFY(!m_w->windowIcon().isNull());
        QCOMPARE(kid<QLabel>(m_w.get(), u"Image1"_s)->pixmap().size(), QSize(124, 135));

        // A resize only moves the status bar along the bottom.
        const QRect end = button(u"Command3"_s)->geometry();
        auto *sb = kid<PanelStatusBar>(m_w.get(), u"SB1"_s);
        m_w->resize(m_w->width() + 200, m_w->height() + 100);
        QTRY_COMPARE(sb->geometry(), QRect(0, m_w->height() - sb->height(), m_w->width(), sb->height()));
        QCOMPARE(button(u"Command3"_s)->geometry(), end);
    }

    // START on a port that is not there: the box, then running as far as
    // the buttons go (the window waits for the device) until STOP.
    void startWithoutPort()
    {
        qputenv("SORVIK7_COM1", (m_tmp.path() + u"-missing"_s).toLocal8Bit());
        click(button(u"Command4"_s)); // STOP while stopped changes nothing
        QVERIFY(m_w->state().Stop_Flag);
        QCOMPARE(enabled(), m_allEnabled);

        BoxCloser closer;
        QVERIFY(!start());
        QCOMPARE(closer.texts.size(), 1);
        QCOMPARE(closer.texts.first().section(u'\n', 0, 0), u"Error : <COM1> 8002"_s);
        QVERIFY(closer.proper);
        QVERIFY(!m_w->state().Stop_Flag);
        QCOMPARE(enabled(), (QList<bool>{false, true, false, false}));
        QCOMPARE(m_restarts->count(), 1); // a message box closing restarts nothing

        click(button(u"Command4"_s));
        QVERIFY(m_w->state().Stop_Flag);
        QCOMPARE(enabled(), m_allEnabled);
    }

    void settingDialog()
    {
        QWindow other; // another program
        other.resize(50, 50);
        other.show();
        auto viaOther = [&] {
            other.requestActivate();
            return QTest::qWaitFor([&] { return !m_w->isActiveWindow(); }) && activate(m_w.get());
        };
        sorvik7_def &s = m_w->state();
        s.Save_Path = m_tmp.path();
        s.Com_Port = 3;
        s.Sample_Num = 20;
        s.Debug_Flag = true;
        // Twice: choices dropped by the title-bar close must not show up on reopening.
        for (int restarts = 1; restarts < 5; restarts += 2) {
            QVERIFY(viaOther());
            auto *dlg = openSetting();
            QVERIFY(dlg);
            click(button(u"Command2"_s));
            QCOMPARE(m_w->settingDialog(), dlg);
            QTRY_VERIFY(dlg->isActiveWindow());
            QCOMPARE(m_restarts->count(), restarts);

            auto *cmb = kid<QComboBox>(dlg, u"cmb1"_s);
            QCOMPARE(cmb->currentText(), u"COM1"_s);
            QVERIFY(kid<QRadioButton>(dlg, u"Option1_4"_s)->isChecked());
            QVERIFY(!kid<QCheckBox>(dlg, u"Check1"_s)->isChecked());
            QCOMPARE(kid<DirList>(dlg, u"Dir1"_s)->path(), m_tmp.path());
            click(kid<QRadioButton>(dlg, u"Option1_0"_s));
            click(kid<QCheckBox>(dlg, u"Check1"_s));
            typePort(cmb, u"COM7"_s);

            // Back on the main window straight from the dialog restarts the cycle; via another program not.
            QVERIFY(activate(m_w.get()));
            QCOMPARE(m_restarts->count(), restarts + 1);
            QVERIFY(viaOther());
            QVERIFY(activate(dlg));
            dlg->close();
            QTRY_VERIFY(!m_w->settingDialog() && m_w->isActiveWindow());
            QCOMPARE(m_restarts->count(), restarts + 2);
            QCOMPARE(settings(), (QList<int>{3, 20, true}));
            QCOMPARE(panel(2), u"COM1"_s);
        }
        QPointer<Frm_Savepath> dlg = openSetting(); // END with the dialog open closes both
        click(button(u"Command3"_s));
        QVERIFY(!dlg);
        QVERIFY(!m_w->isVisible());
        QCOMPARE(m_w->engine().cycle().phase(), AcquisitionCycle::Phase::Ended);
    }

    void settingClose_data()
    {
        QTest::addColumn<int>("option");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("comPort"); // -1: refused
        QTest::newRow("as opened") << -1 << u"COM1"_s << false << 3 << 1;
        QTest::newRow("20, COM5, debug") << 1 << u"COM5"_s << true << 20 << 5;
        QTest::newRow("5, COM12 gives 2") << 3 << u"COM12"_s << false << 5 << 2;
        QTest::newRow("refused: empty") << 0 << QString() << true << 10 << -1;
        QTest::newRow("refused: non-ASCII digit") << 0 << u"COM\u0663"_s << true << 10 << -1;
    }
    void settingClose()
    {
        QFETCH(int, option);
        QFETCH(QString, port);
        QFETCH(bool, debug);
        QFETCH(int, n);
        QFETCH(int, comPort);
        const bool refused = comPort < 0;
        const QString path = refused ? m_w->state().Save_Path : m_tmp.path();

        auto *dlg = openSetting();
        QVERIFY(dlg);
        QVERIFY(kid<DirList>(dlg, u"Dir1"_s)->setPath(m_tmp.path()));
        if (option >= 0)
            click(kid<QRadioButton>(dlg, u"Option1_%1"_s.arg(option)));
        if (debug)
            click(kid<QCheckBox>(dlg, u"Check1"_s));
        typePort(kid<QComboBox>(dlg, u"cmb1"_s), port);
        BoxCloser closer;
        click(kid<QPushButton>(dlg, u"Command1"_s));
        QCOMPARE(closer.texts.size(), refused ? 1 : 0);

        // Refused: nothing applied, the folder included, and the dialog stays open.
        QCOMPARE(settings(), (QList<int>{refused ? 1 : comPort, n, debug && !refused}));
        QCOMPARE(QStringList({m_w->state().Save_Path, panel(1), panel(2)}),
                 QStringList({path, path, u"COM%1"_s.arg(settings().first())}));
        QTRY_COMPARE(m_w->settingDialog(), refused ? dlg : nullptr);
        QTRY_VERIFY(refused || m_w->isActiveWindow());
        QCOMPARE(m_restarts->count(), refused ? 1 : 2); // back from the dialog, not from the box
    }

    void missingDataFolderKept()
    {
        // The data folder is not there: the list shows its nearest parent and
        // says so, and Close without opening a folder keeps the data folder.
        const QString gone = m_tmp.filePath(u"stick/data"_s);
        m_w->state().Save_Path = gone;
        BoxCloser closer;
        click(button(u"Command2"_s));
        Frm_Savepath *dlg = m_w->settingDialog();
        QVERIFY(dlg);
        QTRY_COMPARE(closer.texts.size(), 1);
        QVERIFY(closer.texts.first().contains(gone));
        QCOMPARE(kid<DirList>(dlg, u"Dir1"_s)->path(), m_tmp.path());
        click(kid<QPushButton>(dlg, u"Command1"_s));
        QCOMPARE(m_w->state().Save_Path, gone);
        QCOMPARE(panel(1), gone);
    }

    void defaultDataFolder()
    {
        // An installed program may not write its own folder: the default
        // is then a folder in the user's documents, made for the purpose.
        if (::geteuid() != 0)
            QSKIP("needs root, to look at the program's folder as an ordinary user");
        QVERIFY(::chmod(QFile::encodeName(m_tmp.path()).constData(), 0777) == 0);
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", m_tmp.path().toLocal8Bit());
        QString folder;
        {
            AsOrdinaryUser user;
            folder = Frm_Sorvik7::defaultDataFolder();
        }
        qputenv("HOME", home);
        QCOMPARE(folder, m_tmp.filePath(u"Documents/SORVIK-7"_s));
        QVERIFY(QFileInfo(folder).isDir());
    }

    void folderAndDrive()
    {
        const QString top = m_tmp.path();
        for (const char *d : {"beta", "gamma/inner"})
            QVERIFY(QDir(top).mkpath(QString::fromLatin1(d)));
        // A folder whose name is not valid UTF-8 is listed and can be chosen.
        const QByteArray latin1 = QFile::encodeName(top) + "/caf\xe9";
        QVERIFY(::mkdir(latin1.constData(), 0700) == 0);
        m_w->state().Save_Path = top;
        auto *dlg = openSetting();
        QVERIFY(dlg);
        auto *dir = kid<DirList>(dlg, u"Dir1"_s);

        // From the root down to the folder and its subfolders. A highlighted folder is not the path; a double-clicked
        // one is.
        auto *gamma = entry(dir, u"gamma"_s);
        doubleClick(dir, gamma, false);
        QCOMPARE(dir->topLevelItem(0)->text(0), QDir::rootPath());
        QVERIFY(entry(dir, u"beta"_s));
        QCOMPARE(dir->currentItem(), gamma);
        QCOMPARE(dir->path(), top);
        doubleClick(dir, gamma);
        QCOMPARE(dir->path(), top + u"/gamma"_s);
        QVERIFY(entry(dir, u"inner"_s));
        QVERIFY(!entry(dir, u"beta"_s));
        doubleClick(dir, entry(dir, QDir(top).dirName()));
        QCOMPARE(dir->path(), top);
        doubleClick(dir, entry(dir, u"caf\u00e9"_s));
        QCOMPARE(nativepath::encode(dir->path()), latin1);
        doubleClick(dir, entry(dir, QDir(top).dirName()));

        // Drives that are plain folders: a new one shows its root; one not ready keeps the previous one.
        QTemporaryDir b, gone;
        QVERIFY(b.isValid() && gone.isValid());
        auto *drive = kid<DriveList>(dlg, u"Drive1"_s);
        drive->setRoots({top, b.path(), gone.path()});
        drive->setDrive(top + u"/beta"_s);
        QCOMPARE(drive->drive(), top);
        drive->setCurrentIndex(1);
        QCOMPARE(dir->path(), b.path());
        QVERIFY(gone.remove());
        BoxCloser closer;
        drive->setCurrentIndex(2);
        QCOMPARE(closer.texts.size(), 1);
        QVERIFY(closer.proper);
        QCOMPARE(QStringList({drive->drive(), dir->path()}), QStringList({b.path(), b.path()}));
        QVERIFY(dlg->Command1_Click());
        QCOMPARE(m_w->state().Save_Path, b.path());
        QVERIFY(::rmdir(latin1.constData()) == 0); // Qt cannot remove what it cannot name
    }

    void fileFaultKeepsAcquiring()
    {
        // The data folder goes away while the sensor sends: one box that
        // holds nothing up, the records wait and are counted in the window,
        // END asks before losing them, and once the folder is back they land.
        Com1Line pty(m_tmp.filePath(u"COM1"_s));
        const QString folder = m_tmp.filePath(u"data"_s), away = m_tmp.filePath(u"away"_s);
        QVERIFY(QDir().mkdir(folder));
        m_w->state().Save_Path = folder;
        m_w->state().Sample_Num = 3;
        QVERIFY(start());
        Traffic traffic{.n = 3, .debug = false};
        QByteArray records = kHeader;
        pty.send(traffic.messages(6, records) + sorvik7::STX);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder + u"/20030521.SVK"_s), 30000);
        QVERIFY(QDir().rename(folder, away));
        pty.send(traffic.messages(4, records).mid(1) + sorvik7::STX);
        QTRY_COMPARE_WITH_TIMEOUT(panel(3), u"4 wait"_s, 30000);
        const QList<QMessageBox *> boxes = m_w->findChildren<QMessageBox *>();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first()->text(), u"Unable to open data file.  76"_s);
        QVERIFY(!boxes.first()->isModal());
        // The count does not cover a line report.
        m_w->MSComm1_OnComm(1004);
        pty.send(traffic.messages(1, records).mid(1) + sorvik7::STX);
        QTRY_COMPARE_WITH_TIMEOUT(panel(3), u"5 wait"_s, 30000);
        QCOMPARE(label(u"lbl_title"_s), u"Com1 : Framing error detected"_s);

        click(button(u"Command4"_s));
        QVERIFY(!m_w->engine().isPortOpen());
        QCOMPARE(enabled(), m_allEnabled);
        {
            BoxCloser keep(QMessageBox::No);
            click(button(u"Command3"_s));
            QTRY_COMPARE(keep.texts.size(), 1);
            QVERIFY(keep.texts.first().startsWith(u"5 records are waiting"_s));
            QVERIFY(keep.proper);
        }
        QVERIFY(m_w->isVisible());
        QVERIFY(QDir().rename(away, folder));
        click(button(u"Command3"_s));
        QVERIFY(!m_w->isVisible());
        QCOMPARE(fileBytes(folder + u"/20030521.SVK"_s), records);
    }

    void faultBoxWithEarlyRecords()
    {
        // A FIFO under today's file name and a burst of messages, as a sensor
        // sends them: the box is up and stays up while the records queue.
        Com1Line pty(m_tmp.filePath(u"COM1"_s));
        const QString folder = m_tmp.filePath(u"fifo"_s);
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(::mkfifo(QFile::encodeName(folder + u"/20030521.SVK"_s).constData(), 0644) == 0);
        m_w->state().Save_Path = folder;
        QVERIFY(start());
        Traffic traffic{.n = 10, .debug = false};
        QByteArray records;
        pty.send(traffic.messages(40, records) + sorvik7::STX);
        QTRY_COMPARE_WITH_TIMEOUT(m_w->engine().backlog(), 28, 30000);
        QTRY_COMPARE(panel(3), u"28 wait"_s);
        // The panel is narrow: the longest count it shows still fits.
        const QLabel *third = kid<PanelStatusBar>(m_w.get(), u"SB1"_s)->panel(3);
        QVERIFY(third->fontMetrics().horizontalAdvance(u"400000 wait"_s) + third->indent()
                <= third->contentsRect().width());
        const auto shown = [] {
            QList<QMessageBox *> boxes;
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                    boxes << box;
            return boxes;
        };
        QCOMPARE(shown().size(), 1);
        QMessageBox *box = shown().first();
        QCOMPARE(box->text(), u"Unable to open data file1.  75"_s);
        QCOMPARE(m_w->beepCount(), 1); // once for the episode, not per record
        // Beside the window, not over its values and buttons; keys meant for
        // the window's controls do not close it, the mouse does.
        QVERIFY(!box->frameGeometry().intersects(m_w->frameGeometry()));
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
            QTest::keyClick(box, key);
        QVERIFY(box->isVisible());
        QPointer<QMessageBox> closed = box;
        click(box->button(QMessageBox::Ok));
        QVERIFY(!box->isVisible());
        // The engine tells of the next episode before the closed box is
        // deleted: it has a box of its own.
        emit const_cast<Acquisition &>(m_w->engine()).fileFault(u"Unable to open data file1.  75"_s);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!closed);
        QCOMPARE(shown().size(), 1);
        QCOMPARE(m_w->beepCount(), 2);
    }

    void folderInUse()
    {
        // Another program holds the data folder: START says so and stays stopped.
        FolderLock other;
        QCOMPARE(other.lock(QFile::encodeName(m_tmp.path())), FolderLock::Result::Held);
        m_w->state().Save_Path = m_tmp.path();
        BoxCloser closer;
        click(button(u"Command1"_s));
        QCOMPARE(closer.texts, QStringList{FolderLock::busyText(m_tmp.path(), ::getpid())});
        QVERIFY(closer.proper);
        QCOMPARE(enabled(), m_allEnabled);
        QVERIFY(m_w->state().Stop_Flag);
        QVERIFY(!m_w->engine().isPortOpen());
    }

    void lineEvents()
    {
        m_w->state().Com_Port = 2;
        for (int code : {1001, 2, 1005, 1013}) // a break, then codes that show nothing
            m_w->MSComm1_OnComm(qint16(code));
        QCOMPARE(label(u"lbl_title"_s), u"Com2 : Break signal detected"_s);
        QCOMPARE(m_w->beepCount(), 1);
        m_w->MSComm1_OnComm(1004);
        QCOMPARE(label(u"lbl_title"_s), u"Com2 : Framing error detected"_s);
        QCOMPARE(m_w->beepCount(), 2);
    }

    void endToEnd()
    {
        auto pty = std::make_unique<Com1Line>(m_tmp.filePath(u"COM1"_s));
        m_w->state().Save_Path = m_tmp.path();
        m_w->state().Sample_Num = 3;
        BoxCloser closer;
        QVERIFY(start());
        QCOMPARE(enabled(), (QList<bool>{false, true, false, false}));

        // Three messages before the fourth STX are skipped, two fill the window, then one record each.
        QByteArray bytes;
        for (double speed : {9, 9, 9, 1, 2, 3, 6, 9})
            bytes += sensorMessage(229, speed);
        QCOMPARE(pty->send(bytes + sorvik7::STX), bytes.size() + 1);
        const QString path = m_tmp.filePath(u"20030521.SVK"_s);
        QByteArray records = kHeader
            + "14:03:07,\x02Q,229,002.00,M,00\r\n14:03:07,\x02Q,229,003.67,M,00\r\n"
              "14:03:07,\x02Q,229,006.00,M,00\r\n";
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(path), records, 30000);
        QTRY_COMPARE(kid<QLineEdit>(m_w.get(), u"txt_meas"_s)->text(), QString::fromLatin1(sensorMessage(229, 9)));

        // The device goes away under the open port: one report, and the window
        // waits for it, still running as far as the buttons go.
        pty.reset();
        QTRY_COMPARE_WITH_TIMEOUT(label(u"lbl_title"_s), u"Com1 : Device lost, waiting for it"_s, 30000);
        QVERIFY(!m_w->engine().isPortOpen());
        QCOMPARE(enabled(), (QList<bool>{false, true, false, false}));
        QCOMPARE(m_w->beepCount(), 1);

        // A device is back at the same name: it is opened by itself and records
        // go on into the same file. Syncing goes on counting STX from the slot
        // the run stopped at and ends past the fourth.
        Traffic traffic{.n = 3, .debug = false, .skip = qMax(0, 4 - m_w->engine().cycle().Sample_Idx())};
        pty = std::make_unique<Com1Line>(m_tmp.filePath(u"COM1"_s));
        QTRY_COMPARE_WITH_TIMEOUT(label(u"lbl_title"_s), u"Com1 : Device back, acquisition resumed"_s, 30000);
        bytes = traffic.messages(traffic.skip + 2 + 3, records) + sorvik7::STX;
        QCOMPARE(pty->send(bytes), bytes.size());
        QTRY_COMPARE_WITH_TIMEOUT(fileBytes(path), records, 30000);
        QCOMPARE(closer.texts, QStringList());

        // Gone again, and STOP while waiting ends the waiting.
        pty.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!m_w->engine().isPortOpen(), 30000);
        click(button(u"Command4"_s));
        QCOMPARE(m_w->engine().state(), Acquisition::State::Stopped);
        QCOMPARE(enabled(), m_allEnabled);

        // The title-bar close while running ends the program as END does.
        pty = std::make_unique<Com1Line>(m_tmp.filePath(u"COM1"_s));
        QVERIFY(start());
        QVERIFY(m_w->close());
        QVERIFY(!m_w->isVisible());
        QVERIFY(m_w->state().Stop_Flag);
        QVERIFY(!m_w->engine().isPortOpen());
        QCOMPARE(m_w->engine().cycle().phase(), AcquisitionCycle::Phase::Ended);
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
