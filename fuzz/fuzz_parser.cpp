// Fuzzes the message parser, the checksum test and the record format.
// Input: one byte for the slot (as a signed number, so slots outside 1..64
// are tried too), one byte for N (low six bits, 1..64) and the debug mode
// (top bit), then the message text.
#include "acquisition/parse_msg.h"
#include "datafile/recordformat.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_parser: %s\n", what);
    std::abort();
}

// "000.00": an optional minus, at least three digits, a full stop, two digits.
bool isNumberPattern(const QByteArray &s)
{
    qsizetype i = s.startsWith('-') ? 1 : 0;
    const qsizetype dot = s.indexOf('.');
    if (dot - i < 3 || dot != s.size() - 3)
        return false;
    for (qsizetype k = i; k < s.size(); ++k) {
        if (k != dot && (s[k] < '0' || s[k] > '9'))
            return false;
    }
    return true;
}

void checkNumber(double v)
{
    const QByteArray text = formatNumber(v);
    if (!isNumberPattern(text))
        fail("formatNumber broke its pattern");
    const auto back = parseSpeed(text);
    if (!back)
        fail("formatNumber wrote text the parser rejects");
    // Rounded to hundredths: off by at most half a hundredth, give or take
    // what a double can hold at that magnitude.
    const double tolerance = 0.005 + std::fabs(v) * 1e-15;
    if (std::fabs(*back - v) > tolerance)
        fail("formatNumber rounded to the wrong hundredth");
}

bool hasSeparator(const QByteArray &s)
{
    return s.contains(',') || s.contains('\r');
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

    const bool ok = Parse_Msg(msg, fld, buf, slot);
    if (!ok) {
        if (fld.Fld1 != fldBefore.Fld1 || fld.Fld2 != fldBefore.Fld2 || fld.Fld4 != fldBefore.Fld4
            || fld.Fld5 != fldBefore.Fld5 || fld.Fld6 != fldBefore.Fld6 || buf != bufBefore)
            fail("a rejected message changed the fields or the window");
    } else {
        if (slot < 1 || slot > 64)
            fail("a slot outside 1..64 was written");
        if (!std::isfinite(buf[slot]))
            fail("a speed that is not finite entered the window");
        for (int i = 0; i < int(buf.size()); ++i) {
            if (i != slot && buf[i] != bufBefore[i])
                fail("a slot other than the one named was written");
        }
        if (hasSeparator(fld.Fld1) || hasSeparator(fld.Fld2) || hasSeparator(fld.Fld4)
            || hasSeparator(fld.Fld5))
            fail("a field holds a separator");
        checkNumber(buf[slot]);

        // The mean of N equal speeds is that speed, whatever its size.
        SpeedBuffer same{};
        same.fill(buf[slot]);
        const double mean = Window_Avg(same, n);
        if (!(std::fabs(mean - buf[slot]) <= std::fabs(buf[slot]) * 1e-12))
            fail("the mean of equal speeds is not that speed");
    }

    // The text of field 3 on its own, as the record format sees numbers.
    if (const auto v = parseSpeed(msg))
        checkNumber(*v);

    const bool sumOk = Checksum_Ok(msg);
    if (!msg.contains('\x03') && !sumOk)
        fail("a message without a checksum was refused");

    // The record line: fields joined by commas, no line end inside it.
    const double avg = Window_Avg(buf, n);
    checkNumber(avg);
    const QByteArray line = Record_Line("14:03:07", fld, avg, debug, buf, n);
    if (line.contains('\r'))
        fail("a record line holds a CR");
    const qsizetype commas = line.count(',');
    const qsizetype expected = 5 + (debug ? 1 + n : 0);
    if (commas != expected)
        fail("a record line has the wrong number of columns");
    return 0;
}
