#include "bench/xsession.h"

#include "tests/support/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {
constexpr int kServerStartMs = 10000;
constexpr int kWmSettleMs = 1000;
constexpr int kStopMs = 3000;
constexpr int kXdotoolMs = 5000;
const QString kVirtualScreen = QStringLiteral("1024x768x24");
const QString kDpi = QStringLiteral("96");
// The window manager of a virtual display: small, and it asks for nothing
// (no placement by hand, no session), so the window maps as it comes.
const QString kWindowManager = QStringLiteral("evilwm");

void endProcess(QProcess *p)
{
    if (!p || p->state() == QProcess::NotRunning)
        return;
    p->terminate();
    if (!p->waitForFinished(kStopMs)) {
        p->kill();
        p->waitForFinished(kStopMs);
    }
}

// The display number Xvfb writes to -displayfd once it accepts clients.
QString readDisplayNumber(int fd)
{
    QByteArray text;
    QElapsedTimer waited;
    waited.start();
    while (!text.contains('\n') && waited.elapsed() < kServerStartMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(kServerStartMs - waited.elapsed())) <= 0)
            break;
        char buffer[32];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, n);
    }
    return text.contains('\n') ? QString::fromLatin1(text).trimmed() : QString();
}
} // namespace

XSession::~XSession()
{
    endProcess(m_wm.get());
    endProcess(m_server.get());
}

bool XSession::useCurrent(QString *why)
{
    m_display = qEnvironmentVariable("DISPLAY");
    if (m_display.isEmpty()) {
        *why = QStringLiteral("$DISPLAY is not set");
        return false;
    }
    if (!runXdotool({QStringLiteral("getdisplaygeometry")}, kXdotoolMs)) {
        *why = QStringLiteral("the display %1 does not answer").arg(m_display);
        return false;
    }
    m_serverPid = findServerPid(m_display);
    return true;
}

bool XSession::startVirtual(QString *why)
{
    if (!startServer(why))
        return false;
    startWindowManager();
    return true;
}

bool XSession::startServer(QString *why)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        *why = QStringLiteral("Xvfb is not installed (scripts/install-deps.sh --bench)");
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *why = QStringLiteral("no pipe for Xvfb");
        return false;
    }
    const int writeEnd = fds[1];
    m_server = std::make_unique<QProcess>();
    // Only the server inherits the pipe's write end; it ends with us.
    m_server->setChildProcessModifier([writeEnd] {
        ::fcntl(writeEnd, F_SETFD, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    // Its keyboard-map warnings are noise here; a failure shows as no display number.
    m_server->setStandardOutputFile(QProcess::nullDevice());
    m_server->setStandardErrorFile(QProcess::nullDevice());
    m_server->start(xvfb,
                    {QStringLiteral("-displayfd"), QString::number(writeEnd), QStringLiteral("-screen"),
                     QStringLiteral("0"), kVirtualScreen, QStringLiteral("-dpi"), kDpi, QStringLiteral("-nolisten"),
                     QStringLiteral("tcp")});
    ::close(writeEnd);
    const QString number = m_server->waitForStarted(kServerStartMs) ? readDisplayNumber(fds[0]) : QString();
    ::close(fds[0]);
    if (number.isEmpty()) {
        endProcess(m_server.get());
        *why = QStringLiteral("Xvfb did not start");
        return false;
    }
    m_display = u':' + number;
    m_serverPid = m_server->processId();
    return true;
}

void XSession::startWindowManager()
{
    const QString wm = QStandardPaths::findExecutable(kWindowManager);
    if (wm.isEmpty())
        return;
    m_wm = std::make_unique<QProcess>();
    endWithParent(*m_wm, SIGTERM);
    m_wm->setProcessEnvironment(clientEnvironment());
    m_wm->setStandardOutputFile(QProcess::nullDevice());
    m_wm->setStandardErrorFile(QProcess::nullDevice());
    // Its default font is not among a bare server's; "fixed" is built in.
    m_wm->start(wm, {QStringLiteral("-fn"), QStringLiteral("fixed")});
    if (!m_wm->waitForStarted(kStopMs))
        return;
    // Let it take the screen before the first client maps.
    QThread::msleep(kWmSettleMs);
    if (m_wm->state() == QProcess::Running)
        m_windowManager = kWindowManager;
}

QString XSession::description() const
{
    if (m_server) {
        return QStringLiteral("virtual display %1 (Xvfb %2, %3 dpi, window manager: %4)")
            .arg(m_display, kVirtualScreen, kDpi,
                 m_windowManager.isEmpty() ? QStringLiteral("none, %1 is not installed").arg(kWindowManager)
                                           : m_windowManager);
    }
    return QStringLiteral("current display %1 (%2)")
        .arg(m_display,
             m_serverPid > 0 ? QStringLiteral("X server pid %1").arg(m_serverPid)
                             : QStringLiteral("X server process not found: its cost is not read"));
}

QProcessEnvironment XSession::clientEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

bool XSession::runXdotool(const QStringList &args, int timeoutMs, QByteArray *out) const
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!m_display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), m_display);
    p.setProcessEnvironment(env);
    endWithParent(p, SIGTERM);
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(timeoutMs)) {
        endProcess(&p);
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString XSession::findWindow(qint64 pid, const QString &title, int timeoutMs) const
{
    QByteArray out;
    const QString pattern = u'^' + QRegularExpression::escape(title) + u'$';
    if (!runXdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--pid"), QString::number(pid), QStringLiteral("--name"), pattern},
                    timeoutMs, &out))
        return {};
    return QString::fromLatin1(out).split(u'\n', Qt::SkipEmptyParts).value(0);
}

bool XSession::click(const QString &window, int x, int y) const
{
    return runXdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), window, QString::number(x),
                       QString::number(y), QStringLiteral("click"), QStringLiteral("1")},
                      kXdotoolMs);
}

qint64 XSession::findServerPid(const QString &display)
{
    // ":0" or "host:0.0" -> ":0", as the server's command line has it.
    static const QRegularExpression number(QStringLiteral(":(\\d+)"));
    const QString wanted = u':' + number.match(display).captured(1);
    static const QStringList servers{QStringLiteral("X"),        QStringLiteral("Xorg"),   QStringLiteral("Xvfb"),
                                     QStringLiteral("Xwayland"), QStringLiteral("Xephyr"), QStringLiteral("Xvnc"),
                                     QStringLiteral("Xtigervnc")};
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> argv = f.readAll().split('\0');
        if (servers.contains(QFileInfo(QString::fromLocal8Bit(argv.value(0))).fileName())
            && argv.contains(wanted.toLatin1()))
            return pid.toLongLong();
    }
    return 0;
}
