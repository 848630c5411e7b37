#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>

// How far the broker has taken each day file: a hidden file beside it,
// .yyyymmdd.SVK.sent, holding that offset in decimal and a line end. Every
// line of the day file before the offset has been acknowledged (the lines
// after it may have been too: the cursor is written once a second, not at
// every acknowledgement). It is replaced whole: written to a temporary
// file, flushed to the device, renamed over the old one and the folder
// flushed, so after a power cut it holds the old offset or the new one.
namespace SentCursor {

QByteArray fileName(const QByteArray &dayFile);

// The day files that have a cursor in `folder`, with their offsets.
// Unreadable or damaged cursors are left out.
std::map<QByteArray, qint64> readAll(const QString &folder);

// False with `error` set when the cursor could not be written.
bool write(const QString &folder, const QByteArray &dayFile, qint64 offset, QString *error);

} // namespace SentCursor
