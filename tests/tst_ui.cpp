#include "acquisition/clock.h"
#include "datafile/recordformat.h"
#include "ui/dirlist.h"
#include "ui/drivelist.h"
#include "ui/frm_savepath.h"
#include "ui/frm_sorvik7.h"
#include "ui/panelstatusbar.h"

#include <QApplication>
#include <QCheckBox>
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

void typePort(QComboBox *cmb, const QString &text)
{
    cmb->clearEditText();
    cmb->lineEdit()->insert(text);
}

QTreeWidgetItem *findEntry(DirList *list, const QString &path)
{
    for (QTreeWidgetItemIterator it(list); *it; ++it) {
        if (DirList::entryPath(*it) == path)
            return *it;
    }
    return nullptr;
}

// A double-click as the mouse makes it: a click, then the second press.
void doubleClick(DirList *list, QTreeWidgetItem *item)
{
    list->scrollToItem(item);
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

class TestUi : public QObject
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
    void settingClose_data();
    void settingClose();
    void reopenAndTitleBarClose();
    void refusesPortWithoutDigit_data();
    void refusesPortWithoutDigit();
    void folderList();
    void driveChange();
    void restartsOnlyWhenBackFromSetting();
    void lineEvents_data();
    void lineEvents();
    void deviceLostStops();
    void endToEnd();
    void ending_data();
    void ending();

private:
    template<typename T = QWidget>
    T *child(QWidget *w, const QString &name) const { return w->findChild<T *>(name); }
    QPushButton *button(const char *name) const { return child<QPushButton>(m_w.get(), QString::fromLatin1(name)); }
    QString panel(int n) const { return child<PanelStatusBar>(m_w.get(), u"SB1"_s)->panelText(n); }
    QString label(const char *name) const { return child<QLabel>(m_w.get(), QString::fromLatin1(name))->text(); }
    QList<bool> enabled() const;
    Frm_Savepath *openSetting();
    void useDevice(const QString &path) { qputenv("SORVIK7_COM1", path.toLocal8Bit()); }

    SettableClock m_clock;
    QTemporaryDir m_tmp;
    std::unique_ptr<Frm_Sorvik7> m_w;
    std::unique_ptr<QSignalSpy> m_restarts;
};

void TestUi::init()
{
    qunsetenv("SORVIK7_COM1");
    m_w = std::make_unique<Frm_Sorvik7>(m_clock);
    m_restarts = std::make_unique<QSignalSpy>(m_w.get(), &Frm_Sorvik7::cycleRestarted);
    m_w->show();
    QVERIFY(QTest::qWaitForWindowActive(m_w.get()));
}

void TestUi::cleanup()
{
    m_restarts.reset();
    m_w.reset();
}

QList<bool> TestUi::enabled() const
{
    // START, STOP, Setting, END
    return {button("Command1")->isEnabled(), button("Command4")->isEnabled(),
            button("Command2")->isEnabled(), button("Command3")->isEnabled()};
}

Frm_Savepath *TestUi::openSetting()
{
    QTest::mouseClick(button("Command2"), Qt::LeftButton);
    auto *dlg = m_w->settingDialog();
    if (dlg)
        (void)QTest::qWaitForWindowActive(dlg);
    return dlg;
}

void TestUi::freshStart()
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
    QCOMPARE(child<QLineEdit>(m_w.get(), u"txt_meas"_s)->text(), QString());
    QCOMPARE(enabled(), (QList<bool>{true, true, true, true}));
    const sorvik7_def &s = m_w->state();
    QVERIFY(s.Com_Port == 1 && s.Sample_Num == 10 && s.Stop_Flag && !s.Debug_Flag);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(m_restarts->count(), 1);
    QVERIFY(!m_w->windowIcon().isNull());
    QCOMPARE(child<QLabel>(m_w.get(), u"Image1"_s)->pixmap().size(), QSize(124, 135));
}

