#pragma once

#include <QString>

// The operator's error report. The window shows a modal box with OK only,
// no icon and the caption "SORVIK-7", and report() returns when the
// operator has pressed OK; the service writes a line to its log.
class MessageReporter
{
public:
    virtual ~MessageReporter() = default;
    virtual void report(const QString &text) = 0;
};
