#pragma once

// A program's command line and settings file, both from one table of
// options. The table also makes --help (a usage line, a description, the
// options; the manual pages are made from it) and --version.
//
// Values keep their bytes: a path that is not valid UTF-8, on the command
// line or in the config file, reaches the program as nativepath spells it
// and goes back to the file system unchanged.

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One line of a program's table.
struct Option
{
    enum Where { CommandLine = 1, ConfigFile = 2, Both = CommandLine | ConfigFile };

    QString name; // --name on the command line, name = ... in the config file
    QString valueName; // empty: a switch on the command line (true/false in the file)
    QString help;
    Where where = CommandLine;
    char shortName = 0; // -x, or none
};

// A value and where it came from: "--samples", the config file's path, or
// "the default".
struct Setting
{
    QString value;
    QString from;
};

class ProgramOptions
{
public:
    enum class Outcome { Run, Help, Version, Error };

    struct About
    {
        QString program; // sorvik7-logger
        QString usage; // after the name: "[OPTION]..." or "[OPTION]... [PATH]..."
        QString description; // paragraphs, separated by empty lines
        QString configName; // sorvik7/logger.conf; empty: the program reads no config file
        QString notes; // after the options: exit status, files
        bool positional = false; // takes arguments that are not options
    };

    ProgramOptions(About about, QList<Option> options);
    void add(const QList<Option> &options);

    // The system's argv as text, every byte kept (see nativepath).
    static QStringList arguments(int argc, char **argv);

    // Reads the command line (arguments[0] is the program). --help or
    // --version anywhere wins over everything else. Error leaves one line in
    // error().
    Outcome parse(const QStringList &arguments);
    // Prints what Help, Version and Error say (stdout, stdout, stderr) and
    // gives the exit status for it; Run gives 0 and prints nothing.
    int answer(Outcome outcome) const;

    // Reads the config file: the one --config names, else the user's config
    // folder's configName, else /etc/configName, else none (which is fine).
    // False with error() set for a file that cannot be read, an unknown or
    // doubled key, or a line that is not `key = value`.
    bool readConfig();

    // The option's value: the command line's, else (fromFile) the file's.
    // A switch set on the command line reads "true".
    std::optional<Setting> setting(const QString &name, bool fromFile = true) const;
    bool isSet(const QString &name) const { return m_given.contains(name); }
    const QStringList &positional() const { return m_positional; }
    QString configFile() const { return m_configFile; }
    QString systemConfigPath() const;

    // The folder the option `key` names (else `fallback`), made when
    // missing, absolute in *dir; false with error() naming the key when it
    // cannot be made or written.
    bool takeFolder(const QString &key, const QString &fallback, QString *dir);

    // Sets error() to "key = 'value' (from where): why" and gives false.
    bool fail(const QString &key, const Setting &setting, const QString &why);
    void setError(const QString &error) { m_error = error; }
    QString error() const { return m_error; }

    QString helpText() const;
    QString versionText() const;
    // The release, the same for every program.
    static QString version();

private:
    const Option *find(const QString &name) const;
    const Option *findShort(char c) const;
    bool take(const Option &option, const QString &value);

    About m_about;
    QList<Option> m_options;
    QHash<QString, QString> m_given;
    QHash<QString, QString> m_file;
    QStringList m_positional;
    QString m_configFile;
    QString m_error;
};

// The settings file's text as `key = value` lines: `#` or `;` at the start
// of a line (after blanks) makes it a comment, `[section]` lines are
// skipped, a value may be quoted "...". Gives the keys in *values; false
// with one line in *error naming the line for anything else, and naming the
// key when it comes twice.
bool parseConfigText(const QByteArray &text, const QString &path, QHash<QString, QString> *values, QString *error);

// Makes `path` and its parents, as the bytes nativepath gives; false with
// errno set.
bool makePath(const QString &path);
