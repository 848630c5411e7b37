#include "acquisition/sorvik7_def.h"
#include "ui/dirlist.h"
#include "ui/drivelist.h"
#include "ui/frm_savepath.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace {

// Presses OK on the next modal message box and keeps its text.
class BoxCloser
{
public:
    BoxCloser()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_timer.start();
    }
    QStringList texts;

private:
    QTimer m_timer;
};

void typePort(QComboBox *cmb, const QString &text)
{
    cmb->lineEdit()->selectAll();
    QTest::keyClick(cmb->lineEdit(), Qt::Key_Backspace);
    for (QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(cmb->lineEdit(), c.toLatin1());
        else
            cmb->lineEdit()->insert(c);   // pasted
    }
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

int depth(const QTreeWidgetItem *item)
{
    int d = 0;
    while ((item = item->parent()))
        ++d;
    return d;
}

} // namespace

class TestSettingDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startsFromItsOwnValues();
    void window();
    void close_data();
    void close();
    void refusesPortWithoutDigit_data();
    void refusesPortWithoutDigit();
    void titleBarCloseAppliesNothing();
    void folderList();
    void driveChange();

private:
    Frm_Savepath *make();

    QTemporaryDir m_tmp;
    sorvik7_def m_def;
    QPointer<Frm_Savepath> m_dlg;
};

void TestSettingDialog::init()
{
    QVERIFY(m_tmp.isValid());
    for (const char *d : {"beta", "Alpha", "gamma/inner", ".hidden"})
        QVERIFY(QDir(m_tmp.path()).mkpath(QString::fromLatin1(d)));
    m_def = sorvik7_def{};
    m_def.Save_Path = m_tmp.path();
}

void TestSettingDialog::cleanup()
{
    delete m_dlg;
}

Frm_Savepath *TestSettingDialog::make()
{
    m_dlg = new Frm_Savepath(m_def);
    m_dlg->show();
    return m_dlg;
}

void TestSettingDialog::startsFromItsOwnValues()
{
    // Whatever the current settings, the dialog shows its initial ones;
    // only the folder follows Save_Path.
    m_def.Com_Port = 4;
    m_def.Sample_Num = 20;
    m_def.Debug_Flag = true;
    auto *dlg = make();
    auto *cmb = dlg->findChild<QComboBox *>(u"cmb1"_s);
    QCOMPARE(cmb->currentText(), u"COM1"_s);
    QStringList items;
    for (int i = 0; i < cmb->count(); ++i)
        items << cmb->itemText(i);
    QCOMPARE(items, (QStringList{u"COM1"_s, u"COM2"_s, u"COM3"_s, u"COM4"_s, u"COM5"_s}));
    QVERIFY(!dlg->findChild<QCheckBox *>(u"Check1"_s)->isChecked());
    for (int i = 0; i < 5; ++i)
        QCOMPARE(dlg->findChild<QRadioButton *>(u"Option1_%1"_s.arg(i))->isChecked(), i == 4);
    QCOMPARE(dlg->findChild<DirList *>(u"Dir1"_s)->path(), QDir(m_tmp.path()).absolutePath());
    QVERIFY(m_tmp.path().startsWith(dlg->findChild<DriveList *>(u"Drive1"_s)->drive()));
}

