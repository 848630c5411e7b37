// Fuzzes what a collector and a station take from the broker: any bytes as
// a record payload, as a request to publish again, and as the station level
// of a topic. What is accepted is ours exactly: encoding it again gives the
// same bytes, it names a real day file, carries a line of an allowed size
// and, with an earlier file or marked new, is a header; a station name that
// is accepted can be a folder name and nothing more, in plain characters.
#include "datafile/dayfilename.h"
#include "mqtt/fleet.h"
#include "mqtt/recordpayload.h"
#include "tests/support/testsupport.h"

#include <cstdint>

namespace {

void checkRecord(QByteArrayView bytes)
{
    QString why;
    const auto record = RecordPayload::decode(bytes, &why);
    if (!record) {
        fuzzCheck(!why.isEmpty(), "a payload refused without a reason");
        return;
    }
    fuzzCheck(record->encode() == bytes, "an accepted payload does not encode back to its bytes");
    fuzzCheck(dayfilename::isValid(record->file) && record->offset >= 0,
              "an accepted payload names no day file or a negative offset");
    fuzzCheck(!record->line.isEmpty() && record->line.size() <= RecordPayload::kMaxLine,
              "an accepted payload carries an empty or too long line");
    fuzzCheck(record->previousFile.isEmpty() || (record->offset == 0 && record->previousFile < record->file),
              "a previous file on a line that is not a header, or one that is not earlier");
    fuzzCheck(!record->fresh || record->offset == 0, "a line marked new that is not a header");
}

void checkRequest(QByteArrayView bytes)
{
    QString why;
    const auto request = ResendRequest::decode(bytes, &why);
    fuzzCheck(!request || (request->encode() == bytes && dayfilename::isValid(request->file)),
              "an accepted request is not ours exactly");
}

void checkStation(QByteArrayView bytes)
{
    const QString name = QString::fromUtf8(bytes);
    if (name.toUtf8() != bytes || !fleet::stationNameProblem(name).isEmpty())
        return;
    fuzzCheck(!name.contains(u'/') && !name.contains(QStringLiteral("..")) && !name.startsWith(u'.')
                  && bytes.size() <= fleet::kMaxStationBytes,
              "a station name accepted that leaves its folder");
    for (const uint c : name.toUcs4())
        fuzzCheck(c == '_' || c == '.' || c == '-' || QChar::isLetterOrNumber(char32_t(c)),
                  "a station name accepted with a character outside letters, digits, _ . -");
    const auto topicStation = fleet::stationOfTopic(fleet::recordTopic(name), "record");
    fuzzCheck(topicStation && *topicStation == bytes, "an accepted station name does not come back out of its topic");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkRecord(bytes);
    checkRequest(bytes);
    checkStation(bytes);
    return 0;
}
