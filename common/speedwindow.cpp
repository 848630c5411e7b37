#include "common/speedwindow.h"

#include <algorithm>
#include <cmath>

double Window_Avg(const SpeedBuffer &Speed_Buf, int n)
{
    n = std::clamp(n, 1, int(Speed_Buf.size()) - 1);
    double sum = 0.0;
    for (int i = 1; i <= n; ++i)
        sum += Speed_Buf[i];
    if (std::isfinite(sum))
        return sum / n;

    // Speeds near the largest double overflow the sum, yet their mean is a
    // finite number. Sum them scaled down by 2^8 (exact for such values;
    // 64 of them then cannot overflow), scale the mean back, and keep it
    // between the smallest and the largest speed against rounding.
    double scaled = 0.0;
    double lo = Speed_Buf[1];
    double hi = Speed_Buf[1];
    for (int i = 1; i <= n; ++i) {
        scaled += std::ldexp(Speed_Buf[i], -8);
        lo = std::min(lo, Speed_Buf[i]);
        hi = std::max(hi, Speed_Buf[i]);
    }
    return std::clamp(std::ldexp(scaled / n, 8), lo, hi);
}
