#include "ui/frm_sorvik7.h"

#include "common/nativepath.h"
#include "serial/lineevents.h"
#include "ui/fonts.h"
#include "ui/frm_savepath.h"
#include "ui/panelstatusbar.h"
#include "ui/twips.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString kTitle = QStringLiteral("SORVIK-7");
constexpr int kMinRedrawGapMs = 90; // at most 11 redraws a second
constexpr int kMaxRedrawDelayMs = 90; // the latest values are up within this
constexpr int kStatusBarTop = 1395;
constexpr int kStatusBarHeight = 255;
constexpr int kBacklogPanel = 3; // records waiting for the data folder, and lost
} // namespace

Frm_Sorvik7::Frm_Sorvik7(QWidget *parent)
    : Frm_Sorvik7(m_systemClock, parent)
{
}

Frm_Sorvik7::Frm_Sorvik7(const Clock &clock, QWidget *parent)
    : QWidget(parent),
      m_engine(*this, *this, clock),
      m_def(m_engine.def())
{
    setObjectName(QStringLiteral("Frm_Sorvik7"));
    setWindowTitle(kTitle);
    setWindowIcon(QIcon(QStringLiteral(":/sorvik7/sorvik7-32.png")));
    resize(twips::size(*this, 7620, 1650));
    setFont(fonts::userInterface(font()));
    createControls();
    connect(&m_engine, &Acquisition::lineEvent, this, &Frm_Sorvik7::MSComm1_OnComm);
    connect(&m_engine, &Acquisition::stateChanged, this, &Frm_Sorvik7::showState);
    connect(&m_engine, &Acquisition::deviceLost, this, [this] {
        showTitle(QStringLiteral("Device lost, waiting for it"));
        beep();
    });
    connect(&m_engine, &Acquisition::deviceBack, this,
            [this] { showTitle(QStringLiteral("Device back, acquisition resumed")); });
    connect(&m_engine, &Acquisition::folderInUse, this, &Frm_Sorvik7::report);
    connect(&m_engine, &Acquisition::fileFault, this, &Frm_Sorvik7::showFileFault);
    connect(&m_engine, &Acquisition::backlogChanged, this, &Frm_Sorvik7::showBacklog);
    connect(&m_engine, &Acquisition::fileFaultCleared, this, [this](quint64 writtenLate, quint64 lost) {
        QString text = QStringLiteral("Data file : %1 waiting records written").arg(writtenLate);
        if (lost > 0)
            text += QStringLiteral(", %1 lost").arg(lost);
        lbl_title->setText(text);
        showBacklog(0, 0);
    });
    connect(&m_engine, &Acquisition::fileNotice, this,
            [this] { lbl_title->setText(QStringLiteral("Data file : unfinished last line closed")); });
    // The message and the counter change up to a thousand times a second;
    // they are drawn at most every kMinRedrawGapMs, always with the latest
    // values. The timer only stands guard for when no further wake-up comes.
    m_redraw.setSingleShot(true);
    m_redraw.setTimerType(Qt::PreciseTimer);
    connect(&m_redraw, &QTimer::timeout, this, &Frm_Sorvik7::redraw);
    Form_Load();
}

Frm_Sorvik7::~Frm_Sorvik7()
{
    m_ending = true;
    m_engine.shutdown();
    delete m_setting;
}

