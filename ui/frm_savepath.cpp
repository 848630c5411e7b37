#include "ui/frm_savepath.h"

#include "common/nativepath.h"
#include "common/sorvik7_def.h"
#include "ui/dirlist.h"
#include "ui/drivelist.h"
#include "ui/fonts.h"
#include "ui/twips.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

Frm_Savepath::Frm_Savepath(sorvik7_def &def, QWidget *parent)
    : QWidget(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint),
      m_def(def)
{
    setObjectName(QStringLiteral("Frm_Savepath"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Setting"));
    setWindowIcon(QIcon(QStringLiteral(":/sorvik7/sorvik7-32.png")));
    setFixedSize(twips::size(*this, 6240, 2520));
    setFont(fonts::userInterface(font()));

    const auto place = [this](QWidget *w, const char *name, int l, int t, int wd, int h) {
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(twips::rect(*this, l, t, wd, h));
    };

    // Created in this order; the keyboard order is set below.
    Check1 = new QCheckBox(QStringLiteral("Debug Mode"), this);
    place(Check1, "Check1", 3240, 2040, 1095, 375);
    Frame2 = new QGroupBox(QStringLiteral("COM Port"), this);
    place(Frame2, "Frame2", 120, 1320, 2895, 855);
    cmb1 = new QComboBox(Frame2);
    place(cmb1, "cmb1", 1080, 360, 1455, 300);
    cmb1->setEditable(true);
    cmb1->setInsertPolicy(QComboBox::NoInsert);
    cmb1->setEditText(QStringLiteral("COM1"));
    Frame1 = new QGroupBox(QStringLiteral("Sampling"), this);
    place(Frame1, "Frame1", 120, 240, 2895, 975);

    struct OptionPlace
    {
        int index;
        int left;
        int top;
    };
    static constexpr OptionPlace kOptions[] = {
        {4, 360, 240}, {3, 1200, 240}, {0, 2040, 240}, {1, 840, 600}, {2, 1680, 600},
    };
    for (const OptionPlace &o : kOptions) {
        auto *b = new QRadioButton(QString::number(kOption1N[o.index]), Frame1);
        b->setObjectName(QStringLiteral("Option1_%1").arg(o.index));
        b->setGeometry(twips::rect(*this, o.left, o.top, 615, 255));
        Option1[o.index] = b;
    }
    Option1[4]->setChecked(true);

    Command1 = new QPushButton(QStringLiteral("Close"), this);
    place(Command1, "Command1", 4440, 2040, 1575, 375);
    Command1->setAutoDefault(false);
    Dir1 = new DirList(this);
    place(Dir1, "Dir1", 3240, 720, 2895, 1140);
    Drive1 = new DriveList(this);
    place(Drive1, "Drive1", 3240, 360, 2895, 300);
    Label1 = new QLabel(QStringLiteral("Data Save Path"), this);
    place(Label1, "Label1", 3240, 120, 1215, 255);
    fonts::fitCaption(Label1, Label1->x(), width() - 4);
    fonts::fitCaption(Check1, Frame2->geometry().right() + 2, Command1->x() - 2);

    // Keyboard order: drive, folder, Close, then "30", "20", "10", the port,
    // debug mode, "5" and "3".
    const QWidget *const order[] = {Drive1,     Dir1, Command1, Option1[2], Option1[1],
                                    Option1[0], cmb1, Check1,   Option1[3], Option1[4]};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(const_cast<QWidget *>(order[i - 1]), const_cast<QWidget *>(order[i]));

    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Drive1, &QComboBox::currentIndexChanged, this, [this] { Drive1_Change(); });

    Form_Load();
}

void Frm_Savepath::Form_Load()
{
    Drive1->setDrive(m_def.Save_Path);
    m_driveIndex = Drive1->currentIndex();
    if (!Dir1->setPath(m_def.Save_Path)) {
        // The data folder is not there (a stick pulled out, a share that is
        // down): show the nearest folder that is, and keep the data folder
        // unless the operator opens another one.
        QString parent = m_def.Save_Path;
        while (!Dir1->setPath(parent) && parent.contains(u'/') && parent != QStringLiteral("/"))
            parent = parent.left(qMax(1, parent.lastIndexOf(u'/')));
        m_missingFolder = m_def.Save_Path;
        QTimer::singleShot(0, this, [this] {
            QMessageBox box(QMessageBox::NoIcon, QStringLiteral("SORVIK-7"),
                            QStringLiteral("The data folder %1 is not there. The list shows %2; Close keeps %1 "
                                           "unless you open another folder.")
                                .arg(nativepath::display(m_missingFolder), nativepath::display(Dir1->path())),
                            QMessageBox::Ok, this);
            box.setTextFormat(Qt::PlainText);
            box.exec();
        });
    }
    connect(Dir1, &DirList::pathChanged, this, [this] { m_missingFolder.clear(); });
    for (int n = 1; n <= 5; ++n)
        cmb1->addItem(QStringLiteral("COM%1").arg(n));
    // Adding the first entry selects it; the text stays "COM1" either way.
    cmb1->setEditText(QStringLiteral("COM1"));
}

void Frm_Savepath::Drive1_Change()
{
    // There is no current folder per drive here: a new drive shows its root.
    const QString root = Drive1->drive();
    if (!DriveList::isReady(root) || !Dir1->setPath(root)) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("SORVIK-7"),
                        QStringLiteral("The drive %1 is not ready.").arg(QDir::toNativeSeparators(root)),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        {
            const QSignalBlocker blocker(Drive1);
            Drive1->setCurrentIndex(m_driveIndex);
        }
        box.exec();
        return;
    }
    m_driveIndex = Drive1->currentIndex();
}

bool Frm_Savepath::Command1_Click()
{
    // The port number is the text's last character; refuse before anything
    // is applied when that is not a digit.
    const QString port = cmb1->currentText();
    if (port.isEmpty() || port.back() < u'0' || port.back() > u'9') {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("SORVIK-7"),
                        QStringLiteral("The port \"%1\" does not end in a port number. Choose COM1 to COM5.").arg(port),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return false;
    }

    // A folder the list could not show is kept as it is; the list's path
    // only once the operator has opened a folder in it.
    if (m_missingFolder.isEmpty() && !Dir1->path().isEmpty())
        m_def.Save_Path = Dir1->path();
    m_def.Com_Port = qint16(port.back().unicode() - u'0');
    for (int i : {4, 3, 0, 1, 2}) {
        if (Option1[i]->isChecked())
            m_def.Sample_Num = kOption1N[i];
    }
    m_def.Debug_Flag = Check1->isChecked();
    emit applied();
    close();
    return true;
}

void Frm_Savepath::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        emit activated();
}
