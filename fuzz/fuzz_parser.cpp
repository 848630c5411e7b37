// Fuzzes the message parser, the checksum test and the record format.
// Input: one byte for the slot (as a signed number, so slots outside 1..64
// are tried too), one byte for N (low six bits, 1..64) and the debug mode
// (top bit), then the message text.
#include "acquisition/parse_msg.h"
#include "datafile/recordformat.h"
#include "tests/support/testsupport.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

void checkNumber(double v)
{
    // "000.00": an optional minus, at least three digits, a full stop, two digits.
    static const QRegularExpression pattern(QStringLiteral("^-?[0-9]{3,}\\.[0-9]{2}$"));
    const QByteArray text = formatNumber(v);
    fuzzCheck(pattern.match(QString::fromLatin1(text)).hasMatch(), "formatNumber broke its pattern");
    const auto back = parseSpeed(text);
    fuzzCheck(back.has_value(), "formatNumber wrote text the parser rejects");
    // Rounded to hundredths: off by at most half a hundredth, give or take
    // what a double can hold at that magnitude.
    fuzzCheck(std::fabs(*back - v) <= 0.005 + std::fabs(v) * 1e-15, "formatNumber rounded to the wrong hundredth");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int slot = static_cast<int8_t>(data[0]);
    const int n = (data[1] & 0x3f) + 1;
    const bool debug = data[1] & 0x80;
    const QByteArray msg(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    MsgFields fld{"\x02old1", "old2", "old4", "old5", "old6"};
    SpeedBuffer buf{};
    for (int i = 1; i < int(buf.size()); ++i)
        buf[i] = i * 1.25;
    const MsgFields fldBefore = fld;
    const SpeedBuffer bufBefore = buf;
    const auto fields = [](const MsgFields &f) { return QByteArrayList{f.Fld1, f.Fld2, f.Fld4, f.Fld5, f.Fld6}; };

    if (!Parse_Msg(msg, fld, buf, slot)) {
        fuzzCheck(fields(fld) == fields(fldBefore) && buf == bufBefore,
                  "a rejected message changed the fields or the window");
    } else {
        fuzzCheck(slot >= 1 && slot <= 64, "a slot outside 1..64 was written");
        fuzzCheck(std::isfinite(buf[slot]), "a speed that is not finite entered the window");
        SpeedBuffer others = buf;
        others[slot] = bufBefore[slot];
        fuzzCheck(others == bufBefore, "a slot other than the one named was written");
        for (const QByteArray &f : fields(fld).mid(0, 4))
            fuzzCheck(!f.contains(',') && !f.contains('\r'), "a field holds a separator");
        for (const QByteArray &f : {fld.Fld1.mid(1), fld.Fld2, fld.Fld4, fld.Fld5})
            fuzzCheck(std::none_of(f.begin(), f.end(), [](char c) { return uchar(c) < 0x20 || c == 0x7f; }),
                      "a field written to the record holds a control character");
        checkNumber(buf[slot]);

        // The mean of N equal speeds is that speed, whatever its size.
        SpeedBuffer same{};
        same.fill(buf[slot]);
        fuzzCheck(std::fabs(Window_Avg(same, n) - buf[slot]) <= std::fabs(buf[slot]) * 1e-12,
                  "the mean of equal speeds is not that speed");
    }

    // The text of field 3 on its own, as the record format sees numbers.
    if (const auto v = parseSpeed(msg))
        checkNumber(*v);

    fuzzCheck(msg.contains('\x03') || Checksum_Ok(msg), "a message without a checksum was refused");

    // The record line: fields joined by commas, no line end inside it.
    const double avg = Window_Avg(buf, n);
    checkNumber(avg);
    const QByteArray line = Record_Line("14:03:07", fld, avg, debug, buf, n);
    fuzzCheck(!line.contains('\r'), "a record line holds a CR");
    fuzzCheck(line.count(',') == 5 + (debug ? 1 + n : 0), "a record line has the wrong number of columns");
    return 0;
}