void Frm_Sorvik7::createControls()
{
    const auto button = [this](const char *name, const char *text, int left) {
        auto *b = new QPushButton(QString::fromLatin1(text), this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(twips::rect(*this, left, 960, 1335, 375));
        b->setAutoDefault(false);
        return b;
    };
    const auto label = [this](const char *name, const char *text, int l, int t, int w, int h) {
        auto *lb = new QLabel(QString::fromLatin1(text), this);
        lb->setObjectName(QString::fromLatin1(name));
        lb->setGeometry(twips::rect(*this, l, t, w, h));
        return lb;
    };

    // Created in this order. The pacing timer tim_f belongs to the cycle.
    Command4 = button("Command4", "STOP", 3120);
    Command1 = button("Command1", "START", 1680);
    Command3 = button("Command3", "END", 6000);
    Command2 = button("Command2", "Setting", 4560);

    txt_meas = new QLineEdit(this);
    txt_meas->setObjectName(QStringLiteral("txt_meas"));
    txt_meas->setGeometry(twips::rect(*this, 1440, 600, 6135, 270));
    txt_meas->setFont(fonts::mincho(txt_meas->font()));

    SB1 = new PanelStatusBar({4200, 1200, 1200, 1200}, this);
    SB1->setObjectName(QStringLiteral("SB1"));
    SB1->setFont(fonts::uiGothic(SB1->font()));
    SB1->setGeometry(twips::rect(*this, 0, kStatusBarTop, 7620, kStatusBarHeight));
    SB1->setPanelText(1, QStringLiteral("....."));

    lbl_cnt = label("lbl_cnt", "00", 7080, 360, 495, 255);
    lbl_cnt->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lbl_title = label("lbl_title", ".", 3120, 240, 4215, 255);
    Label1 = label("Label1", "Recive Data", 1680, 240, 1335, 255);
    Label1->setAlignment(Qt::AlignCenter);
    fonts::fitCaption(Label1, Label1->x(), lbl_title->x() + 1);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(twips::rect(*this, 0, 0, 1380, 1425));
    Image1->setPixmap(QPixmap(QStringLiteral(":/sorvik7/sensor.png")));
    Image1->setScaledContents(true);

    // Labels and the picture are drawn on the window itself, beneath the
    // controls that have windows of their own (the picture's lower edge
    // lies under the status bar, the counter's under the message box).
    for (QWidget *w : {static_cast<QWidget *>(Label1), static_cast<QWidget *>(lbl_title),
                       static_cast<QWidget *>(lbl_cnt), static_cast<QWidget *>(Image1)})
        w->lower();

    // Keyboard order: message box, Setting, END, START, STOP.
    setTabOrder(txt_meas, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command1);
    setTabOrder(Command1, Command4);

    connect(Command1, &QPushButton::clicked, this, &Frm_Sorvik7::Command1_Click);
    connect(Command4, &QPushButton::clicked, this, &Frm_Sorvik7::Command4_Click);
    connect(Command2, &QPushButton::clicked, this, &Frm_Sorvik7::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Frm_Sorvik7::Command3_Click);
}

QString Frm_Sorvik7::defaultDataFolder()
{
    // The program's own folder when it may write there (run from its build
    // or a portable folder); an installed program's bin/ is not, so then a
    // folder in the user's documents.
    const QString own = QCoreApplication::applicationDirPath();
    if (::faccessat(AT_FDCWD, QFile::encodeName(own).constData(), W_OK, AT_EACCESS) == 0)
        return own;
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    const QString folder = documents + QStringLiteral("/SORVIK-7");
    QDir().mkpath(folder);
    return folder;
}

void Frm_Sorvik7::Form_Load()
{
    m_def.Save_Path = defaultDataFolder();
    m_def.Com_Port = 1;
    m_def.Sample_Num = 10;
    SB1->setPanelText(1, nativepath::display(m_def.Save_Path));
    SB1->setPanelText(2, QStringLiteral("COM%1").arg(m_def.Com_Port));
    m_def.Stop_Flag = true;
    m_def.Debug_Flag = false;
}

void Frm_Sorvik7::Form_Activate()
{
    m_fromSetting = false;
    m_engine.restart();
    emit cycleRestarted();
}

void Frm_Sorvik7::Command1_Click()
{
    // START: Stop_Flag false and Init_Comm, which shows its own message when
    // the port does not open; the buttons follow the engine's state.
    m_engine.start();
}

void Frm_Sorvik7::Command4_Click()
{
    // STOP: Stop_Flag true and the port closed; also ends waiting for a
    // device that has gone.
    m_engine.stop();
}

void Frm_Sorvik7::showState(Acquisition::State state)
{
    // Waiting for a device that has gone counts as running: STOP ends it.
    const bool stopped = state == Acquisition::State::Stopped;
    Command1->setEnabled(stopped);
    Command2->setEnabled(stopped);
    Command3->setEnabled(stopped);
}

void Frm_Sorvik7::Command2_Click()
{
    if (!m_setting) {
        m_setting = new Frm_Savepath(m_def);
        connect(m_setting, &Frm_Savepath::applied, this, &Frm_Sorvik7::settingApplied);
        connect(m_setting, &Frm_Savepath::activated, this, [this] { m_fromSetting = true; });
        connect(m_setting, &QObject::destroyed, this, &Frm_Sorvik7::settingClosed);
    }
    m_setting->show();
    m_setting->raise();
    m_setting->activateWindow();
}

void Frm_Sorvik7::Command3_Click()
{
    close();
}

bool Frm_Sorvik7::mayDropBacklog()
{
    if (m_engine.backlog() == 0 || m_engine.writeBacklog())
        return true;
    QMessageBox box(QMessageBox::NoIcon, kTitle,
                    QStringLiteral("%1 records are waiting because the data folder does not take them:\n%2\n\n"
                                   "End SORVIK-7 and lose them?")
                        .arg(m_engine.backlog())
                        .arg(nativepath::display(m_def.Save_Path)),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

void Frm_Sorvik7::closeEvent(QCloseEvent *event)
{
    // Records still waiting for the data folder are written now, or lost
    // only when the operator says so.
    if (!mayDropBacklog()) {
        event->ignore();
        return;
    }
    // END and the title-bar close end the program alike; the title-bar close
    // can come while acquisition runs, so it stops first and closes the port.
    Command4_Click();
    m_ending = true;
    m_engine.shutdown();
    delete m_setting;
    event->accept();
    // The program ends when its last window has closed.
}

void Frm_Sorvik7::settingApplied()
{
    SB1->setPanelText(1, nativepath::display(m_def.Save_Path));
    SB1->setPanelText(2, QStringLiteral("COM%1").arg(m_def.Com_Port));
}

void Frm_Sorvik7::settingClosed()
{
    if (m_ending)
        return;
    // Closing the dialog, either way, brings the operator back here.
    Form_Activate();
    activateWindow();
}

void Frm_Sorvik7::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        Form_Activate();
    }
}

void Frm_Sorvik7::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_fromSetting && !m_ending)
        Form_Activate();
}

