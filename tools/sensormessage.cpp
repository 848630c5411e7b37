#include "tools/sensormessage.h"

#include <cmath>

quint8 SensorMessage::checksum(QByteArrayView body)
{
    quint8 sum = 0;
    for (char c : body)
        sum ^= static_cast<quint8>(c);
    return sum;
}

QByteArray SensorMessage::body(int direction, double speed)
{
    direction %= 360;
    if (direction < 0)
        direction += 360;
    if (!(speed >= 0.0)) // also catches NaN
        speed = 0.0;
    // Work in hundredths so that the text never shows a rounding artefact
    // like "1000.00" for 999.996.
    const long long hundredths = std::min(std::llround(speed * 100.0), std::llround(MaxSpeed * 100.0));

    QByteArray text = "Q,";
    text += QByteArray::number(direction).rightJustified(3, '0');
    text += ',';
    text += QByteArray::number(hundredths / 100).rightJustified(3, '0');
    text += '.';
    text += QByteArray::number(hundredths % 100).rightJustified(2, '0');
    text += ",M,00,";
    return text;
}

QByteArray SensorMessage::polar(int direction, double speed)
{
    return frame(body(direction, speed));
}

QByteArray SensorMessage::frame(QByteArrayView body, bool withChecksum)
{
    QByteArray message;
    message.reserve(body.size() + 6);
    message += Stx;
    message += body;
    if (withChecksum) {
        message += Etx;
        message += QByteArray::number(checksum(body), 16).toUpper().rightJustified(2, '0');
    }
    message += "\r\n";
    return message;
}
