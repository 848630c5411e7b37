#include "tools/sensorsimulator.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {
// How long the end of a counted run waits for the listener to read the
// last bytes before it gives up.
constexpr qint64 DrainTimeoutNs = 2'000'000'000;
constexpr int PollMs = 10;
} // namespace

SensorSimulator::SensorSimulator(const Options &options, MessageSource source, QObject *parent)
    : QObject(parent),
      m_options(options),
      m_source(std::move(source)),
      m_pacer(options.rate)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &SensorSimulator::step);
}

SensorSimulator::~SensorSimulator()
{
    if (m_state != State::Idle && m_state != State::Done)
        stop();
}

bool SensorSimulator::start(QString *error)
{
    if (!m_line.open(error))
        return false;
    const QString path = m_line.slavePath();

    if (!m_options.link.isEmpty()) {
        const QFileInfo existing(m_options.link);
        if (existing.isSymLink()) {
            QFile::remove(m_options.link); // left over from an earlier run
        } else if (existing.exists()) {
            *error = QStringLiteral("%1 exists and is not a symbolic link").arg(m_options.link);
            m_line.close();
            return false;
        }
        if (!QFile::link(path, m_options.link)) {
            *error = QStringLiteral("cannot create the link %1").arg(m_options.link);
            m_line.close();
            return false;
        }
    }

    emit note(QStringLiteral("sending on %1").arg(path));

    m_clock.start();
    if (m_options.waitForListener) {
        m_state = State::Waiting;
        emit note(QStringLiteral("waiting for a program to open the port"));
        m_timer.start(PollMs);
    } else {
        m_state = State::Running;
        m_pacer.start(now());
        step();
    }
    return true;
}

void SensorSimulator::step()
{
    const qint64 t = now();
    m_line.discardInput();
    switch (m_state) {
    case State::Waiting:
        if (m_line.hasListener()) {
            m_state = State::Running;
            m_pacer.start(t);
            pump(t);
        } else {
            m_timer.start(PollMs);
        }
        break;
    case State::Running:
        pump(t);
        break;
    case State::Draining:
        drain();
        break;
    case State::Idle:
    case State::Done:
        break;
    }
}

void SensorSimulator::pump(qint64 at)
{
    for (;;) {
        const qsizetype ready = m_pacer.take(at);
        if (ready > 0) {
            const QByteArrayView bytes(m_outgoing.constData(), ready);
            const qsizetype taken = m_line.send(bytes);
            m_sent += taken;
            m_dropped += ready - taken;
            m_outgoing.remove(0, ready);
        }
        if (m_sourceDone || !m_pacer.messageDue(at))
            break;
        if (m_options.count >= 0 && m_messages >= m_options.count) {
            m_sourceDone = true;
            break;
        }
        QByteArray message = m_source();
        if (message.isEmpty()) {
            m_sourceDone = true;
            break;
        }
        ++m_messages;
        m_outgoing += message;
        m_pacer.queue(at, message.size());
    }

    const bool listener = m_line.hasListener();
    if (listener != m_hadListener) {
        emit note(listener ? QStringLiteral("a program opened the port")
                           : QStringLiteral("nobody listens: bytes are dropped"));
        m_hadListener = listener;
    }

    if (m_sourceDone && m_pacer.pending() == 0) {
        m_state = State::Draining;
        m_drainUntil = now() + DrainTimeoutNs;
        // Bytes just written reach the listener's queue a moment later; a
        // look right away can find it empty and lose them with the pty.
        m_timer.start(PollMs);
        return;
    }
    schedule(m_pacer.nextWake(at));
}

void SensorSimulator::drain()
{
    // The last bytes are in the listener's input queue; leaving now would
    // take them away with the pty. Wait until they are read, the listener
    // has gone, or the time is up.
    const qsizetype unread = m_line.unread();
    if (unread == 0 || now() >= m_drainUntil) {
        m_unreadAtExit = std::max<qsizetype>(unread, 0);
        finish();
        return;
    }
    m_timer.start(PollMs);
}

void SensorSimulator::schedule(qint64 at)
{
    const qint64 waitNs = std::max<qint64>(0, at - now());
    // Rounded up, so that the work is due when the timer fires.
    m_timer.start(int(std::min<qint64>((waitNs + 999'999) / 1'000'000, 1000)));
}

void SensorSimulator::stop()
{
    if (m_state == State::Done)
        return;
    finish();
}

void SensorSimulator::finish()
{
    m_timer.stop();
    m_state = State::Done;
    m_line.close();
    if (!m_options.link.isEmpty()) {
        const QFileInfo link(m_options.link);
        if (link.isSymLink() && link.symLinkTarget() == QFileInfo(m_line.slavePath()).absoluteFilePath())
            QFile::remove(m_options.link);
    }
    emit finished(SensorSummary{m_messages, m_sent, m_dropped, m_unreadAtExit});
}
