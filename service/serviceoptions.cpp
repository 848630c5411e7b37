#include "serviceoptions.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

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

namespace {

bool refuse(QString *error, const QString &key, const QString &value, const QString &from, const QString &why)
{
    *error = QStringLiteral("%1 = '%2' (from %3): %4").arg(key, value, from, why);
    return false;
}

} // namespace

bool readConfigFile(const ConfigFileRequest &request, QString *path, QHash<QString, QString> *values,
                    QString *error)
{
    QString source = request.explicitPath;
    if (!source.isEmpty()) {
        const QFileInfo info(source);
        if (!info.isFile() || !info.isReadable())
            return refuse(error, request.configKey, source, request.explicitFrom,
                          info.exists() ? QStringLiteral("not a readable file") : QStringLiteral("no such file"));
    } else {
        const QString user = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) + u'/' + request.configName;
        for (const QString &candidate : {user, QStringLiteral("/etc/") + request.configName}) {
            if (QFileInfo(candidate).isFile()) {
                source = candidate;
                break;
            }
        }
        if (source.isEmpty())
            return true;
    }
    *path = QFileInfo(source).absoluteFilePath();

    QSettings file(source, QSettings::IniFormat);
    if (file.status() != QSettings::NoError)
        return refuse(error, request.configKey, source,
                      request.explicitPath.isEmpty() ? QStringLiteral("the default places") : request.explicitFrom,
                      QStringLiteral("not a valid INI file"));
    for (const QString &key : file.allKeys()) {
        const QVariant v = file.value(key);
        // An unquoted value with commas reads as a list; it was one text.
        const QString value = v.typeId() == QMetaType::QStringList ? v.toStringList().join(u',') : v.toString();
        if (!request.keys.contains(key))
            return refuse(error, key, value, *path,
                          QStringLiteral("unknown key; the keys are %1").arg(request.keys.join(QStringLiteral(", "))));
        values->insert(key, value);
    }
    return true;
}
