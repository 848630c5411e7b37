#pragma once

#include "serial/linecounters.h"

// Reads the error counters that the Linux serial drivers keep for every
// open port (ioctl TIOCGICOUNT). Elsewhere, and for drivers without them,
// there are none.
class DriverCounterSource final : public LineCounterSource
{
public:
    std::optional<LineCounters> read(qintptr handle) override;
};
