#pragma once

#include "common/msgfields.h"
#include "common/speedwindow.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

// The data file's text. Separators are always "/", ":" and "." so a file
// reads the same whatever the machine's regional settings.

// "000.00": at least three integer digits, exactly two decimals. Rounding is
// half away from zero, applied to the shortest decimal text that reads back
// as the same double (so 2.675 gives 002.68 and -2.675 gives -002.68). A
// negative value keeps its sign before the digits; a value that rounds to
// zero is written without a sign.
QByteArray formatNumber(double value);

// "hh:mm:ss", 24-hour clock.
QByteArray formatTimeOfDay(const QTime &t);

// "Gill Format Polar,yy/mm/dd,hh:mm:ss" (no line end).
QByteArray headerLine(const QDateTime &t);

// One record without its line end: time, field 1, field 2, the mean, fields
// 4 and 5; in debug mode then a comma and, for each slot 1..n, a comma and
// the slot's speed.
QByteArray Record_Line(const QByteArray &Rec_Time, const MsgFields &fld, double Avg_Speed, bool Debug_Flag,
                       const SpeedBuffer &Speed_Buf, int Sample_Num);