void Frm_Sorvik7::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // Nothing is laid out; only the status bar follows the bottom edge and
    // the width.
    const int h = twips::toPx(kStatusBarHeight, logicalDpiY());
    SB1->setGeometry(0, height() - h, width(), h);
}

void Frm_Sorvik7::showMessage(const QByteArray &msg)
{
    m_message = msg;
    m_messageChanged = true;
    queueRedraw();
}

void Frm_Sorvik7::showCount(int n)
{
    if (n == m_count)
        return;
    m_count = n;
    queueRedraw();
}

void Frm_Sorvik7::queueRedraw()
{
    // Looked at once the event loop has done what it woke up for: all the
    // steps of one wake-up make at most one redraw, in that same wake-up.
    if (m_redrawQueued)
        return;
    m_redrawQueued = true;
    QMetaObject::invokeMethod(this, &Frm_Sorvik7::redrawIfDue, Qt::QueuedConnection);
}

void Frm_Sorvik7::redrawIfDue()
{
    m_redrawQueued = false;
    // Counts that went up and came back (the backlog read down to 0 again)
    // change nothing on the screen.
    if (!m_messageChanged && m_count == m_shownCount)
        return;
    if (!m_lastRedraw.isValid() || m_lastRedraw.elapsed() >= kMinRedrawGapMs)
        redraw();
    else if (!m_redraw.isActive())
        m_redraw.start(int(kMaxRedrawDelayMs - m_lastRedraw.elapsed()));
}

void Frm_Sorvik7::redraw()
{
    m_redraw.stop();
    m_lastRedraw.start();
    if (m_messageChanged) {
        m_messageChanged = false;
        // One character per received byte.
        const QString text = QString::fromLatin1(m_message);
        if (txt_meas->text() != text)
            txt_meas->setText(text);
    }
    m_shownCount = m_count;
    const QString count = QString::number(m_count);
    if (m_count >= 0 && lbl_cnt->text() != count)
        lbl_cnt->setText(count);
}

