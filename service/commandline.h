#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

// Parses a service's command line: --help and --version answer and exit,
// anything the parser refuses or an argument that is not an option gives
// one line for the operator in *error (and false).
bool parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *error);
