#include "commandline.h"

bool parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *error)
{
    if (!parser.parse(arguments)) {
        *error = parser.errorText() + QStringLiteral(" (try --help)");
        return false;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1' (try --help)").arg(parser.positionalArguments().first());
        return false;
    }
    return true;
}
