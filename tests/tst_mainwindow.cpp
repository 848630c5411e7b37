#include "acquisition/clock.h"
#include "datafile/recordformat.h"
#include "ui/dirlist.h"
#include "ui/frm_savepath.h"
#include "ui/frm_sorvik7.h"
#include "ui/panelstatusbar.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// Presses OK on every modal message box that opens and keeps its text.
class BoxCloser
{
public:
    BoxCloser()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                captions << box->windowTitle();
                plain = plain && box->textFormat() == Qt::PlainText && box->icon() == QMessageBox::NoIcon
                        && box->standardButtons() == QMessageBox::Ok;
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start();
    }
    QStringList texts, captions;
    bool plain = true;

private:
    QTimer m_timer;
};

// A pseudo-terminal: the program opens the slave as its serial device, the
// test writes the sensor's bytes into the master.
class Pty
{
public:
    Pty()
    {
        char name[128] = {};
        termios tio {};
        cfmakeraw(&tio);
        if (::openpty(&m_master, &m_slave, name, &tio, nullptr) == 0)
            m_name = QString::fromLocal8Bit(name);
    }
    ~Pty() { closeMaster(); if (m_slave >= 0) ::close(m_slave); }
    bool isValid() const { return !m_name.isEmpty(); }
    QString name() const { return m_name; }
    bool write(const QByteArray &bytes) { return ::write(m_master, bytes.constData(), bytes.size()) == bytes.size(); }
    // The device goes away.
    void closeMaster() { if (m_master >= 0) ::close(m_master); m_master = -1; if (m_slave >= 0) ::close(m_slave); m_slave = -1; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_name;
};

// A sensor message with its checksum: STX, the fields, ETX, two hex digits, CR LF.
QByteArray message(const QByteArray &speed)
{
    const QByteArray body = "Q,229," + speed + ",M,00,";
    char x = 0;
    for (char c : body)
        x = char(x ^ c);
    return '\x02' + body + '\x03' + QByteArray::number(quint8(x), 16).rightJustified(2, '0').toUpper() + "\r\n";
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void freshStart();
    void resizeMovesNothing();
    void buttonStates_data();
    void buttonStates();
    void settingOpensOneDialog();
    void settingCloseAppliesAndUpdatesPanels();
    void restartsOnlyWhenBackFromSetting();
    void lineEvents_data();
    void lineEvents();
    void deviceLostStops();
    void endToEnd();
    void endWhileSettingOpen();
    void titleBarCloseStopsFirst();

private:
    QPushButton *button(const char *name) const { return m_w->findChild<QPushButton *>(QString::fromLatin1(name)); }
    QString panel(int n) const { return m_w->findChild<PanelStatusBar *>(u"SB1"_s)->panelText(n); }
    QString label(const char *name) const { return m_w->findChild<QLabel *>(QString::fromLatin1(name))->text(); }
    QList<bool> enabled() const;
    Frm_Savepath *openSetting();

    SettableClock m_clock;
    std::unique_ptr<Frm_Sorvik7> m_w;
    std::unique_ptr<QSignalSpy> m_restarts;
};

void TestMainWindow::init()
{
    qunsetenv("SORVIK7_COM1");
    qunsetenv("SORVIK7_COM2");
    m_w = std::make_unique<Frm_Sorvik7>(m_clock);
    m_restarts = std::make_unique<QSignalSpy>(m_w.get(), &Frm_Sorvik7::cycleRestarted);
    m_w->show();
    QVERIFY(QTest::qWaitForWindowActive(m_w.get()));
}

void TestMainWindow::cleanup()
{
    m_restarts.reset();
    m_w.reset();
}

QList<bool> TestMainWindow::enabled() const
{
    // START, STOP, Setting, END
    return {button("Command1")->isEnabled(), button("Command4")->isEnabled(),
            button("Command2")->isEnabled(), button("Command3")->isEnabled()};
}

Frm_Savepath *TestMainWindow::openSetting()
{
    QTest::mouseClick(button("Command2"), Qt::LeftButton);
    auto *dlg = m_w->settingDialog();
    if (dlg)
        (void)QTest::qWaitForWindowActive(dlg);
    return dlg;
}

void TestMainWindow::freshStart()
{
    QCOMPARE(m_w->windowTitle(), u"SORVIK-7"_s);
    QCOMPARE(panel(1), QCoreApplication::applicationDirPath());
    QCOMPARE(panel(2), u"COM1"_s);
    QCOMPARE(panel(3), QString());
    QCOMPARE(panel(4), PanelStatusBar::clockText(QTime::currentTime()));
    // Hours and minutes, no seconds.
    const QString clock = PanelStatusBar::clockText(QTime(14, 3, 7));
    QVERIFY2(clock.contains(u"03"_s) && !clock.contains(u"07"_s), qPrintable(clock));
    QCOMPARE(label("lbl_cnt"), u"00"_s);
    QCOMPARE(label("lbl_title"), u"."_s);
    QCOMPARE(label("Label1"), u"Recive Data"_s);
    QCOMPARE(m_w->findChild<QLineEdit *>(u"txt_meas"_s)->text(), QString());
    QCOMPARE(enabled(), (QList<bool>{true, true, true, true}));
    const sorvik7_def &s = m_w->state();
    QCOMPARE(s.Save_Path, QCoreApplication::applicationDirPath());
    QCOMPARE(s.Com_Port, 1);
    QCOMPARE(s.Sample_Num, 10);
    QVERIFY(s.Stop_Flag);
    QVERIFY(!s.Debug_Flag);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(m_restarts->count(), 1);
    QVERIFY(!m_w->windowIcon().isNull());
    QCOMPARE(m_w->findChild<QLabel *>(u"Image1"_s)->pixmap().size(), QSize(124, 135));
}

void TestMainWindow::resizeMovesNothing()
{
    const qreal dpi = m_w->logicalDpiX();
    QCOMPARE(m_w->size(), QSize(qRound(7620 * dpi / 1440), qRound(1650 * m_w->logicalDpiY() / 1440.0)));
    const QRect end = button("Command3")->geometry();
    QCOMPARE(end.topLeft(), QPoint(qRound(6000 * dpi / 1440), qRound(960 * m_w->logicalDpiY() / 1440.0)));
    auto *sb = m_w->findChild<PanelStatusBar *>(u"SB1"_s);
    const int sbHeight = sb->height();
    const int panel1 = sb->panel(1)->width();

    m_w->resize(m_w->width() + 200, m_w->height() + 100);
    QTRY_COMPARE(sb->geometry(), QRect(0, m_w->height() - sbHeight, m_w->width(), sbHeight));
    QCOMPARE(button("Command3")->geometry(), end);
    QCOMPARE(sb->panel(1)->width(), panel1);
}

void TestMainWindow::buttonStates_data()
{
    QTest::addColumn<bool>("portExists");
    QTest::newRow("port opens") << true;
    QTest::newRow("port missing") << false;
}

void TestMainWindow::buttonStates()
{
    QFETCH(bool, portExists);
    Pty pty;
    QVERIFY(pty.isValid());
    const QString device = portExists ? pty.name() : QDir::temp().filePath(u"sorvik7-no-such-device"_s);
    qputenv("SORVIK7_COM1", device.toLocal8Bit());
    const QList<bool> all{true, true, true, true};
    const QList<bool> running{false, true, false, false};

    // STOP while stopped changes nothing.
    QTest::mouseClick(button("Command4"), Qt::LeftButton);
    QVERIFY(m_w->state().Stop_Flag);
    QCOMPARE(enabled(), all);

    BoxCloser closer;
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QCOMPARE(closer.texts, portExists ? QStringList() : QStringList{u"Error : <COM1> 8002"_s});
    QVERIFY(closer.plain);
    if (!portExists)
        QCOMPARE(closer.captions, QStringList{u"SORVIK-7"_s});
    QCOMPARE(m_w->comm().PortOpen(), portExists);
    QVERIFY(!m_w->state().Stop_Flag);
    QCOMPARE(enabled(), running);
    // The box closing is no return from the settings dialog.
    QCOMPARE(m_restarts->count(), 1);

    QTest::mouseClick(button("Command4"), Qt::LeftButton);
    QVERIFY(m_w->state().Stop_Flag);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(enabled(), all);
}

void TestMainWindow::settingOpensOneDialog()
{
    auto *first = openSetting();
    QVERIFY(first);
    QTest::mouseClick(button("Command2"), Qt::LeftButton);
    QCOMPARE(m_w->settingDialog(), first);
    int dialogs = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        dialogs += qobject_cast<Frm_Savepath *>(w) && w->isVisible();
    QCOMPARE(dialogs, 1);
    QTRY_VERIFY(first->isActiveWindow());

    // The main window stays usable: START works with the dialog open.
    BoxCloser closer;
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QVERIFY(!m_w->state().Stop_Flag);
    QVERIFY(!button("Command2")->isEnabled());
    QVERIFY(m_w->settingDialog());
}

void TestMainWindow::settingCloseAppliesAndUpdatesPanels()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto *dlg = openSetting();
    QVERIFY(dlg);
    QVERIFY(dlg->findChild<DirList *>(u"Dir1"_s)->setPath(dir.path()));
    auto *cmb = dlg->findChild<QComboBox *>(u"cmb1"_s);
    cmb->setCurrentIndex(2);   // COM3, picked from the list
    QTest::mouseClick(dlg->findChild<QRadioButton *>(u"Option1_1"_s), Qt::LeftButton);
    QTest::mouseClick(dlg->findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
    QTRY_VERIFY(!m_w->settingDialog());
    QCOMPARE(panel(1), dir.path());
    QCOMPARE(panel(2), u"COM3"_s);
    QCOMPARE(m_w->state().Save_Path, dir.path());
    QCOMPARE(m_w->state().Com_Port, 3);
    QCOMPARE(m_w->state().Sample_Num, 20);

    // Reopened, it shows its own initial values and the folder chosen last;
    // the title-bar close then applies nothing.
    dlg = openSetting();
    QVERIFY(dlg);
    QCOMPARE(dlg->findChild<QComboBox *>(u"cmb1"_s)->currentText(), u"COM1"_s);
    QVERIFY(dlg->findChild<QRadioButton *>(u"Option1_4"_s)->isChecked());
    QCOMPARE(dlg->findChild<DirList *>(u"Dir1"_s)->path(), dir.path());
    dlg->close();
    QTRY_VERIFY(!m_w->settingDialog());
    QCOMPARE(panel(2), u"COM3"_s);
    QCOMPARE(m_w->state().Com_Port, 3);
    QCOMPARE(m_w->state().Sample_Num, 20);
}

void TestMainWindow::restartsOnlyWhenBackFromSetting()
{
    QCOMPARE(m_restarts->count(), 1);   // the first show

    // Another program takes the focus and gives it back: nothing.
    QWindow other;
    other.resize(50, 50);
    other.show();
    other.requestActivate();
    QTRY_VERIFY(!m_w->isActiveWindow());
    m_w->activateWindow();
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 1);

