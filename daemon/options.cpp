#include "daemon/options.h"

#include "common/nativepath.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef SORVIK7_VERSION
#error "SORVIK7_VERSION must be defined by the build"
#endif

namespace {

const QString kHelp = QStringLiteral("help");
const QString kVersion = QStringLiteral("version");
const QString kConfig = QStringLiteral("config");
constexpr int kHelpColumn = 26; // where an option's text starts
constexpr int kHelpWidth = 79; // help2man and a terminal read 80 columns

// Words of `text` laid out from `column` to kHelpWidth; `first` already holds
// what goes before the text on the first line.
QString wrap(QString first, const QString &text, int column)
{
    QString out = first;
    if (out.size() > column) {
        while (out.endsWith(u' '))
            out.chop(1);
        out += u'\n';
        out += QString(column, u' ');
    } else {
        out += QString(column - out.size(), u' ');
    }
    int lineLength = column;
    bool lineStart = true;
    for (const QString &word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!lineStart && lineLength + 1 + word.size() > kHelpWidth) {
            out += u'\n' + QString(column, u' ');
            lineLength = column;
            lineStart = true;
        }
        if (!lineStart) {
            out += u' ';
            ++lineLength;
        }
        out += word;
        lineLength += int(word.size());
        lineStart = false;
    }
    return out + u'\n';
}

QString paragraphs(const QString &text)
{
    QString out;
    for (const QString &paragraph : text.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts))
        out += wrap(QString(), QString(paragraph).replace(u'\n', u' '), 0) + u'\n';
    return out;
}

bool isReadableFile(const QString &path)
{
    struct stat st
    { };
    const QByteArray native = nativepath::encode(path);
    return ::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode) && ::access(native.constData(), R_OK) == 0;
}

} // namespace

ProgramOptions::ProgramOptions(About about, QList<Option> options)
    : m_about(std::move(about))
{
    add(options);
    if (!m_about.configName.isEmpty())
        add({{kConfig, QStringLiteral("FILE"), QStringLiteral("Config file to read."), Option::CommandLine}});
    add({{kHelp, {}, QStringLiteral("Show this help and exit."), Option::CommandLine, 'h'},
         {kVersion, {}, QStringLiteral("Show the version and exit."), Option::CommandLine}});
}

void ProgramOptions::add(const QList<Option> &options)
{
    // --help and --version stay last in the help.
    qsizetype at = m_options.size();
    while (at > 0 && (m_options.at(at - 1).name == kHelp || m_options.at(at - 1).name == kVersion))
        --at;
    for (const Option &option : options)
        m_options.insert(at++, option);
}

QStringList ProgramOptions::arguments(int argc, char **argv)
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << nativepath::decode(QByteArray(argv[i]));
    return list;
}

const Option *ProgramOptions::find(const QString &name) const
{
    for (const Option &option : m_options)
        if (option.name == name)
            return &option;
    return nullptr;
}

const Option *ProgramOptions::findShort(char c) const
{
    for (const Option &option : m_options)
        if (option.shortName != 0 && option.shortName == c)
            return &option;
    return nullptr;
}

bool ProgramOptions::take(const Option &option, const QString &value)
{
    if (!(option.where & Option::CommandLine)) {
        m_error = QStringLiteral("%1 (from --%1): give it in the config file only (try --help)").arg(option.name);
        return false;
    }
    m_given.insert(option.name, value);
    return true;
}

