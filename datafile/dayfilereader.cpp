#include "datafile/dayfilereader.h"
#include "common/nativepath.h"
#include "common/timeunits.h"

#include "datafile/dayfilename.h"

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kStx = '\x02';
constexpr QByteArrayView kHeaderPrefix = "Gill Format Polar,";
constexpr qsizetype kTimeLength = 8; // "hh:mm:ss"
constexpr qsizetype kDateLength = 8; // "yy/mm/dd"
constexpr qsizetype kHeaderLength = kHeaderPrefix.size() + kDateLength + 1 + kTimeLength;
constexpr int kColumnsAfterTime = 5; // node, direction, speed, units, status
constexpr int kDebugCommas = 6; // commas of a debug line besides one per sample
constexpr qint64 kHalfDay = DayRecord::kSecondsPerDay / 2;
constexpr int kCenturyYears = 100;

// Up to this many significant digits a decimal is an exact integer in a
// double, and one division by an exact power of ten rounds correctly.
constexpr int kExactDigits = 15;
constexpr int kExactPowers = 23;
constexpr double kPowersOfTen[kExactPowers] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
inline int digit(char c)
{
    return c - '0';
}

// "[+-]digits[.digits]" with at least one digit, and nothing else; the
// same double that strtod gives.
bool parseNumber(const char *p, const char *end, double &out)
{
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    const char *text = p;
    quint64 mantissa = 0;
    int significant = 0, fraction = 0;
    bool anyDigit = false, inFraction = false;
    for (; p < end; ++p) {
        if (*p == '.' && !inFraction) {
            inFraction = true;
            continue;
        }
        if (!isDigit(*p))
            return false;
        anyDigit = true;
        fraction += inFraction;
        if (mantissa != 0 || *p != '0')
            ++significant;
        if (significant <= kExactDigits)
            mantissa = mantissa * 10 + quint64(digit(*p));
    }
    if (!anyDigit)
        return false;
    double value = 0.0;
    if (significant <= kExactDigits && fraction < kExactPowers) {
        value = double(mantissa) / kPowersOfTen[fraction];
    } else if (std::from_chars(text, end, value).ptr != end) {
        return false;
    }
    out = negative ? -value : value;
    return std::isfinite(out);
}

// "hh:mm:ss" on the 24-hour clock.
bool parseTime(const char *p, int &secondOfDay)
{
    for (int i : {0, 1, 3, 4, 6, 7}) {
        if (!isDigit(p[i]))
            return false;
    }
    if (p[2] != ':' || p[5] != ':')
        return false;
    const int h = digit(p[0]) * 10 + digit(p[1]);
    const int m = digit(p[3]) * 10 + digit(p[4]);
    const int s = digit(p[6]) * 10 + digit(p[7]);
    constexpr int kHours = 24, kMinutes = 60;
    if (h >= kHours || m >= kMinutes || s >= kMinutes)
        return false;
    secondOfDay = (h * kMinutes + m) * kMinutes + s;
    return true;
}

// Takes the column starting at `c`; true when a comma follows it, and then
// `c` is past that comma.
inline bool takeColumn(const char *&c, const char *end, QByteArrayView &column)
{
    const auto *comma = static_cast<const char *>(std::memchr(c, ',', size_t(end - c)));
    const char *stop = comma ? comma : end;
    column = QByteArrayView(c, stop - c);
    c = comma ? comma + 1 : end;
    return comma != nullptr;
}

int twoDigits(const char *p)
{
    return digit(p[0]) * 10 + digit(p[1]);
}

} // namespace

qint64 DayFileReader::Counts::skippedLines() const
{
    qint64 total = 0;
    for (qint64 n : skipped)
        total += n;
    return total;
}

DayFileReader::Counts &DayFileReader::Counts::operator+=(const Counts &other)
{
    records += other.records;
    debugRecords += other.debugRecords;
    for (int i = 0; i < SkipKinds; ++i)
        skipped[i] += other.skipped[i];
    return *this;
}

DayFileReader::DayFileReader(const QString &path)
    : m_path(path),
      m_date(dayfilename::parse(QFileInfo(path).fileName()))
{
}

