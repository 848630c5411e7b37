#pragma once

#include <array>

// The speed window: 65 slots, of which 1..N hold the last N speeds; slot 0 is
// never used. The cycle decides which slot receives the next speed.
using SpeedBuffer = std::array<double, 65>;

// Mean of slots 1..n, summed in slot order, unrounded. n is 1..64; a value
// outside that is bounded to it so no slot past 64 is ever read.
double Window_Avg(const SpeedBuffer &Speed_Buf, int n);
