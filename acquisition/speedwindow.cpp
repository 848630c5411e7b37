#include "acquisition/speedwindow.h"

#include <algorithm>

double Window_Avg(const SpeedBuffer &Speed_Buf, int n)
{
    n = std::clamp(n, 1, int(Speed_Buf.size()) - 1);
    double sum = 0.0;
    for (int i = 1; i <= n; ++i)
        sum += Speed_Buf[i];
    return sum / n;
}
