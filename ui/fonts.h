#pragma once

#include <QFont>
#include <QFontDatabase>
#include <QString>
#include <QWidget>

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
// Stands in for MS UI Gothic: the status bar's face, and the user-interface
// face the windows' layout was drawn for, which the other controls use.
inline QFont uiGothic(const QFont &base) { return withFamily(base, QStringLiteral("IPAGothic"), 9.0); }

// Widens a control whose caption does not fit, to the right but not past
// rightLimit (the next control, or the window's edge); the layout was
// drawn for a narrower face than some desktops have.
inline void fitCaption(QWidget *w, int rightLimit)
{
    const int need = w->sizeHint().width();
    if (need > w->width())
        w->resize(qMax(w->width(), qMin(need, rightLimit - w->x())), w->height());
}

} // namespace fonts