void TestUi::resizeMovesNothing()
{
    const qreal dx = m_w->logicalDpiX() / 1440.0, dy = m_w->logicalDpiY() / 1440.0;
    QCOMPARE(m_w->size(), QSize(qRound(7620 * dx), qRound(1650 * dy)));
    const QRect end = button("Command3")->geometry();
    QCOMPARE(end.topLeft(), QPoint(qRound(6000 * dx), qRound(960 * dy)));
    auto *sb = child<PanelStatusBar>(m_w.get(), u"SB1"_s);
    const int sbHeight = sb->height();
    const int panel1 = sb->panel(1)->width();

    m_w->resize(m_w->width() + 200, m_w->height() + 100);
    QTRY_COMPARE(sb->geometry(), QRect(0, m_w->height() - sbHeight, m_w->width(), sbHeight));
    QCOMPARE(button("Command3")->geometry(), end);
    QCOMPARE(sb->panel(1)->width(), panel1);
}

void TestUi::buttonStates_data()
{
    QTest::addColumn<bool>("portExists");
    QTest::newRow("port opens") << true;
    QTest::newRow("port missing") << false;
}

void TestUi::buttonStates()
{
    QFETCH(bool, portExists);
    Pty pty;
    QVERIFY(pty.isValid());
    useDevice(portExists ? pty.name() : QDir::temp().filePath(u"sorvik7-no-such-device"_s));
    const QList<bool> all{true, true, true, true};

    // STOP while stopped changes nothing.
    QTest::mouseClick(button("Command4"), Qt::LeftButton);
    QVERIFY(m_w->state().Stop_Flag);
    QCOMPARE(enabled(), all);

    BoxCloser closer;
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QCOMPARE(closer.texts, portExists ? QStringList() : QStringList{u"Error : <COM1> 8002"_s});
    QVERIFY(closer.plain);
    QCOMPARE(closer.captions, portExists ? QStringList() : QStringList{u"SORVIK-7"_s});
    QCOMPARE(m_w->comm().PortOpen(), portExists);
    QVERIFY(!m_w->state().Stop_Flag);
    QCOMPARE(enabled(), (QList<bool>{false, true, false, false}));
    // The box closing is no return from the settings dialog.
    QCOMPARE(m_restarts->count(), 1);

    QTest::mouseClick(button("Command4"), Qt::LeftButton);
    QVERIFY(m_w->state().Stop_Flag);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(enabled(), all);
}

void TestUi::settingOpensOneDialog()
{
    auto *first = openSetting();
    QVERIFY(first);
    QCOMPARE(first->parentWidget(), nullptr);
    QCOMPARE(first->windowType(), Qt::Tool);   // no task-bar entry
    QCOMPARE(first->minimumSize(), first->maximumSize());
    QTest::mouseClick(button("Command2"), Qt::LeftButton);
    QCOMPARE(m_w->settingDialog(), first);
    int dialogs = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        dialogs += qobject_cast<Frm_Savepath *>(w) && w->isVisible();
    QCOMPARE(dialogs, 1);
    QTRY_VERIFY(first->isActiveWindow());
}

void TestUi::settingClose_data()
{
    QTest::addColumn<int>("option");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("comPort");

    QTest::newRow("at once") << -1 << QString() << false << 3 << 1;
    QTest::newRow("10, COM3") << 0 << u"COM3"_s << false << 10 << 3;
    QTest::newRow("20, COM5, debug") << 1 << u"COM5"_s << true << 20 << 5;
    QTest::newRow("30") << 2 << u"COM2"_s << false << 30 << 2;
    QTest::newRow("5") << 3 << u"COM4"_s << true << 5 << 4;
    QTest::newRow("COM12 gives 2") << 4 << u"COM12"_s << false << 3 << 2;
    QTest::newRow("COM0 gives 0") << 4 << u"COM0"_s << false << 3 << 0;
}

