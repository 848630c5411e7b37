#pragma once

// What the reader, export and viewer tests share: day files written by the
// logger itself, and records as one comparable line of text each.

#include "tests/support/testsupport.h"

#include "datafile/dayfilereader.h"
#include "datafile/dayfiles.h"

#include <QFile>
#include <QStringList>

#include <cmath>

// A record as "2003-05-21 14:03:07|Q|229|2.5|M|00|1;2;3".
inline QString rowOf(const QDate &date, const QByteArray &time, const QByteArray &node, double direction, double speed,
                     const QByteArray &units, const QByteArray &status, const QList<double> &samples)
{
    QStringList s;
    for (double v : samples)
        s << QString::number(v);
    return QStringList{date.toString(Qt::ISODate) + ' ' + time,
                       node,
                       std::isnan(direction) ? "" : QString::number(direction),
                       QString::number(speed),
                       units,
                       status,
                       s.join(';')}
        .join('|');
}

inline QString rowOf(const DayRecord &r)
{
    return rowOf(r.date, r.timeText.toByteArray(), r.node.toByteArray(), r.direction, r.speed, r.units.toByteArray(),
                 r.status.toByteArray(), QList<double>(r.samples.begin(), r.samples.end()));
}

// The same from a record line as the logger writes it, split at its commas.
inline QString rowOfLine(const QByteArray &line, const QDate &date)
{
    const QList<QByteArray> c = line.split(',');
    QList<double> samples;
    for (qsizetype i = 7; i < c.size(); ++i)
        samples << c.at(i).toDouble();
    return rowOf(date, c.at(0), c.at(1).mid(1), c.at(2).toDouble(), c.at(3).toDouble(), c.at(4), c.at(5), samples);
}

struct ReadBack
{
    QStringList rows;
    DayFileReader::Counts counts;
    qint64 lines = 0;
    bool opened = true;
};

// Every record of the files, in order, each file read to its end.
inline ReadBack readBack(const QStringList &paths)
{
    ReadBack back;
    for (const QString &path : paths) {
        DayFileReader reader(path);
        back.opened = back.opened && reader.open();
        DayRecord r;
        while (reader.next(r))
            back.rows << rowOf(r);
        reader.finish();
        back.counts += reader.counts();
        back.lines += reader.lines();
    }
    return back;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    QFile f(path);
    return f.open(mode) && f.write(bytes) == bytes.size();
}

// The logger receives `total` good messages with debug mode switched as
// `debugAt(i)` says for message i, and writes into its folder. Returns the
// record lines it must have written. A record is written when the next
// message's STX is read, in the mode set at that moment, so the expected
// record of message i takes the mode of message i + 1. With `firstMs` the
// messages arrive `stepMs` apart from then on (epoch milliseconds), each
// written `delayMs` after its arrival; else at the test clock's moment.
template<typename DebugAt>
QByteArray logMessages(Logger &log, int n, int total, DebugAt debugAt, qint64 firstMs = 0, qint64 stepMs = 0,
                       qint64 delayMs = 0)
{
    Traffic traffic{n, false};
    QByteArray expected;
    for (int i = 0; i <= total; ++i) {
        if (firstMs != 0) {
            log.port.stampMs = firstMs + i * stepMs;
            log.clock.set(QDateTime::fromMSecsSinceEpoch(log.port.stampMs + delayMs));
        }
        log.def.Debug_Flag = debugAt(i);
        if (i == total) {
            log.feed(QByteArray(1, sorvik7::STX));
            break;
        }
        traffic.debug = debugAt(i + 1);
        log.feed(traffic.messages(1, expected));
    }
    return expected;
}
