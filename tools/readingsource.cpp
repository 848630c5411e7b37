#include "tools/readingsource.h"

#include <cmath>

ReadingSource ReadingSource::fixed(const QList<double> &speeds, int direction)
{
    ReadingSource source;
    source.m_speeds = speeds.isEmpty() ? QList<double>{0.0} : speeds;
    source.m_direction = direction;
    return source;
}

ReadingSource ReadingSource::walk(quint32 seed)
{
    ReadingSource source;
    source.m_walk = true;
    source.m_random.seed(seed);
    source.m_direction = int(source.m_random.bounded(360));
    return source;
}

ReadingSource::Reading ReadingSource::next()
{
    if (!m_walk) {
        const Reading reading{m_direction, m_speeds.at(m_index)};
        m_index = (m_index + 1) % m_speeds.size();
        return reading;
    }

    const Reading reading{m_direction, std::round(m_speed * 100.0) / 100.0};
    // Steps of up to +-0.5, reflected at the ends of 0..40.
    constexpr double top = 40.0;
    m_speed += m_random.bounded(1.0) - 0.5;
    if (m_speed < 0.0)
        m_speed = -m_speed;
    if (m_speed > top)
        m_speed = 2 * top - m_speed;
    m_direction = (m_direction + int(m_random.bounded(11)) - 5 + 360) % 360;
    return reading;
}