void TestUi::settingClose()
{
    QFETCH(int, option);
    QFETCH(QString, port);
    QFETCH(bool, debug);
    QFETCH(int, n);
    QFETCH(int, comPort);

    auto *dlg = openSetting();
    QVERIFY(dlg);
    QVERIFY(child<DirList>(dlg, u"Dir1"_s)->setPath(m_tmp.path()));
    if (option >= 0)
        QTest::mouseClick(child<QRadioButton>(dlg, u"Option1_%1"_s.arg(option)), Qt::LeftButton);
    if (!port.isEmpty())
        typePort(child<QComboBox>(dlg, u"cmb1"_s), port);
    if (debug)
        QTest::mouseClick(child<QCheckBox>(dlg, u"Check1"_s), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(dlg, u"Command1"_s), Qt::LeftButton);
    QTRY_VERIFY(!m_w->settingDialog());

    const sorvik7_def &s = m_w->state();
    QCOMPARE(s.Sample_Num, n);
    QCOMPARE(s.Com_Port, comPort);
    QCOMPARE(s.Debug_Flag, debug);
    QCOMPARE(s.Save_Path, m_tmp.path());
    QCOMPARE(panel(1), m_tmp.path());
    QCOMPARE(panel(2), u"COM%1"_s.arg(comPort));
}

void TestUi::reopenAndTitleBarClose()
{
    m_w->state().Com_Port = 3;
    m_w->state().Sample_Num = 20;
    m_w->state().Debug_Flag = true;
    m_w->state().Save_Path = m_tmp.path();
    // The dialog shows its own initial values, only the folder follows.
    auto *dlg = openSetting();
    QVERIFY(dlg);
    QCOMPARE(child<QComboBox>(dlg, u"cmb1"_s)->currentText(), u"COM1"_s);
    QCOMPARE(child<QComboBox>(dlg, u"cmb1"_s)->count(), 5);
    QVERIFY(child<QRadioButton>(dlg, u"Option1_4"_s)->isChecked());
    QVERIFY(!child<QCheckBox>(dlg, u"Check1"_s)->isChecked());
    QCOMPARE(child<DirList>(dlg, u"Dir1"_s)->path(), m_tmp.path());

    // The title-bar close applies nothing.
    QTest::mouseClick(child<QRadioButton>(dlg, u"Option1_0"_s), Qt::LeftButton);
    dlg->close();
    QTRY_VERIFY(!m_w->settingDialog());
    QCOMPARE(m_w->state().Com_Port, 3);
    QCOMPARE(m_w->state().Sample_Num, 20);
    QVERIFY(m_w->state().Debug_Flag);
    QCOMPARE(panel(2), u"COM1"_s);
}

void TestUi::refusesPortWithoutDigit_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("empty") << QString();
    QTest::newRow("trailing space") << u"COM3 "_s;
    QTest::newRow("non-ASCII digit") << u"COM\u0663"_s;
}

void TestUi::refusesPortWithoutDigit()
{
    QFETCH(QString, port);
    auto *dlg = openSetting();
    QVERIFY(dlg);
    QVERIFY(child<DirList>(dlg, u"Dir1"_s)->setPath(m_tmp.path()));
    typePort(child<QComboBox>(dlg, u"cmb1"_s), port);

    const QString before = m_w->state().Save_Path;
    BoxCloser closer;
    QVERIFY(!dlg->Command1_Click());
    QCOMPARE(closer.texts.size(), 1);
    // Nothing applied, the folder included, and the dialog stays open.
    QCOMPARE(m_w->state().Save_Path, before);
    QCOMPARE(panel(1), before);
    QCOMPARE(m_w->state().Sample_Num, 10);
    QVERIFY(m_w->settingDialog() && dlg->isVisible());
}

