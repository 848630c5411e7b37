#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct stat;

// File names as the file system spells them. A name need not be valid
// UTF-8 (a folder made on a Latin-1 system is "caf\xe9"); Qt's own file name
// decoding drops such names from listings and cannot give their bytes back.
// Here each byte that is not part of valid UTF-8 is kept in the string as a
// lone surrogate U+DC80..U+DCFF and turned back into the same byte, so every
// name goes from the file system to a string and back unchanged.
namespace nativepath {

QString decode(const QByteArray &bytes);
QByteArray encode(const QString &path);
// For showing: the kept bytes as the Latin-1 characters they most likely are.
QString display(const QString &path);

// The file system's own calls on such names, for what Qt's file classes
// would look up under other bytes.
// stat() (links followed); false with errno set.
bool stat(const QString &path, struct stat &st);
// The names in `folder` (its bytes) but . and .., unsorted; none when it
// cannot be read.
QList<QByteArray> entryBytes(const QByteArray &folder);
// The same, decoded.
QStringList entries(const QString &folder);
// `path` from the root, against the working folder when relative; cleaned.
QString absolute(const QString &path);
// The path with every link resolved; empty when it does not exist.
QString canonical(const QString &path);

} // namespace nativepath
