#pragma once

#include <QString>

// Where the MQTT side reports, one line each, with the levels of the
// programs' logs. write() is called from the thread that publishes, so an
// implementation must take lines from any thread (the programs' logs hand
// each line to the system in one write).
class MqttLog
{
public:
    enum class Level { Error, Warning, Notice, Info };

    virtual ~MqttLog() = default;
    virtual void write(Level level, const QString &text) const = 0;

    void error(const QString &text) const { write(Level::Error, text); }
    void warning(const QString &text) const { write(Level::Warning, text); }
    void notice(const QString &text) const { write(Level::Notice, text); }
    void info(const QString &text) const { write(Level::Info, text); }
};
