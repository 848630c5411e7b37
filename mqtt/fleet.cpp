#include "fleet.h"

#include <dirent.h>

namespace {

constexpr char kRoot[] = "sorvik7/";
constexpr QByteArrayView kDayFileSuffix = ".SVK";
constexpr qsizetype kDateDigits = 8;
constexpr char32_t kFirstPrintable = 0x20;
constexpr char32_t kDelete = 0x7f;
constexpr char32_t kLastC1Control = 0x9f;

bool isControl(char32_t c)
{
    return c < kFirstPrintable || (c >= kDelete && c <= kLastC1Control);
}

QByteArray topic(const QString &station, const char *leaf)
{
    return kRoot + station.toUtf8() + '/' + leaf;
}

} // namespace

QString fleet::stationNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("must not be empty");
    if (name.toUtf8().size() > kMaxStationBytes)
        return QStringLiteral("is longer than %1 bytes").arg(kMaxStationBytes);
    for (const char32_t c : name.toUcs4()) {
        if (isControl(c))
            return QStringLiteral("holds a control character");
        if (c == u'/' || c == u'+' || c == u'#' || c == u'\\')
            return QStringLiteral("must not hold /, +, # or \\");
    }
    if (name.startsWith(u'.') || name.contains(QStringLiteral("..")))
        return QStringLiteral("must not start with a dot or hold \"..\"");
    return {};
}

QDate fleet::dayFileDate(QByteArrayView name)
{
    if (name.size() != kDateDigits + kDayFileSuffix.size() || !name.endsWith(kDayFileSuffix))
        return {};
    for (qsizetype i = 0; i < kDateDigits; ++i)
        if (name[i] < '0' || name[i] > '9')
            return {};
    return QDate::fromString(QString::fromLatin1(name.first(kDateDigits)), QStringLiteral("yyyyMMdd"));
}

bool fleet::isDayFileName(QByteArrayView name)
{
    return dayFileDate(name).isValid();
}

QByteArray fleet::recordTopic(const QString &station)
{
    return topic(station, "record");
}

QByteArray fleet::statusTopic(const QString &station)
{
    return topic(station, "status");
}

QByteArray fleet::resendTopic(const QString &station)
{
    return topic(station, "resend");
}

QByteArray fleet::statsTopic(const QString &station)
{
    return topic(station, "stats");
}

QByteArray fleet::liveTopic(const QString &station)
{
    return topic(station, "live");
}

std::optional<QByteArray> fleet::stationOfTopic(QByteArrayView topic, QByteArrayView leaf)
{
    const QByteArrayView root(kRoot);
    if (!topic.startsWith(root) || !topic.endsWith(leaf) || topic.size() < root.size() + leaf.size() + 1)
        return std::nullopt;
    const qsizetype end = topic.size() - leaf.size() - 1;
    if (topic[end] != '/')
        return std::nullopt;
    return topic.sliced(root.size(), end - root.size()).toByteArray();
}

QList<QByteArray> fleet::folderEntries(const QByteArray &folder)
{
    QList<QByteArray> names;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    return names;
}
