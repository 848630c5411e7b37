#include "serial/mscomm.h"

#include "common/clock.h"
#include "common/sorvik7_def.h"
#include "serial/drivercountersource.h"

#include "common/nativepath.h"

#include <QFileInfo>
#include <QScopedValueRollback>
#include <QSignalBlocker>

#include <array>
#include <utility>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
constexpr int kMinPort = 1;
constexpr int kMaxPort = 255;
constexpr int kDefaultPollMs = 200;
// Read bytes are dropped from the front of the buffer once this many have gathered.
constexpr qsizetype kCompactAt = 4096;
// The device numbers of pseudo-terminal slaves (/dev/pts/N) on Linux.
constexpr unsigned kPtyMajorFirst = 136;
constexpr unsigned kPtyMajorLast = 143;

// What an open that QSerialPort refused means to the operator.
int openErrorNumber(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError: // no such device node
    case QSerialPort::ResourceError: // node present, hardware absent (EIO)
        return MSComm::errPortNotFound;
    case QSerialPort::OpenError: // this object has it open already
        return MSComm::errPortAlreadyOpen;
    case QSerialPort::UnsupportedOperationError: // not a serial device, or settings refused
        return MSComm::errBadSettings;
    case QSerialPort::PermissionError: // held by another program, or no access
    default:
        return MSComm::errPortBusy;
    }
}
} // namespace

MSComm::MSComm(const Clock *clock, QObject *parent)
    : QObject(parent),
      m_port(new QSerialPort(this)),
      m_clock(clock),
      m_counterSource(std::make_unique<DriverCounterSource>())
{
    if (!m_clock) {
        m_ownClock = std::make_unique<SystemClock>();
        m_clock = m_ownClock.get();
    }
    // Everything is taken from QSerialPort as it comes; the bound on what
    // waits for the cycle is kMaxWaiting, kept here.
    m_port->setReadBufferSize(0);
    m_counterTimer.setInterval(kDefaultPollMs);
    connect(&m_counterTimer, &QTimer::timeout, this, &MSComm::pollCounters);
    connect(m_port, &QSerialPort::errorOccurred, this, &MSComm::handlePortError);
    connect(m_port, &QSerialPort::readyRead, this, [this] {
        takeArrived();
        emit received();
    });
    m_overflowTimer.setSingleShot(true);
    connect(&m_overflowTimer, &QTimer::timeout, this, &MSComm::checkOverflowEnd);
}

MSComm::~MSComm()
{
    const QSignalBlocker quiet(this);
    closePort();
}

void MSComm::recordError(int number)
{
    m_lastError = number;
}

int MSComm::lastError() const
{
    return m_lastError;
}

void MSComm::clearError()
{
    m_lastError = 0;
    m_lastErrorDetail.clear();
}

QString MSComm::errorText(int number)
{
    switch (number) {
    case errPortNotFound:
        return QStringLiteral("the port does not exist (no such device, or no hardware behind it)");
    case errPortAlreadyOpen:
        return QStringLiteral("the port is already open");
    case errPortBusy:
        return QStringLiteral("the port is busy (held by another program) or not permitted");
    case errBadSettings:
        return QStringLiteral("the line settings cannot be applied, or the device is not a serial port");
    case errInvalidValue:
        return QStringLiteral("a setting has an invalid value");
    default:
        return QStringLiteral("the port cannot be used");
    }
}

void MSComm::setCommPort(int n)
{
    if (PortOpen()) {
        recordError(errPortAlreadyOpen);
        return;
    }
    // An impossible number is kept, so the open that follows fails too
    // instead of opening the port chosen before.
    m_commPort = n;
    if (n < kMinPort || n > kMaxPort)
        recordError(errPortNotFound);
}

int MSComm::CommPort() const
{
    return m_commPort;
}

std::optional<MSComm::LineSettings> MSComm::parseSettings(const QString &s)
{
    const QStringList parts = s.split(u',');
    if (parts.size() != 4)
        return std::nullopt;

    LineSettings line;
    bool ok = false;
    line.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || line.baud <= 0)
        return std::nullopt;

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == u"N")
        line.parity = QSerialPort::NoParity;
    else if (parity == u"E")
        line.parity = QSerialPort::EvenParity;
    else if (parity == u"O")
        line.parity = QSerialPort::OddParity;
    else if (parity == u"M")
        line.parity = QSerialPort::MarkParity;
    else if (parity == u"S")
        line.parity = QSerialPort::SpaceParity;
    else
        return std::nullopt;

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return std::nullopt;
    line.dataBits = QSerialPort::DataBits(bits);

    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        line.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        line.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        line.stopBits = QSerialPort::TwoStop;
    else
        return std::nullopt;
    return line;
}