ProgramOptions::Outcome ProgramOptions::parse(const QStringList &arguments)
{
    m_given.clear();
    m_positional.clear();
    m_error.clear();
    for (const QString &arg : arguments.mid(1)) {
        if (arg == u"--")
            break;
        if (arg == u"--help" || arg == u"-h")
            return Outcome::Help;
        if (arg == u"--version")
            return Outcome::Version;
    }
    const auto missing = [this](const QString &shown) {
        m_error = QStringLiteral("%1 needs a value (try --help)").arg(shown);
        return Outcome::Error;
    };
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == u"--") {
            m_positional += arguments.mid(i + 1);
            break;
        }
        const Option *option = nullptr;
        std::optional<QString> inlineValue;
        QString shown = arg;
        if (arg.startsWith(QStringLiteral("--"))) {
            const qsizetype eq = arg.indexOf(u'=');
            const QString name = arg.mid(2, eq < 0 ? -1 : eq - 2);
            if (eq >= 0)
                inlineValue = arg.mid(eq + 1);
            shown = QStringLiteral("--") + name;
            option = find(name);
        } else if (arg.size() > 1 && arg.startsWith(u'-') && arg.at(1).unicode() < 0x80) {
            option = findShort(char(arg.at(1).unicode()));
            shown = arg.left(2);
            if (arg.size() > 2)
                inlineValue = arg.mid(2);
        } else {
            m_positional << arg;
            continue;
        }
        if (!option) {
            m_error = QStringLiteral("unknown option '%1' (try --help)").arg(shown);
            return Outcome::Error;
        }
        if (option->valueName.isEmpty()) {
            if (inlineValue) {
                m_error = QStringLiteral("%1 takes no value (try --help)").arg(shown);
                return Outcome::Error;
            }
            if (!take(*option, QStringLiteral("true")))
                return Outcome::Error;
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size())
                return missing(shown);
            inlineValue = arguments.at(++i);
        }
        if (!take(*option, *inlineValue))
            return Outcome::Error;
    }
    if (!m_about.positional && !m_positional.isEmpty()) {
        m_error =
            QStringLiteral("unexpected argument '%1' (try --help)").arg(nativepath::display(m_positional.first()));
        return Outcome::Error;
    }
    return Outcome::Run;
}

int ProgramOptions::answer(Outcome outcome) const
{
    switch (outcome) {
    case Outcome::Run:
        return 0;
    case Outcome::Help:
        std::fputs(helpText().toLocal8Bit().constData(), stdout);
        return 0;
    case Outcome::Version:
        std::fputs(versionText().toLocal8Bit().constData(), stdout);
        return 0;
    case Outcome::Error:
        break;
    }
    std::fprintf(stderr, "%s: %s\n", qPrintable(m_about.program), qPrintable(m_error));
    return 2;
}

QString ProgramOptions::systemConfigPath() const
{
    return QStringLiteral("/etc/") + m_about.configName;
}

bool ProgramOptions::readConfig()
{
    m_file.clear();
    m_configFile.clear();
    QString source;
    if (const auto given = setting(kConfig, false)) {
        if (!isReadableFile(given->value)) {
            const bool exists =
                QFile::exists(given->value) || ::access(nativepath::encode(given->value).constData(), F_OK) == 0;
            return fail(kConfig, *given,
                        exists ? QStringLiteral("not a readable file") : QStringLiteral("no such file"));
        }
        source = given->value;
    } else {
        const QString user =
            QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) + u'/' + m_about.configName;
        for (const QString &candidate : {user, systemConfigPath()}) {
            if (isReadableFile(candidate)) {
                source = candidate;
                break;
            }
        }
        if (source.isEmpty())
            return true;
    }
    m_configFile = nativepath::absolute(source);
    QFile file;
    const int fd = ::open(nativepath::encode(source).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return fail(kConfig, {source, QStringLiteral("--config")}, QStringLiteral("cannot be read"));
    }
    QHash<QString, QString> values;
    if (!parseConfigText(file.readAll(), nativepath::display(m_configFile), &values, &m_error))
        return false;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const Option *option = find(it.key());
        if (!option || !(option->where & Option::ConfigFile)) {
            QStringList keys;
            for (const Option &o : m_options)
                if (o.where & Option::ConfigFile)
                    keys << o.name;
            return fail(it.key(), {it.value(), m_configFile},
                        QStringLiteral("unknown key; the keys are %1").arg(keys.join(QStringLiteral(", "))));
        }
    }
    m_file = values;
    return true;
}

std::optional<Setting> ProgramOptions::setting(const QString &name, bool fromFile) const
{
    if (const auto it = m_given.constFind(name); it != m_given.cend())
        return Setting{*it, QStringLiteral("--") + name};
    if (fromFile)
        if (const auto it = m_file.constFind(name); it != m_file.cend())
            return Setting{*it, m_configFile};
    return std::nullopt;
}

bool ProgramOptions::fail(const QString &key, const Setting &setting, const QString &why)
{
    m_error = QStringLiteral("%1 = '%2' (from %3): %4")
                  .arg(key, nativepath::display(setting.value), nativepath::display(setting.from), why);
    return false;
}