    // A click on the main window while the dialog is open.
    auto *dlg = openSetting();
    QVERIFY(dlg);
    QTRY_VERIFY(dlg->isActiveWindow());
    QCOMPARE(m_restarts->count(), 1);
    m_w->activateWindow();
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 2);
    // Activated again without having been in the dialog: nothing.
    other.requestActivate();
    QTRY_VERIFY(!m_w->isActiveWindow());
    m_w->activateWindow();
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 2);

    // The dialog closing, by Close and by its title bar.
    dlg->activateWindow();
    QTRY_VERIFY(dlg->isActiveWindow());
    QTest::mouseClick(dlg->findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
    QTRY_VERIFY(!m_w->settingDialog());
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 3);
    dlg = openSetting();
    QVERIFY(dlg);
    dlg->close();
    QTRY_VERIFY(!m_w->settingDialog());
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 4);
}

void TestMainWindow::lineEvents_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("beeps");

    QTest::newRow("framing on port 2") << QList<int>{1004} << 2 << u"Com2 : Framing error detected"_s << 1;
    QTest::newRow("overrun then parity") << QList<int>{1006, 1009} << 1 << u"Com1 : Parity error detected"_s << 2;
    QTest::newRow("break") << QList<int>{1001} << 5 << u"Com5 : Break signal detected"_s << 1;
    QTest::newRow("CTS") << QList<int>{1002} << 1 << u"Com1 : CTS timeout detected"_s << 1;
    QTest::newRow("DSR") << QList<int>{1003} << 1 << u"Com1 : DSR timeout detected"_s << 1;
    QTest::newRow("CD") << QList<int>{1007} << 1 << u"Com1 : CD timeout detected"_s << 1;
    QTest::newRow("rx over") << QList<int>{1008} << 1 << u"Com1 : Receive buffer overflow detected"_s << 1;
    QTest::newRow("tx full") << QList<int>{1010} << 1 << u"Com1 : Transfer buffer full error detected"_s << 1;
    QTest::newRow("DCB") << QList<int>{1011} << 3 << u"Com3 : DCB get error detected"_s << 1;
    QTest::newRow("notifications and 1005") << QList<int>{1, 2, 3, 4, 5, 6, 7, 1005, 0, 999, 1013, -1} << 1 << u"."_s << 0;
    QTest::newRow("report stays") << QList<int>{1004, 2, 1005} << 1 << u"Com1 : Framing error detected"_s << 1;
}

