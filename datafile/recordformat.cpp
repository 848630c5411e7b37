#include "datafile/recordformat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

QByteArray formatNumber(double value)
{
    if (!std::isfinite(value))
        return QByteArrayLiteral("000.00"); // never stored: the parser takes finite speeds only

    // Shortest fixed-point text that reads back as this double; enough room
    // for the longest (the smallest subnormal needs about 1080 characters).
    char buf[1200];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::fixed);
    std::string text(buf, res.ptr);

    std::string intPart = text;
    std::string frac;
    if (const auto dot = text.find('.'); dot != std::string::npos) {
        intPart = text.substr(0, dot);
        frac = text.substr(dot + 1);
    }
    const bool roundUp = frac.size() > 2 && frac[2] >= '5';
    frac.resize(2, '0');
    std::string digits = intPart + frac; // value in hundredths
    if (roundUp) {
        int i = int(digits.size()) - 1;
        while (i >= 0 && digits[i] == '9')
            digits[i--] = '0';
        if (i >= 0)
            ++digits[i];
        else
            digits.insert(digits.begin(), '1');
    }
    std::string whole = digits.substr(0, digits.size() - 2);
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    if (whole.size() < 3)
        whole.insert(0, 3 - whole.size(), '0');
    const bool zero = digits.find_first_not_of('0') == std::string::npos;

    std::string out;
    if (value < 0 && !zero)
        out += '-';
    out += whole;
    out += '.';
    out += digits.substr(digits.size() - 2);
    return QByteArray(out.data(), qsizetype(out.size()));
}

QByteArray formatTimeOfDay(const QTime &t)
{
    return QString::asprintf("%02d:%02d:%02d", t.hour(), t.minute(), t.second()).toLatin1();
}

QByteArray headerLine(const QDateTime &t)
{
    const QDate d = t.date();
    return QByteArrayLiteral("Gill Format Polar,")
        + QString::asprintf("%02d/%02d/%02d", d.year() % 100, d.month(), d.day()).toLatin1() + ','
        + formatTimeOfDay(t.time());
}

QByteArray Record_Line(const QByteArray &Rec_Time, const MsgFields &fld, double Avg_Speed, bool Debug_Flag,
                       const SpeedBuffer &Speed_Buf, int Sample_Num)
{
    QByteArray line;
    line.reserve(64 + (Debug_Flag ? 8 * Sample_Num : 0));
    line += Rec_Time;
    line += ',';
    line += fld.Fld1;
    line += ',';
    line += fld.Fld2;
    line += ',';
    line += formatNumber(Avg_Speed);
    line += ',';
    line += fld.Fld4;
    line += ',';
    line += fld.Fld5;
    if (Debug_Flag) {
        QByteArray Sample_List;
        const int n = std::clamp(Sample_Num, 1, int(Speed_Buf.size()) - 1);
        for (int i = 1; i <= n; ++i) {
            Sample_List += ',';
            Sample_List += formatNumber(Speed_Buf[i]);
        }
        line += ',';
        line += Sample_List;
    }
    return line;
}
