#pragma once

#include "acquisition/acquisition.h"
#include "acquisition/cycledisplay.h"
#include "common/clock.h"
#include "common/messagereporter.h"
#include "common/sorvik7_def.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class Frm_Savepath;
class PanelStatusBar;
class QLabel;
class QMessageBox;
class QLineEdit;
class QPushButton;

// The main window and operator console. It runs the acquisition engine
// (the shared state, the serial port MSComm1, the day file and the cycle),
// shows the last message (txt_meas), the counter (lbl_cnt), line events and
// the device going and coming back (lbl_title), and the folder, the port,
// the records waiting for the data folder (or lost) and a clock in its
// status bar SB1.
//
// The cycle restarts from its entry state when the window is first shown
// and whenever the operator comes back to it from the settings dialog (the
// dialog closing, or a click on this window while the dialog is open).
// Coming back from another program or from a message box restarts nothing.
class Frm_Sorvik7 : public QWidget, public CycleDisplay, public MessageReporter
{
    Q_OBJECT

public:
    explicit Frm_Sorvik7(QWidget *parent = nullptr);
    // With a clock of the caller's (the record times and the day file).
    explicit Frm_Sorvik7(const Clock &clock, QWidget *parent = nullptr);
    ~Frm_Sorvik7() override;

    // CycleDisplay: the latest message and count are drawn at a human rate,
    // at most 11 times a second and within 90 ms of their change.
    void showMessage(const QByteArray &msg) override;
    void showCount(int n) override;

    // The data folder of a fresh start.
    static QString defaultDataFolder();
    // MessageReporter: a modal box, OK only, no icon, caption "SORVIK-7".
    void report(const QString &text) override;

    // MSComm1's line event: the report in lbl_title and a beep.
    void MSComm1_OnComm(qint16 code);

    sorvik7_def &state() { return m_engine.def(); }
    const Acquisition &engine() const { return m_engine; }
    Frm_Savepath *settingDialog() const;
    // How often the window has beeped (every beep also sounds).
    int beepCount() const { return m_beeps; }

signals:
    // The acquisition cycle has been restarted from its entry state.
    void cycleRestarted();

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void createControls();
    void Form_Load();
    void Form_Activate();
    void Command1_Click(); // START
    void Command4_Click(); // STOP
    void Command2_Click(); // Setting
    void Command3_Click(); // END
    void showState(Acquisition::State state);
    void showFileFault(const QString &text);
    void placeBeside(QWidget *box) const;
    void showBacklog(qsizetype waiting, quint64 lost);
    void queueRedraw();
    void redrawIfDue();
    void redraw();
    // END with records waiting for the data folder: false when the operator
    // would rather keep them.
    bool mayDropBacklog();
    void showTitle(const QString &text);
    void settingApplied();
    void settingClosed();
    void beep();

    SystemClock m_systemClock;
    Acquisition m_engine;
    sorvik7_def &m_def;

    QPushButton *Command4 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command2 = nullptr;
    QLineEdit *txt_meas = nullptr;
    PanelStatusBar *SB1 = nullptr;
    QLabel *lbl_cnt = nullptr;
    QLabel *lbl_title = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Image1 = nullptr;

    QPointer<Frm_Savepath> m_setting;
    QPointer<QMessageBox> m_faultBox;
    QTimer m_redraw;
    QElapsedTimer m_lastRedraw;
    bool m_redrawQueued = false;
    QByteArray m_message;
    bool m_messageChanged = false;
    int m_count = -1; // nothing shown yet: the counter keeps "00"
    int m_shownCount = -1;
    bool m_shown = false; // the first show has entered the cycle
    bool m_fromSetting = false; // the settings dialog was the last active window
    bool m_ending = false;
    int m_beeps = 0;
};