void TestUi::folderList()
{
    for (const char *d : {"beta", "Alpha", "gamma/inner", ".hidden"})
        QVERIFY(QDir(m_tmp.path()).mkpath(QString::fromLatin1(d)));
    const QString top = m_tmp.path();
    m_w->state().Save_Path = top;
    auto *dlg = openSetting();
    QVERIFY(dlg);
    auto *dir = child<DirList>(dlg, u"Dir1"_s);

    // From the root down to the folder, each one step further in, then the
    // subfolders (sorted, hidden ones left out) one step further still.
    auto *current = findEntry(dir, top);
    QVERIFY(current);
    QCOMPARE(dir->topLevelItem(0)->text(0), QDir::rootPath());
    QStringList children;
    for (int i = 0; i < current->childCount(); ++i)
        children << current->child(i)->text(0);
    QCOMPARE(children, (QStringList{u"Alpha"_s, u"beta"_s, u"gamma"_s}));

    // A highlighted folder is not the path; a double-clicked one is.
    auto *gamma = findEntry(dir, top + u"/gamma"_s);
    dir->scrollToItem(gamma);
    QTest::mouseClick(dir->viewport(), Qt::LeftButton, {}, dir->visualItemRect(gamma).center());
    QCOMPARE(dir->currentItem(), gamma);
    QCOMPARE(dir->path(), top);
    doubleClick(dir, gamma);
    QCOMPARE(dir->path(), top + u"/gamma"_s);
    QVERIFY(findEntry(dir, top + u"/gamma/inner"_s));
    QVERIFY(!findEntry(dir, top + u"/beta"_s));
    doubleClick(dir, findEntry(dir, top));
    QCOMPARE(dir->path(), top);

    doubleClick(dir, findEntry(dir, top + u"/Alpha"_s));
    QVERIFY(dlg->Command1_Click());
    QCOMPARE(m_w->state().Save_Path, top + u"/Alpha"_s);
}

void TestUi::driveChange()
{
    // Two "drives" that are plain folders, and one that goes away.
    QTemporaryDir a, b, gone;
    QVERIFY(a.isValid() && b.isValid() && gone.isValid());
    QVERIFY(QDir(a.path()).mkpath(u"x/y"_s));
    m_w->state().Save_Path = a.path() + u"/x/y"_s;
    auto *dlg = openSetting();
    QVERIFY(dlg);
    auto *drive = child<DriveList>(dlg, u"Drive1"_s);
    auto *dir = child<DirList>(dlg, u"Dir1"_s);
    drive->setRoots({a.path(), b.path(), gone.path()});
    drive->setDrive(m_w->state().Save_Path);
    QCOMPARE(drive->drive(), a.path());

    // A new drive shows its root.
    drive->setCurrentIndex(1);
    QCOMPARE(dir->path(), b.path());

    // A drive that is not ready keeps the previous drive and folder.
    QVERIFY(gone.remove());
    BoxCloser closer;
    drive->setCurrentIndex(2);
    QCOMPARE(closer.texts.size(), 1);
    QCOMPARE(drive->drive(), b.path());
    QCOMPARE(dir->path(), b.path());
}

void TestUi::restartsOnlyWhenBackFromSetting()
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
    other.requestActivate();
    QTRY_VERIFY(!m_w->isActiveWindow());
    m_w->activateWindow();
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 2);

    // The dialog closing, by Close and by its title bar.
    dlg->activateWindow();
    QTRY_VERIFY(dlg->isActiveWindow());
    QTest::mouseClick(child<QPushButton>(dlg, u"Command1"_s), Qt::LeftButton);
    QTRY_VERIFY(!m_w->settingDialog());
    QTRY_VERIFY(m_w->isActiveWindow());
    QCOMPARE(m_restarts->count(), 3);
    dlg = openSetting();
    QVERIFY(dlg);
    dlg->close();
    QTRY_VERIFY(!m_w->settingDialog());
    QCOMPARE(m_restarts->count(), 4);
}

