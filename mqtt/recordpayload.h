#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// One line of a day file as it travels from a station to the collectors:
// a short ASCII prefix line, then the line's bytes exactly as the file holds
// them, CR LF included (the STX of the second column too):
//
//   SVK1 <file> <offset>\n<line>
//   SVK1 <file> 0 <previous file> <its length>\n<header line>
//   SVK1 <file> 0 [<previous file> <its length>] new\n<header line>
//
// <file> is the day file's name (yyyymmdd.SVK), <offset> where the line
// starts in it, in decimal without leading zeros. The header travels the
// same way at offset 0; its prefix also names the station's day file before
// it and that file's final length (when there is one), so a collector can
// tell whether it has the whole of that file (its whole lines: a torn tail
// never travels). "new" says that the station's file under that name is
// another than before (the old one moved away or deleted): a collector
// that holds a copy with another first line replaces it. Appending the
// lines of a file in offset order rebuilds it byte for byte.
struct RecordPayload
{
    // A line longer than this is not one of ours.
    static constexpr qsizetype kMaxLine = 16 * 1024;
    // The longest payload: the prefix and the longest line.
    static constexpr qsizetype kMaxPayload = 128 + kMaxLine;

    QByteArray file;
    qint64 offset = 0;
    QByteArray line;
    QByteArray previousFile; // only with offset 0; empty when there is none
    qint64 previousSize = 0;
    bool fresh = false; // only with offset 0: "new"

    qint64 end() const { return offset + line.size(); }

    QByteArray encode() const;
    // Nothing, with `why` set, for a payload that is not one of these. What
    // it accepts, encode() gives back byte for byte.
    static std::optional<RecordPayload> decode(QByteArrayView payload, QString *why);
};

// A collector's request on sorvik7/<station>/resend: publish again, in
// order, from this offset of this day file on. "SVK1 <file> <offset>".
struct ResendRequest
{
    QByteArray file;
    qint64 offset = 0;

    QByteArray encode() const;
    static std::optional<ResendRequest> decode(QByteArrayView payload, QString *why);
};
