#pragma once

#include "acquisition/parsedmessage.h"
#include "stats/intervalstats.h"

#include <QJsonObject>

// What the campaign tables and the live topic take from a parsed message:
// its arrival time, field 3, field 2 as a direction when it is a number,
// the units (field 4) and the status (field 5) as the sensor sent them.
WindSample windSampleOf(const ParsedMessage &message);

// The latest message for sorvik7/<station>/live: time (UTC, milliseconds),
// speed, mean (the record's running mean, to the hundredth as the record
// writes it; null in the fill phase),
// direction (null without one), units, status.
QJsonObject liveJson(const ParsedMessage &message);