void TestUi::lineEvents_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("beeps");

    QTest::newRow("framing on port 2") << QList<int>{1004} << 2 << u"Com2 : Framing error detected"_s << 1;
    QTest::newRow("overrun then parity") << QList<int>{1006, 1009} << 1 << u"Com1 : Parity error detected"_s << 2;
    QTest::newRow("DCB") << QList<int>{1011} << 3 << u"Com3 : DCB get error detected"_s << 1;
    QTest::newRow("no effect") << QList<int>{1, 2, 3, 4, 5, 6, 7, 1005, 0, 1013, -1} << 1 << u"."_s << 0;
    QTest::newRow("report stays") << QList<int>{1001, 2, 1005} << 1 << u"Com1 : Break signal detected"_s << 1;
}

void TestUi::lineEvents()
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

void TestUi::deviceLostStops()
{
    Pty pty;
    QVERIFY(pty.isValid());
    useDevice(pty.name());
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QVERIFY(m_w->comm().PortOpen());

    pty.closeMaster();   // the device goes away under the open port
    QTRY_VERIFY_WITH_TIMEOUT(m_w->state().Stop_Flag, 5000);
    QVERIFY(label("lbl_title").startsWith(u"Com1 : "_s));
    QCOMPARE(m_w->beepCount(), 1);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(enabled(), (QList<bool>{true, true, true, true}));
}

void TestUi::endToEnd()
{
    Pty pty;
    QVERIFY(pty.isValid());
    useDevice(pty.name());

    // The folder through the dialog; its Close also sets N = 3.
    auto *dlg = openSetting();
    QVERIFY(dlg);
    QVERIFY(child<DirList>(dlg, u"Dir1"_s)->setPath(m_tmp.path()));
    QTest::mouseClick(child<QPushButton>(dlg, u"Command1"_s), Qt::LeftButton);
    QTRY_VERIFY(!m_w->settingDialog());

    BoxCloser closer;
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QVERIFY(m_w->comm().PortOpen());

    // Three messages before the fourth STX are skipped, two fill the window,
    // and each further complete message is one record.
    QByteArray line;
    for (const char *speed : {"009.00", "009.00", "009.00", "001.00", "002.00", "003.00", "006.00", "009.00"})
        line += message(speed);
    QVERIFY(pty.write(line + '\x02'));

    const QString file = m_tmp.filePath(dataFileName(m_clock.now().date()));
    const QByteArray expected = "Gill Format Polar,03/05/21,14:03:07\r\n"
                                "14:03:07,\x02Q,229,002.00,M,00\r\n"
                                "14:03:07,\x02Q,229,003.67,M,00\r\n"
                                "14:03:07,\x02Q,229,006.00,M,00\r\n";
    QTRY_COMPARE_WITH_TIMEOUT(readAll(file), expected, 10000);
    QCOMPARE(child<QLineEdit>(m_w.get(), u"txt_meas"_s)->text(), QString::fromLatin1(message("009.00")));
    QCOMPARE(closer.texts, QStringList());
}

void TestUi::ending_data()
{
    QTest::addColumn<bool>("viaEnd");
    QTest::newRow("END with the dialog open") << true;
    QTest::newRow("title-bar close while running") << false;
}

void TestUi::ending()
{
    QFETCH(bool, viaEnd);
    Pty pty;
    QVERIFY(pty.isValid());
    useDevice(pty.name());
    QPointer<Frm_Savepath> dlg = openSetting();
    QVERIFY(dlg);
    if (viaEnd) {
        QTest::mouseClick(button("Command3"), Qt::LeftButton);
    } else {
        QTest::mouseClick(button("Command1"), Qt::LeftButton);
        QVERIFY(m_w->comm().PortOpen());
        QVERIFY(m_w->close());
    }
    QVERIFY(!dlg);
    QVERIFY(!m_w->isVisible());
    QVERIFY(m_w->state().Stop_Flag);
    QVERIFY(!m_w->comm().PortOpen());
    QCOMPARE(m_w->cycle().phase(), AcquisitionCycle::Phase::Ended);
}

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
