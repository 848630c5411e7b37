#pragma once

#include <QByteArray>
#include <QByteArrayView>

// One message of the wind sensor in its polar format:
//   STX "Q,ddd,sss.ss,M,00," ETX hh CR LF
// ddd is the direction in degrees (000..359), sss.ss the speed with three
// integer and two decimal digits, hh the XOR of every byte between STX and
// ETX as two uppercase hex digits.
class SensorMessage
{
public:
    static constexpr char Stx = '\x02';
    static constexpr char Etx = '\x03';
    static constexpr double MaxSpeed = 999.99;

    // XOR of all bytes of body.
    static quint8 checksum(QByteArrayView body);

    // The text between STX and ETX for a reading. The direction is taken
    // modulo 360; the speed is clamped to 0..MaxSpeed and rounded to 0.01.
    static QByteArray body(int direction, double speed);

    // The complete message, STX to LF.
    static QByteArray polar(int direction, double speed);

    // Frames any body: STX, body, ETX, checksum, CR LF; without the checksum
    // the body runs straight into CR LF.
    static QByteArray frame(QByteArrayView body, bool withChecksum = true);
};
