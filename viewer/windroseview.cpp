#include "viewer/windroseview.h"

#include <QAreaSeries>
#include <QCategoryAxis>
#include <QLineSeries>
#include <QPolarChart>

#include <cmath>

namespace {

constexpr double kFullCircle = 360.0;
constexpr double kSectorWidth = kFullCircle / WindStats::kSectors;
constexpr double kGap = 1.5; // degrees left free between wedges
constexpr int kArcSteps = 6; // straight pieces per wedge edge
constexpr double kShareStep = 5.0; // radial grid, percent
constexpr int kCompassPoints = 8;
constexpr int kBorderDarker = 150; // QColor::darker's percent
constexpr double kHole = 0.5; // the centre circle, of the radial range

// Colours that tell the classes apart in print and to most colour-blind
// eyes, in an order that still reads from gentle to strong.
const QColor kClassColours[SpeedUnit::kClasses] = {
    QColor(0x9e, 0xca, 0xe1), QColor(0x41, 0xab, 0x5d), QColor(0xfe, 0xd9, 0x76),
    QColor(0xfd, 0x8d, 0x3c), QColor(0xe3, 0x1a, 0x1c), QColor(0x6a, 0x1b, 0x9a),
};

// One wedge edge at radius r from angle a to b (b > a), appended in order.
void arc(QList<QPointF> &points, double a, double b, double r)
{
    for (int i = 0; i <= kArcSteps; ++i)
        points.append(QPointF(a + (b - a) * i / kArcSteps, r));
}

} // namespace

WindRoseView::WindRoseView(QWidget *parent)
    : QChartView(new QPolarChart, parent)
{
    auto *polar = static_cast<QPolarChart *>(chart());
    polar->setTitle(tr("Wind rose"));
    polar->legend()->setAlignment(Qt::AlignRight);
    m_angular = new QCategoryAxis;
    m_angular->setRange(0, kFullCircle);
    m_angular->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    const char *names[kCompassPoints] = {"NE", "E", "SE", "S", "SW", "W", "NW", "N"};
    for (int i = 0; i < kCompassPoints; ++i)
        m_angular->append(QString::fromLatin1(names[i]), kFullCircle * (i + 1) / kCompassPoints);
    m_radial = new QCategoryAxis;
    m_radial->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    polar->addAxis(m_angular, QPolarChart::PolarOrientationAngular);
    polar->addAxis(m_radial, QPolarChart::PolarOrientationRadial);

    for (int cls = 0; cls < SpeedUnit::kClasses; ++cls) {
        auto *area = new QAreaSeries(new QLineSeries(polar), new QLineSeries(polar));
        area->setColor(kClassColours[cls]);
        area->setBorderColor(kClassColours[cls].darker(kBorderDarker));
        polar->addSeries(area);
        area->attachAxis(m_angular);
        area->attachAxis(m_radial);
        m_classes.append(area);
    }
    setRenderHint(QPainter::Antialiasing);
    showStats(WindStats());
}

void WindRoseView::setClassNames(const SpeedUnit &unit)
{
    // The unit once, in the title: a narrow legend leaves the rose room.
    const QString suffix = QLatin1Char(' ') + unit.symbol;
    for (int cls = 0; cls < SpeedUnit::kClasses; ++cls) {
        QString label = unit.classLabel(cls);
        if (label.endsWith(suffix))
            label.chop(suffix.size());
        m_classes[cls]->setName(label);
    }
    m_unitSymbol = unit.symbol;
}

// Class `cls` stacked on the classes below it, as wedges: the outer line
// runs out along a wedge's edge, round its arc and back in; the inner line
// runs round the arc below. Between wedges both lines take the same path,
// so nothing is filled there. The north wedge straddles 0°, so it is drawn
// in two halves, at the start and at the end.
void WindRoseView::setWedges(int cls, const WindStats &stats)
{
    auto stacked = [&](int sector, int upTo) {
        double sum = 0.0;
        for (int c = 0; c <= upTo; ++c)
            sum += stats.share(sector, c);
        return sum;
    };
    QList<QPointF> outer, inner;
    auto wedge = [&](int sector, double a, double b) {
        const double low = cls > 0 ? stacked(sector, cls - 1) : 0.0, high = stacked(sector, cls);
        outer.append(QPointF(a, low));
        arc(outer, a, b, high);
        outer.append(QPointF(b, low));
        inner.append(QPointF(a, low));
        arc(inner, a, b, low);
        inner.append(QPointF(b, low));
    };
    const double half = kSectorWidth / 2 - kGap / 2;
    wedge(0, 0.0, half);
    for (int sector = 1; sector < WindStats::kSectors; ++sector)
        wedge(sector, sector * kSectorWidth - half, sector * kSectorWidth + half);
    wedge(0, kFullCircle - half, kFullCircle);
    m_classes[cls]->upperSeries()->replace(outer);
    m_classes[cls]->lowerSeries()->replace(inner);
}

void WindRoseView::showStats(const WindStats &stats)
{
    setClassNames(stats.unit());
    double largest = 0.0;
    for (int sector = 0; sector < WindStats::kSectors; ++sector)
        largest = std::max(largest, stats.sectorShare(sector));
    for (int cls = 0; cls < SpeedUnit::kClasses; ++cls)
        setWedges(cls, stats);
    const double top = std::max(kShareStep, std::ceil(largest / kShareStep) * kShareStep);
    // A ring every kShareStep percent, labelled; none inside the centre circle.
    for (const QString &label : m_radial->categoriesLabels())
        m_radial->remove(label);
    const double hole = top * kHole;
    m_radial->setStartValue(-hole);
    for (int i = 0; i * kShareStep <= top; ++i)
        m_radial->append(QStringLiteral("%1 %").arg(i * kShareStep), i * kShareStep);
    m_radial->setRange(-hole, top);
    chart()->setTitle(tr("Wind rose, speeds in %1; calm %2 %").arg(m_unitSymbol).arg(stats.calmShare(), 0, 'f', 1));
}
