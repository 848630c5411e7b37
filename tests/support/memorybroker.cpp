#include "tests/support/memorybroker.h"

#include <QTimer>

namespace {

bool matches(const QByteArray &filter, const QByteArray &topic)
{
    const QList<QByteArray> f = filter.split('/'), t = topic.split('/');
    for (qsizetype i = 0; i < f.size(); ++i) {
        if (f[i] == "#")
            return true;
        if (i >= t.size() || (f[i] != "+" && f[i] != t[i]))
            return false;
    }
    return f.size() == t.size();
}

} // namespace

std::unique_ptr<MemoryTransport> MemoryBroker::transport()
{
    auto t = std::make_unique<MemoryTransport>(*this);
    m_transports << t.get();
    return t;
}

void MemoryBroker::setUp(bool up)
{
    m_up = up;
    for (const QPointer<MemoryTransport> &t : std::as_const(m_transports))
        if (t)
            t->linkChanged(up);
}

void MemoryBroker::deliver(MemoryTransport *from, const Message &message, int mid)
{
    published << message;
    const bool lost = lose && lose(message);
    for (const QPointer<MemoryTransport> &t : std::as_const(m_transports)) {
        if (!t || lost || !t->m_connected || !t->wants(message.topic))
            continue;
        QTimer::singleShot(0, t.data(), [t, message] {
            if (t->m_connected)
                emit t->messageReceived(message.topic, message.payload);
        });
    }
    if (!holdAcks)
        QTimer::singleShot(0, from, [from, mid] {
            if (from->m_connected)
                emit from->published(mid);
        });
}

void MemoryTransport::open()
{
    m_wanted = true;
    linkChanged(m_broker.isUp());
}

void MemoryTransport::close()
{
    m_wanted = false;
    m_connected = false;
}

void MemoryTransport::linkChanged(bool up)
{
    if (!m_wanted || up == m_connected)
        return;
    m_connected = up;
    // As the event loop would: never from inside the caller's own call.
    QTimer::singleShot(0, this, [this, up] {
        if (up)
            emit connected();
        else
            emit outage(QStringLiteral("the link is down"));
    });
}

bool MemoryTransport::wants(const QByteArray &topic) const
{
    for (const QByteArray &filter : m_filters)
        if (matches(filter, topic))
            return true;
    return false;
}

int MemoryTransport::publish(const QByteArray &topic, const QByteArray &payload, int, bool)
{
    if (!m_connected)
        return -1;
    const int mid = m_nextMid++;
    m_broker.deliver(this, {topic, payload}, mid);
    return mid;
}

void MemoryTransport::subscribe(const QByteArray &filter, int)
{
    m_filters << filter;
}