void TestSettingDialog::window()
{
    auto *dlg = make();
    QCOMPARE(dlg->windowTitle(), u"Setting"_s);
    QVERIFY(dlg->isWindow());
    QCOMPARE(dlg->parentWidget(), nullptr);
    // No task-bar entry, fixed border, no minimise or maximise.
    QCOMPARE(dlg->windowType(), Qt::Tool);
    QVERIFY(!(dlg->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(dlg->windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(dlg->minimumSize(), dlg->maximumSize());
    const qreal dpi = dlg->logicalDpiX();
    QCOMPARE(dlg->width(), qRound(6240 * dpi / 1440));
    QVERIFY(!dlg->windowIcon().isNull());
    // Controls in a frame are placed relative to the frame.
    auto *three = dlg->findChild<QRadioButton *>(u"Option1_4"_s);
    QCOMPARE(three->parentWidget()->objectName(), u"Frame1"_s);
    QCOMPARE(three->text(), u"3"_s);
    QCOMPARE(three->x(), qRound(360 * dpi / 1440));
    // Close is no default button: Enter in the port box applies nothing.
    QVERIFY(!dlg->findChild<QPushButton *>(u"Command1"_s)->isDefault());
    QTest::keyClick(dlg->findChild<QComboBox *>(u"cmb1"_s)->lineEdit(), Qt::Key_Return);
    QVERIFY(m_dlg);
}

void TestSettingDialog::close_data()
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

void TestSettingDialog::close()
{
    QFETCH(int, option);
    QFETCH(QString, port);
    QFETCH(bool, debug);
    QFETCH(int, n);
    QFETCH(int, comPort);

    m_def.Sample_Num = 64;
    m_def.Debug_Flag = !debug;
    m_def.Com_Port = 9;
    auto *dlg = make();
    if (option >= 0)
        QTest::mouseClick(dlg->findChild<QRadioButton *>(u"Option1_%1"_s.arg(option)), Qt::LeftButton);
    if (!port.isEmpty())
        typePort(dlg->findChild<QComboBox *>(u"cmb1"_s), port);
    if (debug)
        QTest::mouseClick(dlg->findChild<QCheckBox *>(u"Check1"_s), Qt::LeftButton);

    QSignalSpy applied(dlg, &Frm_Savepath::applied);
    QTest::mouseClick(dlg->findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
    QCOMPARE(applied.count(), 1);
    QCOMPARE(m_def.Sample_Num, n);
    QCOMPARE(m_def.Com_Port, comPort);
    QCOMPARE(m_def.Debug_Flag, debug);
    QCOMPARE(m_def.Save_Path, QDir(m_tmp.path()).absolutePath());
    QTRY_VERIFY(!m_dlg);
}

void TestSettingDialog::refusesPortWithoutDigit_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("empty") << QString();
    QTest::newRow("letters") << u"COM"_s;
    QTest::newRow("trailing space") << u"COM3 "_s;
    QTest::newRow("non-ASCII digit") << u"COM\u0663"_s;
}

void TestSettingDialog::refusesPortWithoutDigit()
{
    QFETCH(QString, port);
    auto *dlg = make();
    auto *dir = dlg->findChild<DirList *>(u"Dir1"_s);
    QVERIFY(dir->setPath(m_tmp.filePath(u"beta"_s)));
    QTest::mouseClick(dlg->findChild<QRadioButton *>(u"Option1_2"_s), Qt::LeftButton);
    typePort(dlg->findChild<QComboBox *>(u"cmb1"_s), port);

    const sorvik7_def before = m_def;
    BoxCloser closer;
    QVERIFY(!dlg->Command1_Click());
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY2(closer.texts.first().contains(u"port"_s), qPrintable(closer.texts.first()));
    // Nothing applied, the folder included, and the dialog stays open.
    QCOMPARE(m_def.Save_Path, before.Save_Path);
    QCOMPARE(m_def.Com_Port, before.Com_Port);
    QCOMPARE(m_def.Sample_Num, before.Sample_Num);
    QVERIFY(m_dlg && m_dlg->isVisible());
}

void TestSettingDialog::titleBarCloseAppliesNothing()
{
    auto *dlg = make();
    QVERIFY(dlg->findChild<DirList *>(u"Dir1"_s)->setPath(m_tmp.filePath(u"beta"_s)));
    QTest::mouseClick(dlg->findChild<QRadioButton *>(u"Option1_0"_s), Qt::LeftButton);
    QTest::mouseClick(dlg->findChild<QCheckBox *>(u"Check1"_s), Qt::LeftButton);
    typePort(dlg->findChild<QComboBox *>(u"cmb1"_s), u"COM4"_s);
    QSignalSpy applied(dlg, &Frm_Savepath::applied);
    dlg->QWidget::close();
    QTRY_VERIFY(!m_dlg);
    QCOMPARE(applied.count(), 0);
    QCOMPARE(m_def.Save_Path, m_tmp.path());
    QCOMPARE(m_def.Com_Port, 1);
    QCOMPARE(m_def.Sample_Num, 10);
    QCOMPARE(m_def.Debug_Flag, false);
}

void TestSettingDialog::folderList()
{
    auto *dlg = make();
    auto *dir = dlg->findChild<DirList *>(u"Dir1"_s);
    const QString top = QDir(m_tmp.path()).absolutePath();

    // From the root down to the folder, each one step further in, then the
    // subfolders (sorted, hidden ones left out) one step further still.
    auto *current = findEntry(dir, top);
    QVERIFY(current);
    QCOMPARE(depth(current), top.count(u'/'));
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

    // Going up: double-click on an ancestor.
    auto *up = findEntry(dir, top);
    doubleClick(dir, up);
    QCOMPARE(dir->path(), top);
    QVERIFY(!dir->setPath(m_tmp.filePath(u"missing"_s)));
    QCOMPARE(dir->path(), top);

    // Close takes the opened folder.
    QVERIFY(dir->setPath(top + u"/Alpha"_s));
    QVERIFY(dlg->Command1_Click());
    QCOMPARE(m_def.Save_Path, top + u"/Alpha"_s);
}

void TestSettingDialog::driveChange()
{
    // Two "drives" that are plain folders, and one that goes away.
    QTemporaryDir a, b, gone;
    QVERIFY(a.isValid() && b.isValid() && gone.isValid());
    QVERIFY(QDir(a.path()).mkpath(u"x/y"_s));
    m_def.Save_Path = a.path() + u"/x/y"_s;
    auto *dlg = make();
    auto *drive = dlg->findChild<DriveList *>(u"Drive1"_s);
    auto *dir = dlg->findChild<DirList *>(u"Dir1"_s);
    drive->setRoots({a.path(), b.path(), gone.path()});
    drive->setDrive(m_def.Save_Path);
    QCOMPARE(drive->drive(), a.path());
    QVERIFY(dir->setPath(m_def.Save_Path));

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

    QVERIFY(dlg->Command1_Click());
    QCOMPARE(m_def.Save_Path, b.path());
}

QTEST_MAIN(TestSettingDialog)
#include "tst_settingdialog.moc"