void TestMainWindow::lineEvents()
{
    QFETCH(QList<int>, codes);
    QFETCH(int, port);
    QFETCH(QString, label);
    QFETCH(int, beeps);
    m_w->state().Com_Port = qint16(port);
    for (int code : codes)
        m_w->handleLineEvent(qint16(code));
    QCOMPARE(this->label("lbl_title"), label);
    QCOMPARE(m_w->beepCount(), beeps);
}

void TestMainWindow::deviceLostStops()
{
    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("SORVIK7_COM1", pty.name().toLocal8Bit());
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QVERIFY(m_w->comm().PortOpen());

    // The device goes away under the open port.
    pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(m_w->state().Stop_Flag, 5000);
    QVERIFY(label("lbl_title").startsWith(u"Com1 : "_s));
    QCOMPARE(m_w->beepCount(), 1);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(enabled(), (QList<bool>{true, true, true, true}));
}

void TestMainWindow::endToEnd()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("SORVIK7_COM1", pty.name().toLocal8Bit());

    // The folder through the dialog; its Close also sets N = 3.
    auto *dlg = openSetting();
    QVERIFY(dlg);
    QVERIFY(dlg->findChild<DirList *>(u"Dir1"_s)->setPath(dir.path()));
    QTest::mouseClick(dlg->findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
    QTRY_VERIFY(!m_w->settingDialog());
    QCOMPARE(m_w->state().Sample_Num, 3);

    BoxCloser closer;
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QVERIFY(m_w->comm().PortOpen());

    // Three messages before the fourth STX are skipped, two fill the window,
    // and each further complete message is one record.
    QByteArray line;
    for (const char *speed : {"009.00", "009.00", "009.00", "001.00", "002.00", "003.00", "006.00", "009.00"})
        line += message(speed);
    line += '\x02';
    QVERIFY(pty.write(line));

    const QString file = dir.filePath(dataFileName(m_clock.now().date()));
    const QByteArray expected = "Gill Format Polar,03/05/21,14:03:07\r\n"
                                "14:03:07,\x02Q,229,002.00,M,00\r\n"
                                "14:03:07,\x02Q,229,003.67,M,00\r\n"
                                "14:03:07,\x02Q,229,006.00,M,00\r\n";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(file), expected, 10000);
    QCOMPARE(m_w->findChild<QLineEdit *>(u"txt_meas"_s)->text(),
             QString::fromLatin1(message("009.00")));
    QCOMPARE(closer.texts, QStringList());
    QTest::mouseClick(button("Command4"), Qt::LeftButton);
}

void TestMainWindow::endWhileSettingOpen()
{
    QPointer<Frm_Savepath> dlg = openSetting();
    QVERIFY(dlg);
    QSignalSpy restarts(m_w.get(), &Frm_Sorvik7::cycleRestarted);
    QTest::mouseClick(button("Command3"), Qt::LeftButton);
    QVERIFY(!dlg);
    QVERIFY(!m_w->isVisible());
    QCOMPARE(restarts.count(), 0);
    QCOMPARE(m_w->cycle().phase(), AcquisitionCycle::Phase::Ended);
}

void TestMainWindow::titleBarCloseStopsFirst()
{
    Pty pty;
    QVERIFY(pty.isValid());
    qputenv("SORVIK7_COM1", pty.name().toLocal8Bit());
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QVERIFY(m_w->comm().PortOpen());
    QVERIFY(m_w->close());
    QVERIFY(m_w->state().Stop_Flag);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(m_w->cycle().phase(), AcquisitionCycle::Phase::Ended);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
