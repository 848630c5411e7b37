#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

// The X display that the GUI benchmark shows the real window on: the
// current one ($DISPLAY), or a virtual one of its own (Xvfb at 96 dpi, with
// a small window manager when one is installed). It also drives the window
// as an operator would, with xdotool, and knows the X server's process so
// that its cost can be read.
class XSession
{
public:
    XSession() = default;
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    // The display named by $DISPLAY; false (and *why) when there is none
    // or it does not answer.
    bool useCurrent(QString *why);
    // A virtual display and a window manager of its own, ended with the session.
    bool startVirtual(QString *why);

    QString display() const { return m_display; }
    // The X server's process id, 0 when it cannot be found.
    qint64 serverPid() const { return m_serverPid; }
    // What the display is, in words.
    QString description() const;
    // The environment a client of this display runs in.
    QProcessEnvironment clientEnvironment() const;

    // The id of the first visible window of that process with this exact
    // title, waiting up to timeoutMs for it to appear; empty when none does.
    QString findWindow(qint64 pid, const QString &title, int timeoutMs) const;
    // A left click at (x, y) pixels inside the window.
    bool click(const QString &window, int x, int y) const;

private:
    bool runXdotool(const QStringList &args, int timeoutMs, QByteArray *out = nullptr) const;
    bool startServer(QString *why);
    void startWindowManager();
    static qint64 findServerPid(const QString &display);

    QString m_display;
    qint64 m_serverPid = 0;
    QString m_windowManager;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_wm;
};
