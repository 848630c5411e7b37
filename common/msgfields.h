#pragma once

#include <QByteArray>

// Fields 1, 2, 4, 5 and 6 of the last parsed message. Field 1 starts with
// the STX that opened the message. A field that a message lacks keeps the
// value of an earlier message.
struct MsgFields
{
    QByteArray Fld1, Fld2, Fld4, Fld5, Fld6;
};
