#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>

// How far the broker has taken each day file: a hidden file beside it,
// .yyyymmdd.SVK.sent, holding that offset in decimal, then the file's
// identity (device and inode, decimal, each after a space) and a line end.
// The identity ties the cursor to one file: a new file under the same name
// (today's file moved away, the logger starting another) is not where the
// cursor points. A cursor written before identities were kept has none and
// is taken for the file of that name. Every
// line of the day file before the offset has been acknowledged (the lines
// after it may have been too: the cursor is written once a second, not at
// every acknowledgement). It is replaced whole: written to a temporary
// file, flushed to the device, renamed over the old one and the folder
// flushed, so after a power cut it holds the old offset or the new one.
namespace SentCursor {

struct FileId
{
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const FileId &, const FileId &) = default;
};

struct Cursor
{
    qint64 offset = 0;
    std::optional<FileId> id; // none in a cursor of an older version
};

QByteArray fileName(const QByteArray &dayFile);

// The identity of the file at `path` (as the file system spells it), not
// following a symbolic link; nothing when there is no regular file there.
std::optional<FileId> identify(const QByteArray &path);

// The day files that have a cursor in `folder`, with their cursors.
// Unreadable or damaged cursors are left out.
std::map<QByteArray, Cursor> readAll(const QString &folder);

// False with `error` set when the cursor could not be written.
bool write(const QString &folder, const QByteArray &dayFile, const Cursor &cursor, QString *error);

} // namespace SentCursor
