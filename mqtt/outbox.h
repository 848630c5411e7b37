#pragma once

#include "mqtt/sentcursor.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <set>

// The day files of a data folder, read as the outbox of a station: the
// lines the logger has written and flushed, file by file in date order.
//
// The file the logger reported last is being written: of it only what the
// report said was flushed counts (a line being written meanwhile is never
// read half done). Every other day file is complete and is read to its end
// but for an unfinished last line (a power cut): the lines put together give
// the file's whole lines byte for byte, and a torn tail never travels (a
// collector never writes a line without its end). A run of more than
// RecordPayload::kMaxLine bytes without a line end goes in pieces of that
// size. Before the first report the newest file found at the start counts
// as the one being written, at the length it had then.
class Outbox
{
public:
    struct Position
    {
        QByteArray file; // empty: before the first file
        qint64 offset = 0;
        friend bool operator<(const Position &a, const Position &b)
        {
            return a.file != b.file ? a.file < b.file : a.offset < b.offset;
        }
        friend bool operator==(const Position &a, const Position &b) = default;
    };

    struct Line
    {
        Position at;
        QByteArray bytes; // as in the file, CR LF included
        QByteArray previousFile; // at offset 0: the day file before, if any ...
        qint64 previousSize = 0; // ... and its length in whole lines
        SentCursor::FileId id; // the file it was read from
    };

    explicit Outbox(const QString &folder);
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    // Looks which day files are there; done once, at the start.
    void scan();
    // The logger has written `file` and flushed it up to `size`. True when
    // `file` is not the file it was under that name (moved or deleted and
    // made anew, or cut shorter): what was read of it counts no more.
    bool flushed(const QByteArray &file, qint64 size);
    // The identity of the file under that name now.
    std::optional<SentCursor::FileId> identity(const QByteArray &file) const;
    // Bytes at the end of a complete file that are left out for having no
    // line end (0 for the file being written); each file is told once.
    qint64 takeTornTail(QByteArray *file);

    // The line at `pos`; at the end of a complete file `pos` moves on to the
    // next file first. Nothing when nothing more has been flushed.
    std::optional<Line> next(Position &pos);

    // Whether a line starts at `pos` in a known file (0, or just after CR LF),
    // within what has been flushed.
    bool isLineStart(const Position &pos);

    // The file being written and how many lines it holds (the header counted).
    QByteArray openFile() const { return m_openFile; }
    qint64 openFileLines() const { return m_openLines; }
    QByteArray newestFile() const { return m_files.empty() ? QByteArray() : *m_files.rbegin(); }
    bool knows(const QByteArray &file) const { return m_files.count(file) > 0; }

private:
    QByteArray path(const QByteArray &file) const;
    bool openForReading(const QByteArray &file);
    // How far `file` may be read; `offset` is where reading stands.
    qint64 limitOf(const QByteArray &file, qint64 offset);
    // Makes the buffer hold [offset, min(limit, offset + chunk)).
    bool fill(qint64 offset, qint64 limit);
    std::optional<QByteArray> lineAt(qint64 offset, qint64 limit, bool complete);
    void countLines(qint64 upTo);
    qint64 sizeOf(const QByteArray &file) const;
    // The length of a complete file without its torn tail.
    qint64 wholeLength(const QByteArray &file);

    QByteArray m_folder;
    std::set<QByteArray> m_files;
    QByteArray m_openFile;
    qint64 m_openSize = 0;
    qint64 m_openLines = 0;
    qint64 m_countedTo = 0;
    std::optional<SentCursor::FileId> m_openId;
    std::set<QByteArray> m_tornTold;
    QByteArray m_tornFile;
    qint64 m_tornBytes = 0;
    bool m_atTornTail = false;

    QByteArray m_readFile; // the file m_fd has open
    int m_fd = -1;
    qint64 m_readSize = 0; // its length when opened
    SentCursor::FileId m_readId;
    QByteArray m_buffer;
    qint64 m_bufferStart = 0;
};
