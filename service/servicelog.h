#pragma once

#include <QString>

// The service's log: one line per report on standard error, each with its
// level. When standard error is the journal's stream (systemd sets
// JOURNAL_STREAM to its device and inode), every line starts with the
// priority prefix "<N>" that the journal reads and keeps, and the journal
// adds the time; elsewhere a line starts with the local time and the
// level's name. A line is handed to the system in one write, so lines from
// the service never interleave.
class ServiceLog
{
public:
    enum class Level { Error, Warning, Notice, Info };

    // Looks once whether standard error goes to the journal.
    ServiceLog();

    void write(Level level, const QString &text) const;
    void error(const QString &text) const { write(Level::Error, text); }
    void warning(const QString &text) const { write(Level::Warning, text); }
    void notice(const QString &text) const { write(Level::Notice, text); }
    void info(const QString &text) const { write(Level::Info, text); }

    bool toJournal() const { return m_journal; }

private:
    bool m_journal = false;
};
