#pragma once

#include <QString>

// The one log of every long-running program: one line per event, with a
// level that matches the journal's priorities. Programs hand a Log to the
// parts that report (the MQTT side, the collector, the service); tests hand
// them one that keeps the lines. write() may be called from any thread.
class Log
{
public:
    enum class Level { Error, Warning, Notice, Info };

    virtual ~Log() = default;
    virtual void write(Level level, const QString &text) const = 0;

    void error(const QString &text) const { write(Level::Error, text); }
    void warning(const QString &text) const { write(Level::Warning, text); }
    void notice(const QString &text) const { write(Level::Notice, text); }
    void info(const QString &text) const { write(Level::Info, text); }
};

// The programs' log: one line per report on standard error, each with its
// level. When standard error is the journal's stream (systemd sets
// JOURNAL_STREAM to its device and inode), every line starts with the
// priority prefix "<N>" that the journal reads and keeps, and the journal
// adds the time; elsewhere a line starts with the local time and the
// level's name. A line is handed to the system in one write, so lines from
// several threads never interleave.
class StderrLog final : public Log
{
public:
    // Looks once whether standard error goes to the journal.
    StderrLog();

    void write(Level level, const QString &text) const override;

private:
    bool m_journal = false;
};
