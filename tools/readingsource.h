#pragma once

#include <QList>
#include <QRandomGenerator>

// The readings a simulated sensor reports, one per message: a fixed list of
// speeds sent in order and repeated, or a random walk that is the same for
// the same seed.
class ReadingSource
{
public:
    struct Reading
    {
        int direction = 0;
        double speed = 0.0;
    };

    // Speeds in order, then again from the first; every reading has the
    // given direction.
    static ReadingSource fixed(const QList<double> &speeds, int direction);
    // A random walk: the speed wanders between 0 and 40 (start 5.00), the
    // direction turns by a few degrees per message.
    static ReadingSource walk(quint32 seed);

    Reading next();

private:
    ReadingSource() = default;

    QList<double> m_speeds;
    qsizetype m_index = 0;
    int m_direction = 0;
    bool m_walk = false;
    double m_speed = 5.0;
    QRandomGenerator m_random;
};