DayFileReader::~DayFileReader()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString DayFileReader::skipText(Skip reason)
{
    switch (reason) {
    case CutShort:
        return QStringLiteral("cut short");
    case NotARecord:
        return QStringLiteral("not a record");
    case MissingColumns:
        return QStringLiteral("too few columns");
    case BadNumber:
        return QStringLiteral("not a number");
    case BadSamples:
        return QStringLiteral("bad debug samples");
    case StrayHeader:
        return QStringLiteral("header inside the file");
    case SkipKinds:
        break;
    }
    return {};
}

QDate DayFileReader::headerDate(QByteArrayView line, const QDate &near)
{
    if (line.size() != kHeaderLength || !line.startsWith(kHeaderPrefix))
        return {};
    const char *d = line.data() + kHeaderPrefix.size();
    int seconds = 0;
    for (int i : {0, 1, 3, 4, 6, 7}) {
        if (!isDigit(d[i]))
            return {};
    }
    if (d[2] != '/' || d[5] != '/' || d[kDateLength] != ',' || !parseTime(d + kDateLength + 1, seconds))
        return {};
    const int yy = twoDigits(d);
    constexpr int kDefaultCentury = 2000;
    int year = kDefaultCentury + yy;
    if (near.isValid()) {
        const int base = near.year() - near.year() % kCenturyYears + yy;
        year = base;
        for (int candidate : {base - kCenturyYears, base + kCenturyYears}) {
            if (std::abs(candidate - near.year()) < std::abs(year - near.year()))
                year = candidate;
        }
    }
    return QDate(year, twoDigits(d + 3), twoDigits(d + 6));
}

