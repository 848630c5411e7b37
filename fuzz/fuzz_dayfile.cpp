// Fuzzes the day-file reader with any bytes as a day file, read in two
// goes as a file the logger is still writing: every line is accounted for
// (a record, the header or a skipped line), records carry a time of day, a
// day next to the file's, finite numbers and at most 64 samples.
#include "datafile/dayfilereader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_dayfile: %s\n", what);
    std::abort();
}

QTemporaryDir *dataDir = nullptr;

void check(const DayRecord &r, const QDate &fileDate)
{
    if (r.secondOfDay < 0 || r.secondOfDay >= DayRecord::kSecondsPerDay)
        fail("a time of day outside the day");
    if (r.date < fileDate.addDays(-1))
        fail("a record before the day the file is for, or the day before it");
    if (!std::isfinite(r.speed) || r.samples.size() > size_t(DayFileReader::kMaxSamples))
        fail("a speed that is not a number, or too many samples");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    dataDir = new QTemporaryDir(base + QStringLiteral("/fuzz_dayfile-XXXXXX"));
    if (!dataDir->isValid())
        fail("no temporary folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = dataDir->filePath(QStringLiteral("20030521.SVK"));
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype half = bytes.size() / 2;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes.left(half)) != half)
        fail("cannot write the file");
    file.flush();

    DayFileReader reader(path);
    if (!reader.open())
        fail("a file named by its date does not open");
    DayRecord record;
    while (reader.next(record))
        check(record, reader.date());
    file.write(bytes.mid(half));
    file.close();
    while (reader.next(record))
        check(record, reader.date());
    reader.finish();

    const DayFileReader::Counts &c = reader.counts();
    if (reader.lines() != c.records + c.skippedLines() + (reader.hasHeader() ? 1 : 0))
        fail("a line that is neither a record, the header nor counted as skipped");
    if (bytes.count('\n') + 1 < reader.lines())
        fail("more lines than the file has");
    return 0;
}