void MSComm::setSettings(const QString &s)
{
    const std::optional<LineSettings> line = parseSettings(s);
    if (!line) {
        recordError(errBadSettings);
        return;
    }
    if (PortOpen() && !applyLineSettings(*line)) {
        applyLineSettings(m_line);
        recordError(errBadSettings);
        return;
    }
    m_settings = s;
    m_line = *line;
}

QString MSComm::Settings() const
{
    return m_settings;
}

bool MSComm::applyLineSettings(const LineSettings &line)
{
    // Settings made before open() are applied by open() itself, which then
    // fails as a whole if the device refuses one of them.
    return m_port->setBaudRate(line.baud) && m_port->setParity(line.parity) && m_port->setDataBits(line.dataBits)
        && m_port->setStopBits(line.stopBits) && m_port->setFlowControl(QSerialPort::NoFlowControl);
}

void MSComm::setInputLen(int n)
{
    if (n < 0) {
        recordError(errInvalidValue);
        return;
    }
    m_inputLen = n;
}

int MSComm::InputLen() const
{
    return m_inputLen;
}

bool MSComm::applyModemLine(bool (QSerialPort::*set)(bool), bool on)
{
    QScopedValueRollback guard(m_changingState, true);
    if ((m_port->*set)(on))
        return true;
    // A pseudo-terminal has no modem lines; it still carries data.
    return m_port->error() == QSerialPort::UnsupportedOperationError;
}

void MSComm::setDTREnable(bool on)
{
    m_dtrEnable = on;
    if (PortOpen() && !applyModemLine(&QSerialPort::setDataTerminalReady, on))
        recordError(errBadSettings);
}

void MSComm::setRTSEnable(bool on)
{
    m_rtsEnable = on;
    if (PortOpen() && !applyModemLine(&QSerialPort::setRequestToSend, on))
        recordError(errBadSettings);
}

// The thresholds are kept for the program's setup; no event is raised per
// received or sent character, as nothing listens for one.
void MSComm::setRThreshold(int n)
{
    if (n < 0)
        recordError(errInvalidValue);
    else
        m_rThreshold = n;
}

int MSComm::RThreshold() const
{
    return m_rThreshold;
}

void MSComm::setSThreshold(int n)
{
    if (n < 0)
        recordError(errInvalidValue);
    else
        m_sThreshold = n;
}

int MSComm::SThreshold() const
{
    return m_sThreshold;
}

void MSComm::setPortOpen(bool open)
{
    if (open)
        openPort();
    else
        closePort();
}

bool MSComm::PortOpen() const
{
    return m_port->isOpen();
}