int DayFileReader::openRegular(const QString &path, QString &error)
{
    const QByteArray name = nativepath::encode(path);
    const auto notRegular = [&] {
        error = QStringLiteral("cannot read %1: not a regular file").arg(nativepath::display(path));
        return -1;
    };
    const auto failed = [&] {
        error = QStringLiteral("cannot read %1: %2")
                    .arg(nativepath::display(path), QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    };
    // Look before opening: opening some devices does something by itself.
    struct stat st = {};
    if (::stat(name.constData(), &st) != 0)
        return failed();
    if (!S_ISREG(st.st_mode))
        return notRegular();
    // Non-blocking, so a FIFO put there since cannot hold the open; then
    // checked again on what was opened.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return failed();
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return notRegular();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool DayFileReader::open()
{
    m_fd = openRegular(m_path, m_error);
    if (m_fd < 0)
        return false;
    m_buf.resize(kChunk);
    if (m_date.isValid())
        return true;
    // No date in the name: the header must give it.
    fillBuffer();
    const char *base = m_buf.data();
    const auto *nl = static_cast<const char *>(std::memchr(base, '\n', size_t(m_end)));
    QByteArrayView first(base, nl ? nl - base : m_end);
    if (first.endsWith('\r'))
        first.chop(1);
    m_date = headerDate(first);
    if (!m_date.isValid()) {
        m_error = QStringLiteral("no date in the name or the header of %1").arg(nativepath::display(m_path));
        return false;
    }
    return true;
}

bool DayFileReader::fillBuffer()
{
    if (m_fd < 0)
        return false;
    qsizetype rest = m_end - m_begin;
    if (rest >= kMaxLine) {
        // No line end within kMaxLine bytes: not a record; drop up to the next one.
        if (!m_discarding) {
            ++m_lines;
            skip(NotARecord);
            m_discarding = true;
        }
        rest = 0;
        m_begin = m_end;
    }
    std::memmove(m_buf.data(), m_buf.data() + m_begin, size_t(rest));
    m_begin = 0;
    m_end = rest;
    ssize_t n = 0;
    do {
        n = ::read(m_fd, m_buf.data() + m_end, m_buf.size() - size_t(m_end));
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        m_error = QStringLiteral("cannot read %1: %2")
                      .arg(nativepath::display(m_path), QString::fromLocal8Bit(std::strerror(errno)));
    if (n <= 0)
        return false;
    m_end += n;
    return true;
}

bool DayFileReader::next(DayRecord &record)
{
    for (;;) {
        const char *base = m_buf.data();
        const auto *nl = static_cast<const char *>(std::memchr(base + m_begin, '\n', size_t(m_end - m_begin)));
        if (!nl) {
            if (!fillBuffer())
                return false;
            continue;
        }
        const char *begin = base + m_begin;
        m_begin = nl - base + 1;
        if (m_discarding) {
            m_discarding = false; // the end of an overlong line, counted already
            continue;
        }
        if (parseLine(begin, nl, record))
            return true;
    }
}

void DayFileReader::finish()
{
    if (m_end > m_begin && !m_discarding) {
        ++m_lines;
        skip(CutShort);
    }
    m_begin = m_end = 0;
    m_discarding = false;
}

bool DayFileReader::parseLine(const char *begin, const char *end, DayRecord &record)
{
    ++m_lines;
    if (end > begin && end[-1] == '\r')
        --end;
    if (end - begin > kMaxLine) {
        skip(NotARecord);
        return false;
    }
    const QByteArrayView line(begin, end - begin);
    if (line.startsWith(kHeaderPrefix)) {
        if (m_lines == 1 && parseHeader(line))
            return false;
        skip(m_lines == 1 ? NotARecord : StrayHeader);
        return false;
    }
    if (!parseRecord(begin, end, record))
        return false;
    placeOnDay(record);
    placeInTime(record);
    ++m_counts.records;
    m_counts.debugRecords += !record.samples.empty();
    return true;
}

bool DayFileReader::parseHeader(QByteArrayView line)
{
    const QDate date = headerDate(line, m_date);
    int seconds = 0;
    if (!date.isValid() || !parseTime(line.data() + line.size() - kTimeLength, seconds))
        return false;
    m_headerMatches = date == m_date;
    m_headerTime = QTime::fromMSecsSinceStartOfDay(seconds * kMsPerSecond);
    m_headerSecond = seconds;
    return true;
}

bool DayFileReader::parseRecord(const char *begin, const char *end, DayRecord &r)
{
    if (end - begin <= kTimeLength || begin[kTimeLength] != ',' || !parseTime(begin, r.secondOfDay)) {
        skip(NotARecord);
        return false;
    }
    r.timeText = QByteArrayView(begin, kTimeLength);
    const char *c = begin + kTimeLength + 1;
    QByteArrayView column[kColumnsAfterTime];
    bool more = true;
    int taken = 0;
    while (more && taken < kColumnsAfterTime)
        more = takeColumn(c, end, column[taken++]);
    if (taken < kColumnsAfterTime) {
        skip(MissingColumns);
        return false;
    }
    r.node = column[0].startsWith(kStx) ? column[0].sliced(1) : column[0];
    r.directionText = column[1];
    r.speedText = column[2];
    r.units = column[3];
    r.status = column[4];
    r.direction = std::numeric_limits<double>::quiet_NaN();
    const bool numbers =
        (r.directionText.isEmpty() || parseNumber(r.directionText.begin(), r.directionText.end(), r.direction))
        && parseNumber(r.speedText.begin(), r.speedText.end(), r.speed);
    if (!numbers) {
        skip(BadNumber);
        return false;
    }
    m_samples.clear();
    m_sampleTexts.clear();
    if (more && !parseSamples(c, end))
        return false;
    r.samples = std::span<const double>(m_samples);
    r.sampleTexts = std::span<const QByteArrayView>(m_sampleTexts);
    return true;
}

// After column 6 and its comma: an empty seventh column, then the samples.
bool DayFileReader::parseSamples(const char *p, const char *end)
{
    if (p == end || *p != ',') {
        skip(BadSamples);
        return false;
    }
    ++p;
    QByteArrayView text;
    bool more = true;
    while (more) {
        more = takeColumn(p, end, text);
        double value = 0.0;
        if (text.isEmpty() || int(m_samples.size()) == kMaxSamples) {
            skip(BadSamples);
            return false;
        }
        if (!parseNumber(text.begin(), text.end(), value)) {
            skip(BadNumber);
            return false;
        }
        m_samples.push_back(value);
        m_sampleTexts.push_back(text);
    }
    return true;
}

void DayFileReader::placeOnDay(DayRecord &record)
{
    const int t = record.secondOfDay;
    const qint64 fileDay = m_date.toJulianDay();
    if (m_previous < 0) {
        // The file was created just after its first record was taken.
        m_day = fileDay - (m_headerSecond >= 0 && t - m_headerSecond > kHalfDay);
    } else if (t < m_previous && (m_previous - t > kHalfDay || m_day < fileDay)) {
        ++m_day;
    }
    m_previous = t;
    record.date = QDate::fromJulianDay(m_day);
}

void DayFileReader::placeInTime(DayRecord &record)
{
    const qint64 local = record.localSeconds();
    if (m_day != m_zoneDay) {
        m_zoneDay = m_day;
        const QDate date = record.date;
        m_offsetAtStart = QDateTime(date, QTime(0, 0)).offsetFromUtc();
        m_offsetAtEnd = QDateTime(date.addDays(1), QTime(0, 0)).offsetFromUtc();
    }
    int offset = m_offsetAtStart;
    if (m_offsetAtEnd != m_offsetAtStart) {
        // The clocks change today: of the offsets the day has, those under
        // which this local time exists, the earliest moment not before the
        // previous record.
        qint64 best = std::numeric_limits<qint64>::max(), latest = std::numeric_limits<qint64>::min();
        int bestOffset = 0, latestOffset = 0;
        for (int candidate : {m_offsetAtStart, m_offsetAtEnd}) {
            const qint64 utc = local - candidate;
            if (QDateTime::fromSecsSinceEpoch(utc).offsetFromUtc() != candidate)
                continue;
            if (utc >= m_lastUtc && utc < best) {
                best = utc;
                bestOffset = candidate;
            }
            if (utc > latest) {
                latest = utc;
                latestOffset = candidate;
            }
        }
        if (best != std::numeric_limits<qint64>::max())
            offset = bestOffset;
        else if (latest != std::numeric_limits<qint64>::min())
            offset = latestOffset; // a step back (a clock set back): the nearest
    }
    record.utcOffset = offset;
    record.utc = local - offset;
    m_lastUtc = record.utc;
}

int DayFileReader::maxSampleCount(const QString &path, QString *error)
{
    QString why;
    QFile file;
    const int fd = openRegular(path, why);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        if (error)
            *error = why.isEmpty() ? QStringLiteral("cannot read %1").arg(nativepath::display(path)) : why;
        return -1;
    }
    std::vector<char> buf(kChunk);
    qsizetype filled = 0;
    int most = 0;
    for (;;) {
        const qint64 n = file.read(buf.data() + filled, qint64(buf.size()) - filled);
        if (n <= 0)
            break;
        filled += n;
        // Whole lines only; the rest waits for the next read.
        const char *base = buf.data();
        const auto *lastNl = static_cast<const char *>(::memrchr(base, '\n', size_t(filled)));
        const char *stop = lastNl ? lastNl + 1 : (filled >= kMaxLine ? base + filled : base);
        const char *p = base;
        // Only a debug line holds ",," after its status; any line holding
        // ",," is checked by counting its commas.
        while (const auto *hit = static_cast<const char *>(::memmem(p, size_t(stop - p), ",,", 2))) {
            const auto *lineStart = static_cast<const char *>(::memrchr(p, '\n', size_t(hit - p)));
            lineStart = lineStart ? lineStart + 1 : p;
            const auto *lineEnd = static_cast<const char *>(std::memchr(hit, '\n', size_t(stop - hit)));
            lineEnd = lineEnd ? lineEnd : stop;
            const int samples = int(std::count(lineStart, lineEnd, ',')) - kDebugCommas;
            if (samples <= kMaxSamples)
                most = std::max(most, samples);
            p = lineEnd;
        }
        filled = base + filled - stop;
        std::memmove(buf.data(), stop, size_t(filled));
    }
    return most;
}
