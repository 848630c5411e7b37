#include "common/nativepath.h"

#include <QDir>
#include <QStringDecoder>

#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nativepath {

namespace {
constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(QChar c)
{
    return c.unicode() >= kEscapeBase + 0x80 && c.unicode() <= kEscapeBase + 0xFF;
}

// The length of the valid UTF-8 sequence at p, or 0.
int utf8Length(const unsigned char *p, qsizetype left)
{
    const unsigned char c = p[0];
    int n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || n > left)
        return 0;
    for (int i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    // Overlong forms and surrogates are not valid UTF-8 either.
    const QString s = QString::fromUtf8(reinterpret_cast<const char *>(p), n);
    return s.contains(QChar::ReplacementCharacter) ? 0 : n;
}
} // namespace

QString decode(const QByteArray &bytes)
{
    QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString whole = strict.decode(bytes);
    if (!strict.hasError())
        return whole;
    QString out;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = utf8Length(p + i, bytes.size() - i);
        if (n > 0) {
            out += QString::fromUtf8(bytes.constData() + i, n);
            i += n;
        } else {
            out += QChar(char16_t(kEscapeBase + p[i]));
            ++i;
        }
    }
    return out;
}

QByteArray encode(const QString &path)
{
    QByteArray out;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isEscape(path.at(i)))
            continue;
        // A kept byte never follows a high surrogate in a string made by
        // decode(), so it cannot be half of a real pair.
        out += QStringView(path).mid(start, i - start).toUtf8();
        if (i < path.size())
            out += char(path.at(i).unicode() - kEscapeBase);
        start = i + 1;
    }
    return out;
}

QString display(const QString &path)
{
    QString out = path;
    for (QChar &c : out)
        if (isEscape(c))
            c = QChar(char16_t(c.unicode() - kEscapeBase));
    return out;
}

bool stat(const QString &path, struct stat &st)
{
    return ::stat(encode(path).constData(), &st) == 0;
}

QList<QByteArray> entryBytes(const QByteArray &folder)
{
    QList<QByteArray> names;
    DIR *d = ::opendir(folder.constData());
    if (!d)
        return names;
    while (const dirent *e = ::readdir(d)) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(d);
    return names;
}

QStringList entries(const QString &folder)
{
    QStringList names;
    for (const QByteArray &name : entryBytes(encode(folder)))
        names << decode(name);
    return names;
}

QString absolute(const QString &path)
{
    if (path.startsWith(u'/'))
        return QDir::cleanPath(path);
    char buffer[PATH_MAX];
    const char *cwd = ::getcwd(buffer, sizeof buffer);
    return QDir::cleanPath((cwd ? decode(cwd) : QString()) + u'/' + path);
}

QString canonical(const QString &path)
{
    char *resolved = ::realpath(encode(path).constData(), nullptr);
    const QString out = resolved ? decode(resolved) : QString();
    std::free(resolved);
    return out;
}

} // namespace nativepath
