#pragma once

#include "viewer/windstats.h"

#include <QChartView>

class QAreaSeries;
class QCategoryAxis;
class QLineSeries;

// The wind rose: 16 sectors around the compass (north up, clockwise), each a
// wedge whose length is the percent of records from that direction, stacked
// by speed class from calm outwards. One area series per speed class, named
// after the class; its outer line holds the stacked share up to and
// including that class, so the outermost line at a sector's centre angle is
// the sector's whole share. The wedges start from a small circle round the
// centre, where the radial axis's "0 %" stands clear of the compass lines.
class WindRoseView : public QChartView
{
    Q_OBJECT

public:
    explicit WindRoseView(QWidget *parent = nullptr);

    void showStats(const WindStats &stats);

private:
    void setClassNames(const SpeedUnit &unit);
    void setWedges(int cls, const WindStats &stats);

    QCategoryAxis *m_radial = nullptr;
    QCategoryAxis *m_angular = nullptr;
    QList<QAreaSeries *> m_classes;
    QString m_unitSymbol;
};