QString ProgramOptions::version()
{
    return QStringLiteral(SORVIK7_VERSION);
}

QString ProgramOptions::versionText() const
{
    return QStringLiteral("%1 %2\n").arg(m_about.program, version());
}

QString ProgramOptions::helpText() const
{
    QString out =
        QStringLiteral("Usage: %1%2\n").arg(m_about.program, m_about.usage.isEmpty() ? QString() : u' ' + m_about.usage)
        + u'\n';
    out += paragraphs(m_about.description);
    const auto line = [](const Option &o, bool file) {
        QString head = QStringLiteral("  ");
        if (file) {
            head +=
                o.name + QStringLiteral(" = ") + (o.valueName.isEmpty() ? QStringLiteral("true|false") : o.valueName);
        } else {
            head += o.shortName ? QStringLiteral("-%1, ").arg(QChar(o.shortName)) : QString();
            head += QStringLiteral("--") + o.name + (o.valueName.isEmpty() ? QString() : u' ' + o.valueName);
        }
        return wrap(head + QStringLiteral("  "), o.help, kHelpColumn);
    };
    out += QStringLiteral("Options:\n");
    for (const Option &o : m_options)
        if (o.where & Option::CommandLine)
            out += line(o, false);
    if (!m_about.configName.isEmpty()) {
        QStringList fileOnly;
        for (const Option &o : m_options)
            if (o.where == Option::ConfigFile)
                fileOnly << QStringLiteral("%1 (%2)").arg(o.name,
                                                          o.help.chopped(o.help.endsWith(u'.') ? 1 : 0).toLower());
        out += QStringLiteral("\nConfig file:\n");
        out +=
            wrap(QString(),
                 QStringLiteral(
                     "Read from --config, else from the user's config folder (~/.config/%1), else from %2. One "
                     "key = value a line; a line starting with # or ; is a comment; a key given twice is an error. "
                     "The keys are the options' names, and an option overrides its key.")
                         .arg(m_about.configName, systemConfigPath())
                     + (fileOnly.isEmpty()
                            ? QString()
                            : QStringLiteral(" Keys only in the file: %1.").arg(fileOnly.join(QStringLiteral(", ")))),
                 0);
    }
    if (!m_about.notes.isEmpty())
        out += u'\n' + paragraphs(m_about.notes).chopped(1);
    return out;
}

bool ProgramOptions::takeFolder(const QString &key, const QString &fallback, QString *dir)
{
    const Setting folder = setting(key).value_or(Setting{fallback, QStringLiteral("the default")});
    if (folder.value.trimmed().isEmpty())
        return fail(key, folder, QStringLiteral("needs a folder"));
    errno = 0;
    if (!makePath(folder.value)) {
        const int error = errno;
        return fail(key, folder,
                    QStringLiteral("the folder cannot be made%1")
                        .arg(error ? QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)) : QString()));
    }
    const QString path = nativepath::absolute(folder.value);
    if (::access(nativepath::encode(path).constData(), W_OK) != 0)
        return fail(key, folder, QStringLiteral("the folder is not writable"));
    *dir = path;
    return true;
}

bool parseConfigText(const QByteArray &text, const QString &path, QHash<QString, QString> *values, QString *error)
{
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines.at(n).trimmed();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        if (line.startsWith('[') && line.endsWith(']'))
            continue;
        const qsizetype eq = line.indexOf('=');
        const QString where = QStringLiteral("%1, line %2").arg(path).arg(n + 1);
        if (eq <= 0) {
            *error =
                QStringLiteral("%1: '%2' is not key = value").arg(where, nativepath::display(nativepath::decode(line)));
            return false;
        }
        const QString key = QString::fromUtf8(line.left(eq).trimmed());
        QByteArray value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        if (values->contains(key)) {
            *error = QStringLiteral("%1: key %2 given twice").arg(where, key);
            return false;
        }
        values->insert(key, nativepath::decode(value));
    }
    return true;
}

bool makePath(const QString &path)
{
    const QByteArray native = nativepath::encode(nativepath::absolute(path));
    for (qsizetype i = 1; i <= native.size(); ++i) {
        if (i < native.size() && native.at(i) != '/')
            continue;
        const QByteArray part = native.left(i);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st
    { };
    if (::stat(native.constData(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}
