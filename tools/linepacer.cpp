#include "tools/linepacer.h"

#include <algorithm>
#include <cmath>
#include <limits>

LinePacer::LinePacer(double messagesPerSecond)
    : m_rate(messagesPerSecond > 0.0 && std::isfinite(messagesPerSecond) ? messagesPerSecond : 0.0)
{
}

void LinePacer::start(qint64 now)
{
    m_origin = now;
    m_messages = 0;
    m_epoch = now;
    m_queued = 0;
    m_taken = 0;
}

qint64 LinePacer::dueTime(qint64 message) const
{
    if (m_rate <= 0.0)
        return std::numeric_limits<qint64>::min();
    // Computed from the origin for every message: no error accumulates.
    return m_origin + std::llround(double(message) * double(NsPerSecond) / m_rate);
}

qint64 LinePacer::endOfByte(qint64 bytes) const
{
    // Rounded up: the byte has not left the line before this instant.
    return m_epoch + (bytes * NsPerSecond + CharsPerSecond - 1) / CharsPerSecond;
}

bool LinePacer::messageDue(qint64 now) const
{
    return pending() == 0 && now >= dueTime(m_messages);
}

void LinePacer::queue(qint64 now, qsizetype bytes)
{
    if (pending() == 0) {
        const qint64 lineFree = endOfByte(m_queued);
        const qint64 begin = std::max({dueTime(m_messages), lineFree, now - CatchUpNs});
        if (begin > lineFree) {
            m_epoch = begin;
            m_queued = 0;
            m_taken = 0;
        }
    }
    m_queued += bytes;
    ++m_messages;
}

qsizetype LinePacer::take(qint64 now)
{
    if (now <= m_epoch)
        return 0;
    const qint64 ended = std::min(m_queued, (now - m_epoch) * CharsPerSecond / NsPerSecond);
    const qint64 count = std::max<qint64>(0, ended - m_taken);
    m_taken += count;

    // Keep the products above far from overflow on long runs: move the
    // epoch on by whole hours, which are whole bytes.
    constexpr qint64 hourBytes = CharsPerSecond * 3600;
    while (m_taken >= hourBytes) {
        m_epoch += 3600 * NsPerSecond;
        m_queued -= hourBytes;
        m_taken -= hourBytes;
    }
    return qsizetype(count);
}

qint64 LinePacer::nextWake(qint64 now) const
{
    if (pending() > 0) {
        const qint64 nextByte = endOfByte(m_taken + 1);
        const qint64 allSent = endOfByte(m_queued);
        return std::max(nextByte, std::min(allSent, now + ChunkNs));
    }
    return std::max(now, dueTime(m_messages));
}
