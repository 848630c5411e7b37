// Fuzzes the whole acquisition step machine with an arbitrary byte stream.
// Input: byte 0 picks N (3..64); byte 1 the debug mode (bit 0), a missing
// data folder (bit 1) and a STOP/START in mid-stream (bit 2); byte 2 where
// that STOP falls; the rest is what the line delivers.
// Checked after every step: the message buffer stays bounded and the slot
// stays inside the window. Checked at the end: the data files hold headers
// and whole record lines only, as many as the cycle says it wrote.
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_cycle: %s\n", what);
    std::abort();
}

bool isTime(const QByteArray &s)
{
    if (s.size() != 8 || s[2] != ':' || s[5] != ':')
        return false;
    for (int i : {0, 1, 3, 4, 6, 7}) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    return true;
}

QTemporaryDir *dataDir = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // Memory-backed where there is such a folder: the cycle opens and
    // closes the file twice per record.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                   : QDir::tempPath();
    dataDir = new QTemporaryDir(base + QStringLiteral("/fuzz_cycle-XXXXXX"));
    if (!dataDir->isValid())
        fail("no temporary folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const int n = 3 + data[0] % 62;
    const bool debug = data[1] & 1;
    const bool missingFolder = data[1] & 2;
    const bool stopStart = data[1] & 4;
    const size_t stopAt = size_t(data[2]) * (size - 3) / 256;

    Logger log(missingFolder ? dataDir->path() + "/missing" : dataDir->path(), n, debug);
    // Each reading moves the clock on, so long inputs cross midnight.
    log.clock.set(QDateTime(QDate(2003, 5, 21), QTime(23, 58, 0)));
    log.clock.setStepMs(7000);
    log.port.append(QByteArray(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3)));
    AcquisitionCycle &cycle = log.engine.cycle();

    bool stopped = false;
    int stoppedSteps = 0;
    while (log.port.waiting() > 0 || stopped) {
        if (stopStart && !stopped && stoppedSteps == 0 && size_t(log.port.pos) >= stopAt) {
            log.engine.stop();
            log.port.open = false;
            stopped = true;
        }
        cycle.step();
        if (stopped && ++stoppedSteps == 3) {
            log.engine.start();
            log.port.open = true;
            stopped = false;
        }
        if (log.def.Msg_Buf.size() > AcquisitionCycle::kMaxMessage)
            fail("the message buffer grew past its bound");
        if (cycle.Sample_Idx() < 1 || cycle.Sample_Idx() > 64)
            fail("the slot left the window");
        if (cycle.phase() == AcquisitionCycle::Phase::Run && cycle.Sample_Idx() > n)
            fail("the slot passed N in the run phase");
    }

    // Every file: one header line, then record lines; CR LF only at line ends.
    quint64 lines = 0;
    const QDir dir(dataDir->path());
    const QStringList files = dir.entryList(QDir::Files);
    if (missingFolder && (!files.isEmpty() || log.engine.recordsWritten() != 0))
        fail("records written into a folder that does not exist");
    for (const QString &name : files) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            fail("data file unreadable");
        const QByteArray all = f.readAll();
        f.close();
        if (!all.endsWith("\r\n"))
            fail("a data file ends in a partial line");
        QList<QByteArray> parts = all.split('\r');
        parts.removeLast(); // after the last CR LF
        if (!parts.first().startsWith("Gill Format Polar,"))
            fail("a data file does not start with its header");
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray &line = parts.at(i);
            if (line.size() < 10 || !line.startsWith('\n') || !isTime(line.mid(1, 8)) || line.at(9) != ',')
                fail("a record line does not start with its time");
            ++lines;
        }
        QFile::remove(f.fileName());
    }
    if (lines != log.engine.recordsWritten())
        fail("the files do not hold the records the cycle wrote");
    if (!log.reports.isEmpty() && !missingFolder)
        fail("a data file error in a writable folder");
    return 0;
}