void Frm_Sorvik7::showFileFault(const QString &text)
{
    // The box does not hold acquisition up: it goes on reading, and keeps
    // the records until the folder takes them. One box per fault: a box the
    // operator has closed is on its way out (deleted once control is back in
    // the event loop), so a new fault gets a box of its own.
    if (m_faultBox && m_faultBox->isVisible()) {
        m_faultBox->setText(text);
        m_faultBox->raise();
        return;
    }
    if (m_faultBox)
        m_faultBox->deleteLater();
    m_faultBox = new QMessageBox(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, this);
    m_faultBox->setTextFormat(Qt::PlainText);
    m_faultBox->setAttribute(Qt::WA_DeleteOnClose);
    m_faultBox->setModal(false);
    // It comes unasked while the operator may be at the window: it does not
    // take the keyboard, and its OK answers the mouse and Escape only, so a
    // Space or Return meant for a control of the window does not close it
    // unread.
    m_faultBox->setAttribute(Qt::WA_ShowWithoutActivating);
    auto *ok = qobject_cast<QPushButton *>(m_faultBox->button(QMessageBox::Ok));
    ok->setFocusPolicy(Qt::NoFocus);
    ok->setAutoDefault(false);
    placeBeside(m_faultBox);
    m_faultBox->show();
    ok->setDefault(false); // the button row makes its OK the default as it is shown
    m_faultBox->raise();
    // Not taking the keyboard, it is heard: a beep, and the window asks for
    // attention (its taskbar entry) while the operator works elsewhere.
    beep();
    QApplication::alert(this);
}

void Frm_Sorvik7::placeBeside(QWidget *box) const
{
    // Below the window, or above it when the screen has no room below: the
    // message, the counter and the line report stay in sight, and a click
    // meant for a button of the window cannot land on the box. Where neither
    // fits, the box is centred over the window as usual.
    box->adjustSize();
    const QRect frame = frameGeometry();
    const int decoration = frame.height() - height();
    const int tall = box->height() + decoration;
    const QRect screenArea = screen()->availableGeometry();
    const int left =
        std::clamp(frame.left(), screenArea.left(), std::max(screenArea.left(), screenArea.right() + 1 - box->width()));
    if (frame.bottom() + tall <= screenArea.bottom())
        box->move(left, frame.bottom() + 1);
    else if (frame.top() - tall >= screenArea.top())
        box->move(left, frame.top() - tall);
}

void Frm_Sorvik7::showBacklog(qsizetype waiting, quint64 lost)
{
    // In the status bar's third panel, so that the line report in lbl_title
    // stays readable while a fault lasts; the panel is too narrow for more
    // than the numbers, its tooltip says them in words.
    QString text;
    QString tip;
    if (lost > 0) {
        text = QStringLiteral("%1 lost").arg(lost);
        tip = QStringLiteral("%1 records waiting for the data folder; the wait is full and %2 newer records "
                             "have been lost")
                  .arg(waiting)
                  .arg(lost);
    } else if (waiting > 0) {
        text = QStringLiteral("%1 wait").arg(waiting);
        tip = QStringLiteral("%1 records waiting for the data folder").arg(waiting);
    }
    SB1->setPanelText(kBacklogPanel, text);
    SB1->panel(kBacklogPanel)->setToolTip(tip);
}

void Frm_Sorvik7::report(const QString &text)
{
    // A message box is no return from the settings dialog.
    m_fromSetting = false;
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText); // "<COM1>" is text, not markup
    box.exec();
}

void Frm_Sorvik7::MSComm1_OnComm(qint16 code)
{
    const QString text = lineEventText(code);
    if (text.isEmpty())
        return;
    showTitle(text);
    beep();
}

void Frm_Sorvik7::showTitle(const QString &text)
{
    lbl_title->setText(QStringLiteral("Com%1 : %2").arg(m_def.Com_Port).arg(text));
}

void Frm_Sorvik7::beep()
{
    ++m_beeps;
    QApplication::beep();
}

Frm_Savepath *Frm_Sorvik7::settingDialog() const
{
    return m_setting;
}
