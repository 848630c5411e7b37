#pragma once

#include <QCheckBox>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QString>
#include <QStyle>
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

// The windows' own face: the desktop's default user-interface family, at the
// 8-point size the layout was drawn for (the default size of most desktops
// is larger and would not fit the captions into their places).
inline QFont userInterface(const QFont &base)
{
    QFont f = base;
    f.setPointSizeF(8.0);
    return f;
}

// Stands in for MS Mincho: the serif face of the message box.
inline QFont mincho(const QFont &base)
{
    return withFamily(base, QStringLiteral("IPAMincho"), 11.25);
}
// Stands in for MS UI Gothic: the status bar's face.
inline QFont uiGothic(const QFont &base)
{
    return withFamily(base, QStringLiteral("IPAGothic"), 9.0);
}

// The width a check box or a label needs to show its caption whole.
inline int captionWidth(const QWidget *w)
{
    const QFontMetrics fm(w->font());
    if (const auto *box = qobject_cast<const QCheckBox *>(w)) {
        const QStyle *style = box->style();
        return fm.horizontalAdvance(box->text()) + style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box)
            + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box) + 2;
    }
    if (const auto *label = qobject_cast<const QLabel *>(w))
        return fm.horizontalAdvance(label->text()) + 2 * label->margin() + 2;
    return w->sizeHint().width();
}

// Widens a control whose caption does not fit: to the right up to
// rightLimit (the next control, or the window's edge), then to the left
// down to leftLimit (the control before it); the layout was drawn for a
// narrower face than some desktops have.
inline void fitCaption(QWidget *w, int leftLimit, int rightLimit)
{
    const int need = captionWidth(w);
    if (need <= w->width())
        return;
    const int right = qMax(w->x() + w->width(), qMin(w->x() + need, rightLimit));
    const int left = qMin(w->x(), qMax(right - need, leftLimit));
    w->setGeometry(left, w->y(), right - left, w->height());
}

} // namespace fonts
