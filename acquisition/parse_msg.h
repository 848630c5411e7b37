#pragma once

#include "common/msgfields.h"
#include "common/speedwindow.h"

#include <QByteArray>
#include <optional>

// Splits a message at commas and CR. Fields 1, 2, 4, 5, 6 go to `fld`,
// field 3 as a number into Speed_Buf[slot]; text after the last separator
// (the LF) is dropped.
//
// Returns false, and changes nothing at all, when field 3 is missing, empty,
// not a number or not finite, when a field holds a control character (a
// NUL, a stray ETX, an LF...; the STX that opens field 1 and the checksum
// that makes up field 6 are the message's own), or when slot is not 1..64: such a
// message carries no speed or no clean text, and storing half of it would
// put a stale speed or stale fields into the next record. The caller drops
// the message.
bool Parse_Msg(const QByteArray &msg, MsgFields &fld, SpeedBuffer &Speed_Buf, int slot);

// Field 3 as the sensor writes it: decimal, full stop as separator whatever
// the locale, leading zeros, a sign and blanks around the number allowed.
// Nothing for anything else.
std::optional<double> parseSpeed(QByteArray text);

// The sensor ends a message with ETX and two hex digits before the CR, the
// XOR of every byte between STX and ETX. False only when such a checksum is
// present and does not match; a message without one is taken as it is, and
// text after the CR is never taken for a checksum.
bool Checksum_Ok(const QByteArray &msg);
