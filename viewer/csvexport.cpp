#include "viewer/csvexport.h"

#include "common/nativepath.h"

#include <QIODevice>

#include <algorithm>
#include <cstdlib>

namespace {
constexpr char kQuote = '"';
constexpr unsigned char kFirstNonAscii = 0x80;
constexpr unsigned char kUtf8Lead = 0xC0, kUtf8Continuation = 0x80, kLowSixBits = 0x3F;
constexpr int kSixBits = 6;
constexpr int kSecondsPerMinute = 60, kMinutesPerHour = 60;
} // namespace

QByteArray stationField(const QString &station, char separator)
{
    QByteArray bytes = nativepath::display(station).toUtf8();
    if (!bytes.contains(separator) && !bytes.contains(kQuote) && !bytes.contains('\r') && !bytes.contains('\n'))
        return bytes;
    bytes.replace(kQuote, QByteArray(2, kQuote));
    return kQuote + bytes + kQuote;
}

void CsvExport::setLimits(qint64 from, qint64 to)
{
    m_from = from;
    m_to = to;
}

bool CsvExport::write(const QList<DayFile> &files, QIODevice &out, QString &error)
{
    int sampleColumns = 0;
    for (const DayFile &f : files) {
        const int most = DayFileReader::maxSampleCount(f.path, &error);
        if (most < 0)
            return false;
        sampleColumns = std::max(sampleColumns, most);
    }
    m_stations = DayFiles::severalFolders(files);
    m_buffer.reserve(kFlushAt + DayFileReader::kMaxLine * 2);
    appendHeader(sampleColumns);
    for (const DayFile &f : files) {
        if (!writeFile(f, sampleColumns, out, error))
            return false;
    }
    return flush(out, error);
}

bool CsvExport::writeFile(const DayFile &file, int sampleColumns, QIODevice &out, QString &error)
{
    const QString &path = file.path;
    if (m_stations)
        m_station = stationField(file.station, m_separator);
    return readRecordsInRange(
        path, m_from, m_to,
        [&](const DayRecord &record) {
            appendRecord(record, sampleColumns);
            return m_buffer.size() < kFlushAt || flush(out, error);
        },
        m_counts, m_problems, error);
}

bool readRecordsInRange(const QString &path, qint64 from, qint64 to, const std::function<bool(const DayRecord &)> &take,
                        DayFileReader::Counts &counts, QStringList &problems, QString &error)
{
    DayFileReader reader(path);
    if (!reader.open()) {
        error = reader.errorString();
        return false;
    }
    DayRecord record;
    while (reader.next(record)) {
        const qint64 t = record.localSeconds();
        if (t >= from && t <= to && !take(record))
            return false;
    }
    reader.finish();
    if (!reader.errorString().isEmpty()) {
        error = reader.errorString();
        return false;
    }
    if (!reader.headerMatchesName())
        problems << QStringLiteral("%1: the header's date is not the name's").arg(nativepath::display(path));
    counts += reader.counts();
    return true;
}

void CsvExport::appendHeader(int sampleColumns)
{
    const char *names[] = {"time", "node", "direction", "speed", "units", "status", "samples"};
    bool first = true;
    if (m_stations) {
        m_buffer += "station";
        first = false;
    }
    for (const char *name : names) {
        if (!first)
            m_buffer += m_separator;
        m_buffer += name;
        first = false;
    }
    for (int i = 1; i <= sampleColumns; ++i) {
        m_buffer += m_separator;
        m_buffer += "sample_";
        m_buffer += QByteArray::number(i);
    }
    m_buffer += '\n';
}

void CsvExport::appendRecord(const DayRecord &r, int sampleColumns)
{
    if (m_stations) {
        m_buffer += m_station;
        m_buffer += m_separator;
    }
    appendTime(r);
    m_buffer += m_separator;
    appendText(r.node);
    m_buffer += m_separator;
    appendNumber(r.directionText);
    m_buffer += m_separator;
    appendNumber(r.speedText);
    m_buffer += m_separator;
    appendText(r.units);
    m_buffer += m_separator;
    appendText(r.status);
    m_buffer += m_separator;
    const int samples = int(r.sampleTexts.size());
    m_buffer += QByteArray::number(samples);
    for (int i = 0; i < sampleColumns; ++i) {
        m_buffer += m_separator;
        if (i < samples)
            appendNumber(r.sampleTexts[size_t(i)]);
    }
    m_buffer += '\n';
}

