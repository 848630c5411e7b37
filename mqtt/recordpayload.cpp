#include "recordpayload.h"

#include "datafile/dayfilename.h"
#include "fleet.h"

#include <QList>

namespace {

constexpr QByteArrayView kMagic = "SVK1";
constexpr qsizetype kMaxPrefix = 64;
constexpr qsizetype kMaxOffsetDigits = 15; // far beyond any day file
constexpr qsizetype kPlainFields = 3; // magic, file, offset
constexpr qsizetype kHeaderFields = 5; // ... previous file, its length
constexpr QByteArrayView kFresh = "new";

// Decimal digits without a leading zero (but "0").
std::optional<qint64> parseOffset(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > kMaxOffsetDigits || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

template<typename T>
std::optional<T> refuse(QString *why, const QString &text)
{
    *why = text;
    return std::nullopt;
}

// "SVK1 <file> <offset>" and what follows, split at single spaces.
std::optional<QList<QByteArrayView>> splitPrefix(QByteArrayView prefix, QString *why)
{
    QList<QByteArrayView> fields;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= prefix.size(); ++i) {
        if (i == prefix.size() || prefix[i] == ' ') {
            fields << prefix.sliced(from, i - from);
            from = i + 1;
        }
    }
    if (fields.size() < kPlainFields || fields[0] != kMagic)
        return refuse<QList<QByteArrayView>>(why, QStringLiteral("does not start with \"SVK1 <file> <offset>\""));
    if (!dayfilename::isValid(fields[1]))
        return refuse<QList<QByteArrayView>>(why, QStringLiteral("names no day file yyyymmdd.SVK"));
    if (!parseOffset(fields[2]))
        return refuse<QList<QByteArrayView>>(why, QStringLiteral("has no offset"));
    return fields;
}

} // namespace

QByteArray RecordPayload::encode() const
{
    QByteArray out = kMagic.toByteArray() + ' ' + file + ' ' + QByteArray::number(offset);
    if (!previousFile.isEmpty())
        out += ' ' + previousFile + ' ' + QByteArray::number(previousSize);
    if (fresh)
        out += ' ' + kFresh.toByteArray();
    out += '\n';
    out += line;
    return out;
}

std::optional<RecordPayload> RecordPayload::decode(QByteArrayView payload, QString *why)
{
    const qsizetype newline = payload.first(std::min(payload.size(), kMaxPrefix + 1)).indexOf('\n');
    if (newline < 0)
        return refuse<RecordPayload>(why, QStringLiteral("has no prefix line"));
    auto fields = splitPrefix(payload.first(newline), why);
    if (!fields)
        return std::nullopt;
    RecordPayload record;
    if (fields->size() > kPlainFields && fields->back() == kFresh) {
        if ((*fields)[2] != "0")
            return refuse<RecordPayload>(why, QStringLiteral("says \"new\" at an offset other than 0"));
        record.fresh = true;
        fields->removeLast();
    }
    record.file = (*fields)[1].toByteArray();
    record.offset = *parseOffset((*fields)[2]);
    if (fields->size() == kHeaderFields) {
        const auto size = parseOffset((*fields)[4]);
        if (record.offset != 0 || !dayfilename::isValid((*fields)[3]) || (*fields)[3] >= (*fields)[1] || !size)
            return refuse<RecordPayload>(why, QStringLiteral("names no earlier day file and its length"));
        record.previousFile = (*fields)[3].toByteArray();
        record.previousSize = *size;
    } else if (fields->size() != kPlainFields) {
        return refuse<RecordPayload>(why, QStringLiteral("has a prefix of %1 fields").arg(fields->size()));
    }
    // Measured before any copy: a flood of long payloads costs nothing here.
    const qsizetype lineSize = payload.size() - newline - 1;
    if (lineSize <= 0 || lineSize > kMaxLine)
        return refuse<RecordPayload>(why, QStringLiteral("carries a line of %1 bytes").arg(lineSize));
    record.line = payload.sliced(newline + 1).toByteArray();
    return record;
}

QByteArray ResendRequest::encode() const
{
    return kMagic.toByteArray() + ' ' + file + ' ' + QByteArray::number(offset);
}

std::optional<ResendRequest> ResendRequest::decode(QByteArrayView payload, QString *why)
{
    if (payload.size() > kMaxPrefix)
        return refuse<ResendRequest>(why, QStringLiteral("is too long"));
    const auto fields = splitPrefix(payload, why);
    if (!fields)
        return std::nullopt;
    if (fields->size() != kPlainFields)
        return refuse<ResendRequest>(why, QStringLiteral("has more than a file and an offset"));
    return ResendRequest{(*fields)[1].toByteArray(), *parseOffset((*fields)[2])};
}