QString MSComm::deviceForPort(int n)
{
    if (n < kMinPort || n > kMaxPort)
        return {};
    const QString mapped = qEnvironmentVariable(qPrintable(QStringLiteral("SORVIK7_COM%1").arg(n)));
    if (!mapped.isEmpty())
        return mapped;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

void MSComm::setDevice(const QString &path)
{
    m_device = path;
}

QString MSComm::device() const
{
    return m_device.isEmpty() ? deviceForPort(m_commPort) : m_device;
}

bool MSComm::reopen()
{
    openPort(true);
    return PortOpen();
}

MSComm::NodeId MSComm::nodeId(const QString &path)
{
    NodeId id;
#ifdef Q_OS_UNIX
    const QByteArray native = nativepath::encode(path);
    struct stat st
    { };
    if (::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        id.link = true;
        id.linkDev = st.st_dev;
        id.linkIno = st.st_ino;
        id.linkCtimeNs = qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    }
    if (::stat(native.constData(), &st) != 0)
        return id;
    id.known = true;
    id.chr = S_ISCHR(st.st_mode);
    id.rdev = id.chr ? st.st_rdev : st.st_ino;
    id.pty = id.chr && major(st.st_rdev) >= kPtyMajorFirst && major(st.st_rdev) <= kPtyMajorLast;
#else
    Q_UNUSED(path);
#endif
    return id;
}

QString MSComm::notSame(const NodeId &before, const NodeId &now, const QString &path)
{
    // A link made anew since names the device now (udev's links, a
    // simulator's); an old link, or the node itself, must lead to the same one.
    if (!before.known || !now.known)
        return {};
    if (now.link
        && (!before.link || now.linkDev != before.linkDev || now.linkIno != before.linkIno
            || now.linkCtimeNs != before.linkCtimeNs))
        return {};
    if (before.pty)
        return QStringLiteral("%1 is a new pseudo-terminal, not the one that went away "
                              "(a pseudo-terminal does not come back)")
            .arg(path);
    if (now.chr != before.chr || now.rdev != before.rdev)
        return QStringLiteral("%1 now names another device, not the one that went away").arg(path);
    return {};
}

void MSComm::openPort(bool sameDevice)
{
    m_otherDevice.clear();
    m_lockHolder = 0;
    if (PortOpen()) {
        recordError(errPortAlreadyOpen);
        return;
    }
    const QString device = this->device();
    if (device.isEmpty()) {
        recordError(errPortNotFound);
        return;
    }

#ifdef Q_OS_UNIX
    // A device that is not there is not tried: QSerialPort would first make
    // and flush a lock file for it, at every look for a device that has gone.
    if (!QFileInfo::exists(device)) {
        recordError(errPortNotFound);
        return;
    }
#endif
    const NodeId node = nodeId(device);
    if (sameDevice) {
        m_otherDevice = notSame(m_node, node, device);
        if (!m_otherDevice.isEmpty()) {
            recordError(errPortNotFound);
            m_lastErrorDetail = m_otherDevice;
            return;
        }
    } else {
        m_node = NodeId(); // START takes whatever the port names now
    }
    if (!m_lock.acquire(device)) {
        m_lockHolder = m_lock.holder();
        recordError(errPortBusy);
        m_lastErrorDetail = QStringLiteral("held by %1").arg(m_lock.holderText());
        return;
    }
    QScopedValueRollback guard(m_changingState, true);
    m_lostPending = false;
    m_port->setPortName(device);
    if (!applyLineSettings(m_line)) {
        m_lock.release();
        recordError(errBadSettings);
        return;
    }
    if (!m_port->open(QIODevice::ReadOnly)) {
        m_lock.release();
        recordError(openErrorNumber(m_port->error()));
        m_lastErrorDetail = m_port->errorString();
        return;
    }
    if (!applyModemLine(&QSerialPort::setDataTerminalReady, m_dtrEnable)
        || !applyModemLine(&QSerialPort::setRequestToSend, m_rtsEnable)) {
        m_port->close();
        m_lock.release();
        recordError(errBadSettings);
        return;
    }
    m_port->clearError();
    m_node = node;
    startCounterPolling();
}

void MSComm::closePort()
{
    m_counterTimer.stop();
    m_lostPending = false;
    m_rx.clear();
    m_rxPos = 0;
    m_stamps.clear();
    m_gap = false;
    endOverflow();
    if (!PortOpen())
        return;
    QScopedValueRollback guard(m_changingState, true);
    m_port->close();
    m_lock.release();
}

void MSComm::takeArrived()
{
    if (!PortOpen() || m_port->bytesAvailable() <= 0)
        return;
    m_rx += m_port->readAll();
    const qint64 now = m_clock->msecsSinceEpoch();
    if (!m_stamps.empty() && m_stamps.back().ms == now)
        m_stamps.back().end = m_rx.size();
    else
        m_stamps.push_back({m_rx.size(), now});
    if (const qsizetype excess = m_rx.size() - m_rxPos - kMaxWaiting; excess > 0)
        dropOldest(excess);
}

void MSComm::dropOldest(qsizetype n)
{
    m_rxPos += n;
    m_gap = true;
    while (!m_stamps.empty() && m_stamps.front().end <= m_rxPos)
        m_stamps.pop_front();
    compact();
    m_dropped += quint64(n);
    m_sinceDrop.start();
    if (m_overflowing)
        return;
    m_overflowing = true;
    m_droppedBefore = m_dropped - quint64(n);
    m_overflowTimer.start(kOverflowQuietMs);
    emit inputOverflow(true, quint64(n));
    raise(comEvRxOver);
}

void MSComm::checkOverflowEnd()
{
    if (!m_overflowing)
        return;
    const qint64 quiet = m_sinceDrop.elapsed();
    if (quiet < kOverflowQuietMs)
        m_overflowTimer.start(int(kOverflowQuietMs - quiet));
    else
        endOverflow();
}

void MSComm::endOverflow()
{
    if (!m_overflowing)
        return;
    m_overflowing = false;
    m_overflowTimer.stop();
    emit inputOverflow(false, m_dropped - m_droppedBefore);
}

bool MSComm::takeGap()
{
    return std::exchange(m_gap, false);
}

void MSComm::compact()
{
    if (m_rxPos < kCompactAt || m_rxPos * 2 < m_rx.size())
        return;
    m_rx.remove(0, m_rxPos);
    for (Stamp &s : m_stamps)
        s.end -= m_rxPos;
    m_rxPos = 0;
}

qint16 MSComm::InBufferCount()
{
    takeArrived();
    return qint16(qMin<qsizetype>(m_rx.size() - m_rxPos, sorvik7::kMaxPendingCount));
}

void MSComm::discardInput()
{
    if (!PortOpen())
        return;
    m_port->clear(QSerialPort::Input);
    m_port->readAll();
    m_rx.clear();
    m_rxPos = 0;
    m_stamps.clear();
    m_gap = false;
}

QByteArray MSComm::Input()
{
    takeArrived();
    const qsizetype waiting = m_rx.size() - m_rxPos;
    const qsizetype n = m_inputLen == 0 ? waiting : qMin<qsizetype>(m_inputLen, waiting);
    if (n <= 0)
        return {};
    const QByteArray out = m_rx.mid(m_rxPos, n);
    m_rxPos += n;
    while (!m_stamps.empty() && m_stamps.front().end < m_rxPos)
        m_stamps.pop_front();
    if (!m_stamps.empty())
        m_lastArrival = m_stamps.front().ms;
    compact();
    return out;
}

qint64 MSComm::arrivalMs() const
{
    return m_lastArrival;
}

qint16 MSComm::CommEvent() const
{
    return m_commEvent;
}

void MSComm::raise(qint16 code)
{
    m_commEvent = code;
    emit OnComm();
}

void MSComm::setCounterSource(std::unique_ptr<LineCounterSource> source)
{
    m_counterSource = std::move(source);
    m_counterTimer.stop();
    if (PortOpen())
        startCounterPolling();
}

void MSComm::setCounterPollInterval(int ms)
{
    m_counterTimer.setInterval(qMax(1, ms));
}

void MSComm::startCounterPolling()
{
    // The first reading is the baseline: errors from before the open are not ours.
    const std::optional<LineCounters> now = m_counterSource ? m_counterSource->read(m_port->handle()) : std::nullopt;
    if (!now)
        return; // the driver keeps no counters: nothing to poll
    m_lastCounters = *now;
    m_counterTimer.start();
}

void MSComm::pollCounters()
{
    const std::optional<LineCounters> now =
        PortOpen() && m_counterSource ? m_counterSource->read(m_port->handle()) : std::nullopt;
    if (!now) {
        m_counterTimer.stop();
        return;
    }
    const LineCounters before = std::exchange(m_lastCounters, *now);
    const std::array<std::pair<qint16, bool>, 5> kinds = {{
        {comEvBreak, now->brk > before.brk},
        {comEvFrame, now->frame > before.frame},
        {comEvOverrun, now->overrun > before.overrun},
        {comEvRxOver, now->buf_overrun > before.buf_overrun},
        {comEvRxParity, now->parity > before.parity},
    }};
    for (const auto &[code, risen] : kinds) {
        if (risen)
            raise(code);
    }
}

void MSComm::handlePortError(QSerialPort::SerialPortError error)
{
    if (m_changingState || m_lostPending || !PortOpen())
        return;
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    // The device is gone. QSerialPort keeps retrying the read and reports
    // the failure again at every pass of the event loop; close it once, out
    // of its own notification.
    m_lostPending = true;
    QMetaObject::invokeMethod(this, &MSComm::handleDeviceLost, Qt::QueuedConnection);
}

void MSComm::handleDeviceLost()
{
    if (!m_lostPending)
        return; // closed (or reopened) meanwhile
    closePort();
    raise(comEvDeviceLost);
}
