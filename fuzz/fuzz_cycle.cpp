// Fuzzes the whole acquisition step machine with an arbitrary byte stream.
// Input: byte 0 picks N (3..64); byte 1 the debug mode (bit 0), a missing
// data folder (bit 1) and a STOP/START in mid-stream (bit 2); byte 2 where
// that STOP falls; the rest is what the line delivers.
// Checked after every step: the message buffer stays bounded and the slot
// stays inside the window. Checked at the end: the data files hold headers
// and whole record lines only, as many as the cycle says it wrote.
#include "tests/support/testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {
QTemporaryDir *dataDir = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // Memory-backed where there is such a folder: the cycle opens and
    // closes the file twice per record.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    dataDir = new QTemporaryDir(base + QStringLiteral("/fuzz_cycle-XXXXXX"));
    fuzzCheck(dataDir->isValid(), "no temporary folder");
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
    const AcquisitionCycle &cycle = log.engine.cycle();

    bool stopped = false;
    int stoppedSteps = 0;
    // An ended cycle reads nothing more until it is restarted.
    while ((log.port.waiting() > 0 || stopped) && cycle.phase() != AcquisitionCycle::Phase::Ended) {
        if (stopStart && !stopped && stoppedSteps == 0 && size_t(log.port.pos) >= stopAt) {
            // STOP closes the port before anything else can read it.
            log.port.open = false;
            log.engine.stop();
            stopped = true;
        }
        log.engine.step();
        if (stopped && ++stoppedSteps == 3) {
            log.engine.start();
            log.port.open = true;
            stopped = false;
        }
        fuzzCheck(cycle.Msg_Buf().size() <= AcquisitionCycle::kMaxMessage, "the message buffer grew past its bound");
        fuzzCheck(cycle.Sample_Idx() >= 1 && cycle.Sample_Idx() <= 64, "the slot left the window");
        fuzzCheck(cycle.phase() != AcquisitionCycle::Phase::Run || cycle.Sample_Idx() <= n,
                  "the slot passed N in the run phase");
    }

    // Every file: one header line, then record lines; CR LF only at line ends.
    quint64 lines = 0;
    const QDir dir(dataDir->path());
    const QStringList files = dir.entryList(QDir::Files);
    fuzzCheck(!missingFolder || (files.isEmpty() && log.engine.recordsWritten() == 0),
              "records written into a folder that does not exist");
    for (const QString &name : files) {
        const QByteArray all = fileBytes(dir.filePath(name));
        fuzzCheck(all.endsWith("\r\n"), "a data file ends in a partial line");
        QList<QByteArray> parts = all.split('\r');
        parts.removeLast(); // after the last CR LF
        fuzzCheck(parts.first().startsWith("Gill Format Polar,"), "a data file does not start with its header");
        for (qsizetype i = 1; i < parts.size(); ++i, ++lines) {
            const QByteArray &line = parts.at(i);
            fuzzCheck(line.startsWith('\n')
                          && QTime::fromString(QString::fromLatin1(line.mid(1, 8)), u"hh:mm:ss").isValid()
                          && line.mid(9, 1) == ",",
                      "a record line does not start with its time");
        }
        QFile::remove(dir.filePath(name));
    }
    fuzzCheck(lines == log.engine.recordsWritten(), "the files do not hold the records the cycle wrote");
    fuzzCheck(log.reports.isEmpty() || missingFolder, "a data file error in a writable folder");
    return 0;
}
