#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <termios.h>

// The sensor's end of a simulated serial line: the master side of a
// pseudo-terminal whose slave device the logger opens as its port.
//
// A real line loses what is sent while nobody listens. A pty does not: a
// write to the master while no process has the slave open still lands in
// the slave's input queue (up to about 16 KiB here), and the next process
// that opens the slave reads those stale bytes first. So the line keeps no
// slave descriptor of its own once it is set up: when the last listener
// closes the slave, poll() on the master reports POLLHUP (reads return
// EIO), and send() then drops the bytes instead of writing them. The
// master stays open throughout, so the slave can be opened again at any
// time and keeps its raw settings. Holding a slave descriptor would not
// swallow data (only reads consume it), but it would hide the hang-up and
// hand stale bytes to the next listener.
class PtyLine
{
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    // Opens a raw pty pair; on failure returns false and sets *error.
    bool open(QString *error);
    void close();

    QString slavePath() const { return m_slavePath; }

    // True while at least one process has the slave open.
    bool hasListener() const;

    // Hands bytes to the listener without blocking. Returns how many were
    // taken; the rest is lost (nobody listens, or the listener's input
    // queue is full).
    qsizetype send(QByteArrayView bytes);

    // Reads and drops whatever the listener wrote to the line, so that a
    // chatty listener never blocks.
    void discardInput();
    // What the listener has written to the line since the last look.
    QByteArray takeWritten();
    // The line settings the listener has made (speed, stop bits...).
    termios settings() const;

    // Bytes sent but not yet read by the listener, or -1 when that cannot
    // be learnt (the listener holds the port exclusively).
    qsizetype unread() const;

private:
    int m_master = -1;
    QString m_slavePath;
};
