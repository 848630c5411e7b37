#include "acquisition/clock.h"

QDateTime SettableClock::now() const
{
    const QDateTime t = m_now;
    m_now = m_now.addMSecs(m_stepMs);
    return t;
}
