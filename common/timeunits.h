#pragma once

#include <QtGlobal>

// Milliseconds and seconds, said once.
inline constexpr int kMsPerSecond = 1000;

// A span in milliseconds as seconds with a fraction, for reports ("12.4 s").
inline constexpr double msToSeconds(qint64 ms)
{
    return double(ms) / kMsPerSecond;
}