void CsvExport::appendTime(const DayRecord &r)
{
    if (!m_utc) {
        appendDate(r.date);
        m_buffer += r.timeText;
        if (r.utcOffset != m_cachedOffset) {
            m_cachedOffset = r.utcOffset;
            const int minutes = std::abs(r.utcOffset) / kSecondsPerMinute;
            m_cachedOffsetText = QString::asprintf("%c%02d:%02d", r.utcOffset < 0 ? '-' : '+',
                                                   minutes / kMinutesPerHour, minutes % kMinutesPerHour)
                                     .toLatin1();
        }
        m_buffer += m_cachedOffsetText;
        return;
    }
    const qint64 day = r.utc / DayRecord::kSecondsPerDay - (r.utc % DayRecord::kSecondsPerDay < 0);
    const int second = int(r.utc - day * DayRecord::kSecondsPerDay);
    appendDate(QDate::fromJulianDay(day + DayRecord::kUnixEpochJulianDay));
    const int minute = second / kSecondsPerMinute;
    const char text[] = {char('0' + minute / kMinutesPerHour / 10),   char('0' + minute / kMinutesPerHour % 10),   ':',
                         char('0' + minute % kMinutesPerHour / 10),   char('0' + minute % kMinutesPerHour % 10),   ':',
                         char('0' + second % kSecondsPerMinute / 10), char('0' + second % kSecondsPerMinute % 10), 'Z'};
    m_buffer.append(text, sizeof text);
}

void CsvExport::appendDate(const QDate &date)
{
    if (date != m_cachedDate) {
        m_cachedDate = date;
        m_cachedDateText = QString::asprintf("%04d-%02d-%02dT", date.year(), date.month(), date.day()).toLatin1();
    }
    m_buffer += m_cachedDateText;
}

// As it is when it is plain ASCII without the separator, a quote or a line
// end; else each byte taken as Latin-1 and written as UTF-8, quoted.
void CsvExport::appendText(QByteArrayView text)
{
    const bool plain = std::none_of(text.begin(), text.end(), [this](char c) {
        return c == m_separator || c == kQuote || c == '\r' || c == '\n' || (unsigned char)c >= kFirstNonAscii;
    });
    if (plain) {
        m_buffer += text;
        return;
    }
    m_buffer += kQuote;
    for (char c : text) {
        const auto u = (unsigned char)c;
        if (c == kQuote)
            m_buffer += kQuote;
        if (u >= kFirstNonAscii) {
            m_buffer += char(kUtf8Lead | (u >> kSixBits));
            m_buffer += char(kUtf8Continuation | (u & kLowSixBits));
        } else {
            m_buffer += c;
        }
    }
    m_buffer += kQuote;
}

// "002.50" as 2.50, "-000.05" as -0.05, "+007" as 7: no plus sign, no
// leading zeros, a zero before a leading point. The reader has checked
// that the text is a number.
void CsvExport::appendNumber(QByteArrayView text)
{
    if (text.isEmpty())
        return;
    const char *p = text.begin(), *end = text.end();
    if (*p == '-')
        m_buffer += '-';
    if (*p == '-' || *p == '+')
        ++p;
    while (end - p > 1 && *p == '0' && p[1] != '.')
        ++p;
    if (*p == '.')
        m_buffer += '0';
    if (end[-1] == '.')
        --end;
    m_buffer.append(p, end - p);
}

bool CsvExport::flush(QIODevice &out, QString &error)
{
    if (out.write(m_buffer) != m_buffer.size()) {
        error = QStringLiteral("cannot write the output: %1").arg(out.errorString());
        return false;
    }
    m_buffer.resize(0); // keeps the capacity
    return true;
}
