#pragma once

#include <QByteArrayView>
#include <QString>

#include <array>

// What the letter in a record's units column means, and the speed classes
// the wind rose uses in that unit (about Beaufort 1, 2, 3, 4, 5 and 6 on).
struct SpeedUnit
{
    static constexpr int kClasses = 6;

    char letter = 'M';
    QString name; // "metres per second"
    QString symbol; // "m/s"
    double metresPerSecond; // one of this unit in m/s
    // Lower bound of each class; below the first is calm.
    std::array<double, kClasses> classFrom;

    // The class of a speed, or -1 for calm.
    int classOf(double speed) const;
    QString classLabel(int cls) const;

    // The unit for a letter; nullptr for a letter the sensor does not use.
    static const SpeedUnit *find(QByteArrayView letter);
    static const SpeedUnit &metresPerSecondUnit();
};
