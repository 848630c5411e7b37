#pragma once

#include "common/msgfields.h"

#include <QtGlobal>

#include <optional>

// A message the cycle took a speed from, as the engine announces it: in the
// fill phase, and in the run phase where it also becomes a record.
struct ParsedMessage
{
    qint64 arrivalMs = 0; // when its completing STX arrived (the record's time)
    MsgFields fields; // fields 1, 2, 4, 5 and 6 as the parser left them
    double speed = 0.0; // field 3
    std::optional<double> mean; // the record's running mean; none in the fill phase
};
