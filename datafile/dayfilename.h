#pragma once

#include <QByteArrayView>
#include <QDate>
#include <QString>

// The name of a day file, in one place for the writer, the readers, the
// publisher and the collector: eight digits of the date and ".SVK",
// "20030521.SVK". The logger makes it with the suffix in capitals; every
// reader takes the suffix in any case ("20030521.svk" from a copy made on
// another system), and the digits must be a date that exists.
namespace dayfilename {

constexpr qsizetype kLength = 12; // "yyyymmdd.SVK"

QString make(const QDate &date);

// The date `name` stands for; invalid for a name that is no day file's.
QDate parse(QByteArrayView name);
QDate parse(const QString &name);

inline bool isValid(QByteArrayView name)
{
    return parse(name).isValid();
}

} // namespace dayfilename
