#include "viewer/speedunits.h"

namespace {

constexpr double kKnot = 1852.0 / 3600.0;
constexpr double kKilometrePerHour = 1000.0 / 3600.0;
constexpr double kMilePerHour = 1609.344 / 3600.0;
constexpr double kFootPerMinute = 0.3048 / 60.0;

const SpeedUnit kUnits[] = {
    {'M', QStringLiteral("metres per second"), QStringLiteral("m/s"), 1.0, {0.5, 2, 4, 6, 8, 11}},
    {'N', QStringLiteral("knots"), QStringLiteral("kn"), kKnot, {1, 4, 7, 11, 17, 22}},
    {'K', QStringLiteral("kilometres per hour"), QStringLiteral("km/h"), kKilometrePerHour, {2, 7, 14, 22, 29, 40}},
    {'P', QStringLiteral("miles per hour"), QStringLiteral("mph"), kMilePerHour, {1, 4, 9, 13, 18, 25}},
    {'F',
     QStringLiteral("feet per minute"),
     QStringLiteral("ft/min"),
     kFootPerMinute,
     {100, 400, 800, 1200, 1600, 2200}},
};

} // namespace

int SpeedUnit::classOf(double speed) const
{
    int cls = -1;
    while (cls + 1 < kClasses && speed >= classFrom[cls + 1])
        ++cls;
    return cls;
}

QString SpeedUnit::classLabel(int cls) const
{
    if (cls + 1 == kClasses)
        return QStringLiteral("≥ %1 %2").arg(classFrom[cls]).arg(symbol);
    return QStringLiteral("%1–%2 %3").arg(classFrom[cls]).arg(classFrom[cls + 1]).arg(symbol);
}

const SpeedUnit *SpeedUnit::find(QByteArrayView letter)
{
    if (letter.size() != 1)
        return nullptr;
    for (const SpeedUnit &u : kUnits) {
        if (u.letter == letter.front())
            return &u;
    }
    return nullptr;
}

const SpeedUnit &SpeedUnit::metresPerSecondUnit()
{
    return kUnits[0];
}
