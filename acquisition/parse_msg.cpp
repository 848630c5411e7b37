#include "acquisition/parse_msg.h"
#include "common/sorvik7_def.h"

#include <charconv>
#include <cmath>

std::optional<double> parseSpeed(QByteArray text)
{
    const char *first = text.constData();
    const char *last = first + text.size();
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (first != last && blank(*first))
        ++first;
    while (last != first && blank(last[-1]))
        --last;
    if (first != last && *first == '+')
        ++first;
    if (first == last || *first == '+')
        return std::nullopt;
    // from_chars also takes "inf", "nan" and hex-like forms; a speed is
    // digits, a sign, one full stop and perhaps an exponent.
    for (const char *p = first; p != last; ++p) {
        const char c = *p;
        if (!((c >= '0' && c <= '9') || c == '.' || c == '-' || c == 'e' || c == 'E'))
            return std::nullopt;
    }
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec != std::errc() || end != last || !std::isfinite(value))
        return std::nullopt;
    return value;
}

static int hexValue(char c);

// Whether a field holds only text: no control character, apart from the
// STX that opens field 1 and the checksum (ETX and two hex digits) that
// makes up field 6, which no record carries. A NUL or an escape inside a
// field would otherwise go into the day file.
static bool isPlainField(QByteArrayView token, int fieldNo)
{
    constexpr int kChecksumField = 6;
    constexpr qsizetype kChecksumLength = 3;
    if (fieldNo == 1 && token.startsWith(sorvik7::STX))
        token = token.sliced(1);
    for (qsizetype i = 0; i < token.size(); ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c != 0x7f)
            continue;
        const bool checksum = fieldNo == kChecksumField && c == sorvik7::ETX && i == 0
            && token.size() == kChecksumLength && hexValue(token[1]) >= 0 && hexValue(token[2]) >= 0;
        if (!checksum)
            return false;
    }
    return true;
}

bool Parse_Msg(const QByteArray &msg, MsgFields &fld, SpeedBuffer &Speed_Buf, int slot)
{
    if (slot < 1 || slot >= int(Speed_Buf.size()))
        return false;

    MsgFields out = fld;
    std::optional<double> speed;
    int fieldNo = 1;
    qsizetype tokenStart = 0;
    for (qsizetype i = 0; i < msg.size(); ++i) {
        const char c = msg.at(i);
        if (c != ',' && c != sorvik7::CR)
            continue;
        const QByteArray token = msg.mid(tokenStart, i - tokenStart);
        if (fieldNo <= 6 && !isPlainField(token, fieldNo))
            return false;
        switch (fieldNo) {
        case 1:
            out.Fld1 = token;
            break;
        case 2:
            out.Fld2 = token;
            break;
        case 3:
            speed = parseSpeed(token);
            if (!speed)
                return false;
            break;
        case 4:
            out.Fld4 = token;
            break;
        case 5:
            out.Fld5 = token;
            break;
        case 6:
            out.Fld6 = token;
            break;
        default:
            break;
        }
        ++fieldNo;
        tokenStart = i + 1;
    }
    if (!speed)
        return false;

    fld = std::move(out);
    Speed_Buf[slot] = *speed;
    return true;
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Checksum_Ok(const QByteArray &msg)
{
    // The checksum stands before the CR; what follows the CR is not part
    // of the message and cannot make it wrong.
    const qsizetype cr = msg.indexOf(sorvik7::CR);
    const qsizetype end = cr < 0 ? msg.size() : cr;
    const qsizetype etx = msg.indexOf(sorvik7::ETX);
    if (etx < 0 || etx + 2 >= end)
        return true;
    const int hi = hexValue(msg.at(etx + 1));
    const int lo = hexValue(msg.at(etx + 2));
    if (hi < 0 || lo < 0)
        return true;
    const qsizetype start = msg.startsWith(sorvik7::STX) ? 1 : 0;
    unsigned char sum = 0;
    for (qsizetype i = start; i < etx; ++i)
        sum ^= static_cast<unsigned char>(msg.at(i));
    return sum == ((hi << 4) | lo);
}
