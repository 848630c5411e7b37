#pragma once

#include <QPaintDevice>
#include <QRect>
#include <QSize>
#include <QtMath>

// The windows' geometry is kept in twips (1/1440 inch) and turned into
// pixels with the screen's logical resolution, so the windows keep their
// proportions on any screen: 15 twips per pixel at 96 dpi.
namespace twips {

inline int toPx(int twips, qreal logicalDpi)
{
    return qRound(twips * logicalDpi / 1440.0);
}

inline QRect rect(const QPaintDevice &dev, int left, int top, int width, int height)
{
    const qreal dx = dev.logicalDpiX();
    const qreal dy = dev.logicalDpiY();
    return QRect(toPx(left, dx), toPx(top, dy), toPx(width, dx), toPx(height, dy));
}

inline QSize size(const QPaintDevice &dev, int width, int height)
{
    return QSize(toPx(width, dev.logicalDpiX()), toPx(height, dev.logicalDpiY()));
}

} // namespace twips
