#pragma once

#include "acquisition/acquisitioncycle.h"
#include "acquisition/clock.h"
#include "acquisition/cycledisplay.h"
#include "acquisition/sorvik7_def.h"
#include "datafile/datafile.h"
#include "datafile/messagereporter.h"
#include "serial/mscomm.h"

#include <QPointer>
#include <QWidget>

class Frm_Savepath;
class PanelStatusBar;
class QLabel;
class QLineEdit;
class QPushButton;

// The main window and operator console. It owns the shared state, the serial
// port MSComm1, the day file and the acquisition cycle, shows the last
// message (txt_meas), the counter (lbl_cnt), line events (lbl_title), and
// the folder, the port and a clock in its status bar SB1.
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

    // Configures MSComm1 for Com_Port and opens it; a failure is shown in a
    // message box.
    void Init_Comm();
    // Opens today's data file for appending; false (after a message) when
    // no file is open.
    bool File_open();

    // CycleDisplay
    void showMessage(const QByteArray &msg) override;
    void showCount(int n) override;
    // MessageReporter: a modal box, OK only, no icon, caption "SORVIK-7".
    void report(const QString &text) override;

    // The report shown in lbl_title for a line event code (without the
    // "Com<n> : " prefix); empty for codes that are not reported.
    static QString lineEventText(qint16 code);
    // What MSComm1_OnComm does with an event code.
    void handleLineEvent(qint16 code);

    sorvik7_def &state() { return m_def; }
    MSComm &comm() { return MSComm1; }
    AcquisitionCycle &cycle() { return m_cycle; }
    Frm_Savepath *settingDialog() const;
    // How often the window has beeped (every beep also sounds).
    int beepCount() const { return m_beeps; }

    static constexpr qint16 kDeviceLostEvent = MSComm::comEvDeviceLost;

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
    void Command1_Click();   // START
    void Command4_Click();   // STOP
    void Command2_Click();   // Setting
    void Command3_Click();   // END
    void MSComm1_OnComm();
    void settingApplied();
    void settingClosed();
    void beep();

    sorvik7_def m_def;
    SystemClock m_systemClock;
    const Clock &m_clock;
    MSComm MSComm1;
    DataFile m_file;
    AcquisitionCycle m_cycle;

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
    bool m_shown = false;          // the first show has entered the cycle
    bool m_fromSetting = false;    // the settings dialog was the last active window
    bool m_ending = false;
    int m_beeps = 0;
};
