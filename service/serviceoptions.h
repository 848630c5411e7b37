#pragma once

// How a service takes its settings: the command line, then an INI file.

#include <QCommandLineParser>
#include <QHash>
#include <QString>
#include <QStringList>

// Parses a service's command line: --help and --version answer and exit,
// anything the parser refuses or an argument that is not an option gives
// one line for the operator in *error (and false).
bool parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *error);

// A service's settings file, INI: the one `explicitPath` names (the
// --config option, with where it came from), else the first of the user's
// config folder/`configName` and /etc/`configName` that exists (none: no
// file, and that is fine). Every key must be one of `keys`. Fills *path
// with the file read and *values with its keys; false with one line for the
// operator in *error, naming the key and the value, when the file cannot be
// read or holds a key that is not known.
struct ConfigFileRequest
{
    QString explicitPath;   // empty: look in the default places
    QString explicitFrom;   // where explicitPath came from, for the error line
    QString configName;     // e.g. sorvik7/logger.conf
    QString configKey;      // the option naming the file, for the error line
    QStringList keys;
};
bool readConfigFile(const ConfigFileRequest &request, QString *path, QHash<QString, QString> *values,
                    QString *error);
