#pragma once

#include <QtGlobal>

#include <optional>

// The driver's running totals of line errors since the device was opened.
// Only their rises matter: the control compares two readings.
struct LineCounters
{
    int frame = 0;
    int overrun = 0;
    int parity = 0;
    int brk = 0;
    int buf_overrun = 0;
};

// Where the control reads the counters of an open device from. The default
// asks the serial driver; tests hand in their own numbers.
class LineCounterSource
{
public:
    virtual ~LineCounterSource() = default;
    // The counters of the device open on handle, or nothing when its driver
    // keeps none (pseudo-terminals, some USB adapters) or cannot be asked.
    virtual std::optional<LineCounters> read(qintptr handle) = 0;
};
