#pragma once

#include "common/portinput.h"
#include "serial/devicelock.h"
#include "serial/linecounters.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

class Clock;

// The main window's serial control MSComm1: one receive-only serial port,
// set up through properties and read one character at a time by the
// acquisition cycle. Built on QSerialPort.
//
// Nothing is ever written to the line: the device is opened read-only.
// Received bytes are taken from the device as soon as they arrive, stamped
// with the time they came, and kept until the cycle reads them; received()
// tells it that there is something to read. Line errors come from the
// driver's error counters, which are polled while the port is open; each
// kind that has risen since the last look raises one OnComm event. A device
// that goes away while open is closed once and reported as comEvDeviceLost.
//
// At most kMaxWaiting received characters wait for the cycle: a device that
// sends faster than the line can be read (a flood, a wrong port, a USB
// device that ignores the baud rate) loses the oldest ones beyond that, so
// reading goes on with the newest. The first loss of an episode raises
// comEvRxOver; inputOverflow() tells when an episode begins and ends and
// how many characters it cost.
//
// The device is locked while open (DeviceLock: by the device, whatever name
// it was given), so a second program refuses it and names the holder.
class MSComm : public QObject, public PortInput
{
    Q_OBJECT
public:
    // Event codes (CommEvent): the line errors, plus one of ours.
    enum : qint16 {
        comEvBreak = 1001,
        comEvCTSTO = 1002,
        comEvDSRTO = 1003,
        comEvFrame = 1004,
        comEvOverrun = 1006,
        comEvCDTO = 1007,
        comEvRxOver = 1008,
        comEvRxParity = 1009,
        comEvTxFull = 1010,
        comEvDCB = 1011,
        comEvDeviceLost = 1012
    }; // the device went away while open; the port has been closed
    // Open-failure error numbers recorded by setPortOpen(true)/setSettings
    enum : int { errPortNotFound = 8002, errPortAlreadyOpen = 8005, errPortBusy = 8010, errBadSettings = 8015 };
    // A negative InputLen, RThreshold or SThreshold.
    enum : int { errInvalidValue = 380 };

    // Received characters kept for the cycle at most: over four seconds of
    // the line at 9600 baud, more than the cycle could ever catch up on.
    static constexpr qsizetype kMaxWaiting = 4096;
    // An overflow episode ends when nothing has been dropped for this long.
    static constexpr int kOverflowQuietMs = 2000;

    // The clock stamps received bytes; the system clock when none is given.
    explicit MSComm(const Clock *clock = nullptr, QObject *parent = nullptr);
    ~MSComm() override;

    void setCommPort(int n);
    int CommPort() const;
    void setSettings(const QString &s);
    QString Settings() const;
    void setInputLen(int n);
    int InputLen() const;
    void setDTREnable(bool on);
    void setRTSEnable(bool on);
    void setRThreshold(int n);
    int RThreshold() const;
    void setSThreshold(int n);
    int SThreshold() const;
    void setPortOpen(bool open);
    bool PortOpen() const;

    int lastError() const;
    void clearError();
    // What an error number means, in words for the operator.
    static QString errorText(int number);
    // The system's own words for the last failure to open, if any.
    QString lastErrorDetail() const { return m_lastErrorDetail; }

    qint16 InBufferCount() override;
    void discardInput() override;
    QByteArray Input() override;
    qint64 arrivalMs() const override;
    bool takeGap() override;

    bool inputOverflowing() const { return m_overflowing; }

    qint16 CommEvent() const;

    // The device that port n stands for: the one SORVIK7_COM<n> names, else
    // the platform's n-th serial port. Empty for an impossible n.
    static QString deviceForPort(int n);
    // Opens this device instead of the one CommPort stands for (empty: CommPort's).
    void setDevice(const QString &path);
    // The device the next open uses.
    QString device() const;
    // Opens again the device that the last open found, and nothing else: a
    // device node with the same device number, or whatever a link names
    // that has been made anew since (a device's link comes and goes with
    // it). A pseudo-terminal's number reused is another program's terminal,
    // so a pseudo-terminal named directly never comes back. Returns whether
    // the port is open; otherDevice() says why a device there was refused.
    bool reopen();
    QString otherDevice() const { return m_otherDevice; }
    // The process holding the device when the last open was refused for
    // that reason; 0 otherwise.
    qint64 lockHolder() const { return m_lockHolder; }

    void setCounterSource(std::unique_ptr<LineCounterSource> source);
    void setCounterPollInterval(int ms);

signals:
    void OnComm();
    // New characters have arrived.
    void received();
    // Characters began to be dropped (`overflowing`), or no more have been
    // for kOverflowQuietMs; `dropped` is what the episode has cost so far.
    void inputOverflow(bool overflowing, quint64 dropped);

private:
    struct LineSettings
    {
        qint32 baud = 9600;
        QSerialPort::Parity parity = QSerialPort::NoParity;
        QSerialPort::DataBits dataBits = QSerialPort::Data8;
        QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    };
    static std::optional<LineSettings> parseSettings(const QString &s);

    void recordError(int number);
    bool applyLineSettings(const LineSettings &line);
    bool applyModemLine(bool (QSerialPort::*set)(bool), bool on);
    // What identifies the device a path names, to know it again.
    struct NodeId
    {
        bool known = false;
        bool link = false; // the path is a symbolic link; its own identity follows
        quint64 linkDev = 0, linkIno = 0;
        qint64 linkCtimeNs = 0;
        bool chr = false;
        quint64 rdev = 0;
        bool pty = false;
    };
    static NodeId nodeId(const QString &path);
    static QString notSame(const NodeId &before, const NodeId &now, const QString &path);

    void openPort(bool sameDevice = false);
    void dropOldest(qsizetype n);
    void compact();
    void checkOverflowEnd();
    void endOverflow();
    void closePort();
    void startCounterPolling();
    void pollCounters();
    void handlePortError(QSerialPort::SerialPortError error);
    void handleDeviceLost();
    void raise(qint16 code);
    void takeArrived();

    QSerialPort *m_port = nullptr;
    const Clock *m_clock = nullptr;
    std::unique_ptr<Clock> m_ownClock;
    // Received and not yet read: m_rx from m_rxPos on. Each chunk taken from
    // the device is stamped: the stamp holds for the bytes before `end`.
    struct Stamp
    {
        qsizetype end;
        qint64 ms;
    };
    QByteArray m_rx;
    qsizetype m_rxPos = 0;
    std::deque<Stamp> m_stamps;
    qint64 m_lastArrival = 0;
    QString m_device;
    NodeId m_node; // the device the last open found
    QString m_otherDevice;
    DeviceLock m_lock;
    qint64 m_lockHolder = 0;
    bool m_gap = false; // characters dropped since the last read
    bool m_overflowing = false;
    quint64 m_dropped = 0;
    quint64 m_droppedBefore = 0; // m_dropped when the episode began
    QElapsedTimer m_sinceDrop;
    QTimer m_overflowTimer;
    QTimer m_counterTimer;
    std::unique_ptr<LineCounterSource> m_counterSource;
    LineCounters m_lastCounters;

    int m_commPort = 1;
    QString m_settings = QStringLiteral("9600,N,8,1");
    LineSettings m_line;
    int m_inputLen = 0;
    bool m_dtrEnable = false;
    bool m_rtsEnable = false;
    int m_rThreshold = 0;
    int m_sThreshold = 0;

    int m_lastError = 0;
    QString m_lastErrorDetail;
    qint16 m_commEvent = 0;
    bool m_changingState = false; // inside open or close: port errors are ours to handle there
    bool m_lostPending = false; // a lost device was seen; its close is queued
};
