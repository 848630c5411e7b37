#pragma once

#include <QWidget>

#include <array>

class DirList;
class DriveList;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
struct sorvik7_def;

// The settings dialog: data folder, averaging length N, serial port and
// debug mode. It starts from its own initial values every time it is made
// ("3", "COM1", debug off); only the folder list starts at the current
// data folder. Nothing reaches the shared state until Close, which applies
// all four choices at once and destroys the dialog; the title-bar close
// destroys it and applies nothing.
//
// It is a modeless window without an owner and without a task-bar entry,
// with a fixed border.
class Frm_Savepath : public QWidget
{
    Q_OBJECT

public:
    explicit Frm_Savepath(sorvik7_def &def, QWidget *parent = nullptr);

    // Close: applies the choices and destroys the dialog. A port text that
    // does not end in a digit is refused with a message and nothing is
    // applied; returns whether the choices were applied.
    bool Command1_Click();

    // The N that each element of Option1 stands for.
    static constexpr std::array<qint16, 5> kOption1N{10, 20, 30, 5, 3};

signals:
    // Close has written the shared state.
    void applied();
    // The dialog has become the active window.
    void activated();

protected:
    void changeEvent(QEvent *event) override;

private:
    void Form_Load();
    void Drive1_Change();

    sorvik7_def &m_def;

    QCheckBox *Check1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QComboBox *cmb1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    std::array<QRadioButton *, 5> Option1{};
    QPushButton *Command1 = nullptr;
    DirList *Dir1 = nullptr;
    DriveList *Drive1 = nullptr;
    QLabel *Label1 = nullptr;

    int m_driveIndex = -1; // the drive shown before the last change
    QString m_missingFolder; // the data folder, missing when the dialog opened and not replaced since
};
