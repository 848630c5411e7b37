#include "dayfilename.h"

namespace {

constexpr qsizetype kDigits = 8;
constexpr QByteArrayView kSuffix = ".SVK";
constexpr int kYear = 10000;
constexpr int kMonth = 100;

} // namespace

QString dayfilename::make(const QDate &date)
{
    return QString::asprintf("%04d%02d%02d.SVK", date.year(), date.month(), date.day());
}

QDate dayfilename::parse(QByteArrayView name)
{
    if (name.size() != kLength || QByteArrayView(name.sliced(kDigits)).compare(kSuffix, Qt::CaseInsensitive) != 0)
        return {};
    int ymd = 0;
    for (qsizetype i = 0; i < kDigits; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return {};
        ymd = ymd * 10 + (name[i] - '0');
    }
    return QDate(ymd / kYear, ymd / kMonth % kMonth, ymd % kMonth);
}

QDate dayfilename::parse(const QString &name)
{
    // Any character beyond Latin-1 makes it no day file's name.
    for (const QChar c : name)
        if (c.unicode() > 0x7f)
            return {};
    return parse(QByteArrayView(name.toLatin1()));
}
