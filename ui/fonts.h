#pragma once

#include <QFont>
#include <QFontDatabase>
#include <QString>

// The Japanese faces the windows were drawn with are replaced by the IPA
// fonts (Debian's fonts-ipafont); without them the default face is kept at
// the same size.
namespace fonts {

inline QFont withFamily(const QFont &base, const QString &family, qreal pointSize)
{
    QFont f = base;
    if (QFontDatabase::hasFamily(family))
        f.setFamily(family);
    f.setPointSizeF(pointSize);
    f.setWeight(QFont::Normal);
    return f;
}

// Stands in for MS Mincho: the serif face of the message box.
inline QFont mincho(const QFont &base) { return withFamily(base, QStringLiteral("IPAMincho"), 11.25); }
// Stands in for MS UI Gothic: the status bar's face.
inline QFont uiGothic(const QFont &base) { return withFamily(base, QStringLiteral("IPAGothic"), 9.0); }

} // namespace fonts
