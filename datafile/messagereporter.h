#pragma once

#include <QString>

// The operator's error report: a modal box with OK only, no icon and the
// caption "SORVIK-7". The main window shows a real one; tests and the
// benchmark collect the texts. report() returns when the operator has
// pressed OK.
class MessageReporter
{
public:
    virtual ~MessageReporter() = default;
    virtual void report(const QString &text) = 0;
};
