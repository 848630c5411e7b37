#include "fleet.h"

namespace {

constexpr char kRoot[] = "sorvik7/";
bool isEdgeCharacter(uint c)
{
    const QChar::Category category = QChar::category(char32_t(c));
    return c == '_' || category == QChar::Number_DecimalDigit
        || (category >= QChar::Letter_Uppercase && category <= QChar::Letter_Other);
}

bool isNameCharacter(uint c)
{
    return isEdgeCharacter(c) || c == '.' || c == '-';
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
    const QList<uint> chars = name.toUcs4();
    for (const uint c : chars)
        if (!isNameCharacter(c))
            return QStringLiteral("may hold only letters, digits, _, . and -");
    if (!isEdgeCharacter(chars.front()) || !isEdgeCharacter(chars.back()))
        return QStringLiteral("must start and end with a letter, a digit or _");
    if (name.contains(QStringLiteral("..")))
        return QStringLiteral("must not hold \"..\"");
    return {};
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
