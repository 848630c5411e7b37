#pragma once

#include <QByteArray>
#include <QtGlobal>

// What the acquisition cycle needs of the serial port, and nothing more.
// The serial control implements it for a real device; recorded input is
// replayed through it as well.
class PortInput
{
public:
    virtual ~PortInput() = default;
    // Characters received and not yet read; 0 on a closed port, never above 32767.
    virtual qint16 InBufferCount() = 0;
    // Throws away whatever is waiting; does nothing on a closed port.
    virtual void discardInput() = 0;
    // The next received character (one byte). Called only after a pending
    // count above 0.
    virtual QByteArray Input() = 0;
    // When the character Input() returned last reached the program, in
    // milliseconds since the epoch.
    virtual qint64 arrivalMs() const = 0;
    // True once after characters were thrown away unread (the receive
    // buffer overflowed): the next character does not follow the last one read.
    virtual bool takeGap() { return false; }
};
