#include "viewer/timechartview.h"

#include <QDateTime>
#include <QDateTimeAxis>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kZoomStep = 0.5; // + halves the span, - doubles it
constexpr double kWheelStep = 0.8; // per notch
constexpr double kPanStep = 0.25; // arrow keys, of the span
constexpr int kWheelNotch = 120;
constexpr qint64 kMinute = 60 * 1000, kHour = 60 * kMinute, kDay = 24 * kHour;
constexpr int kMaxTimeTicks = 7, kMinTimeTicks = 3;
constexpr int kLabelGap = 24; // pixels at least between two time labels
constexpr int kMargin = 4; // pixels round the plot
constexpr qint64 kMonths = 60 * kDay;

constexpr qint64 kSecond = 1000;
// Tick steps at round times, the smallest that fits is taken.
constexpr qint64 kNiceSteps[] = {kSecond,      2 * kSecond,  5 * kSecond, 10 * kSecond, 15 * kSecond,
                                 30 * kSecond, kMinute,      2 * kMinute, 5 * kMinute,  10 * kMinute,
                                 15 * kMinute, 30 * kMinute, kHour,       2 * kHour,    3 * kHour,
                                 6 * kHour,    12 * kHour,   kDay,        2 * kDay,     7 * kDay,
                                 14 * kDay,    28 * kDay,    91 * kDay,   182 * kDay,   364 * kDay};

constexpr qint64 kMostWidening = 5; // the full span grows by at most a fifth for round ticks

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Labels as fine as the span needs; a span of days shows the date above
// the time of day, so that ticks of one day are told apart.
QString formatFor(qint64 spanMs)
{
    if (spanMs >= kMonths)
        return QStringLiteral("yyyy-MM-dd");
    if (spanMs >= kDay)
        return QStringLiteral("MM-dd'<br>'hh:mm");
    if (spanMs >= 10 * kMinute)
        return QStringLiteral("hh:mm");
    return QStringLiteral("hh:mm:ss");
}
} // namespace

TimeChartView::TimeChartView(const QString &valueTitle, QWidget *parent)
    : QChartView(new QChart, parent),
      m_timeAxis(new QDateTimeAxis),
      m_valueAxis(new QValueAxis)
{
    chart()->legend()->hide();
    chart()->setMargins(QMargins(kMargin, kMargin, kMargin, kMargin));
    m_timeAxis->setTickCount(kMaxTimeTicks);
    m_valueAxis->setTitleText(valueTitle);
    chart()->addAxis(m_timeAxis, Qt::AlignBottom);
    chart()->addAxis(m_valueAxis, Qt::AlignLeft);
    setRenderHint(QPainter::Antialiasing);
    setRubberBand(QChartView::HorizontalRubberBand);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(tr("Drag to zoom into a span, wheel to zoom, Shift+drag to pan, double click for all.\n"
                  "Keys: + and - zoom, Left and Right pan, Home shows all."));
    connect(m_timeAxis, &QDateTimeAxis::rangeChanged, this, [this](const QDateTime &from, const QDateTime &to) {
        m_timeAxis->setFormat(formatFor(from.msecsTo(to)));
        fitTicks();
        emit spanChanged(from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch());
    });
}

// As many time ticks as their labels leave room for.
// How many time labels in `format` the plot's width holds.
int TimeChartView::tickRoom(const QString &format) const
{
    const QFontMetrics metrics(m_timeAxis->labelsFont());
    QString widest = QDateTime(QDate(2000, 12, 28), QTime(20, 58, 58)).toString(format);
    widest = widest.split(QStringLiteral("<br>")).first();
    const int label = metrics.horizontalAdvance(widest) + kLabelGap;
    const int width = int(chart()->plotArea().width() > 0 ? chart()->plotArea().width() : this->width());
    return std::clamp(width / std::max(label, 1) + 1, kMinTimeTicks, kMaxTimeTicks);
}

// The whole span shows its round ticks (every step, or every k-th when
// the labels would not fit); a zoomed span as many as fit.
void TimeChartView::fitTicks()
{
    const int room = tickRoom(m_timeAxis->format());
    int ticks = room;
    if (m_fullSteps > 0 && spanFrom() == m_fullFrom && spanTo() == m_fullTo) {
        for (int k = 1; k <= m_fullSteps; ++k) {
            if (m_fullSteps % k == 0 && m_fullSteps / k + 1 <= room) {
                ticks = m_fullSteps / k + 1 >= kMinTimeTicks ? m_fullSteps / k + 1 : room;
                break;
            }
        }
    }
    m_timeAxis->setTickCount(ticks);
}

void TimeChartView::resizeEvent(QResizeEvent *event)
{
    QChartView::resizeEvent(event);
    fitTicks();
}

void TimeChartView::setFullSpan(qint64 fromMs, qint64 toMs)
{
    if (toMs - fromMs < kMinSpanMs) {
        const qint64 middle = fromMs + (toMs - fromMs) / 2;
        fromMs = middle - kMinSpanMs / 2;
        toMs = fromMs + kMinSpanMs;
    }
    // Widened to whole steps of local time, so that the ticks fall on round
    // times: the smallest step that gives at most kMaxTimeTicks ticks.
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(fromMs).offsetFromUtc()) * kSecond;
    m_fullFrom = fromMs;
    m_fullTo = toMs;
    m_fullSteps = 0;
    for (qint64 step : kNiceSteps) {
        const qint64 from = floorDiv(fromMs + offset, step) * step - offset;
        const qint64 steps = floorDiv(toMs - from + step - 1, step);
        // Not at the cost of much empty chart (a change of the clocks in a
        // span of days shifts its midnights by an hour): then as it is.
        if (steps > kMaxTimeTicks - 1)
            continue;
        if (steps * step - (toMs - fromMs) <= (toMs - fromMs) / kMostWidening) {
            m_fullFrom = from;
            m_fullTo = from + steps * step;
            m_fullSteps = int(steps);
        }
        break;
    }
}

void TimeChartView::setSpan(qint64 fromMs, qint64 toMs)
{
    const qint64 full = m_fullTo - m_fullFrom;
    qint64 span = std::clamp(toMs - fromMs, std::min(kMinSpanMs, full), full);
    fromMs = std::clamp(fromMs, m_fullFrom, m_fullTo - span);
    toMs = fromMs + span;
    if (fromMs == spanFrom() && toMs == spanTo())
        return;
    m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(fromMs), QDateTime::fromMSecsSinceEpoch(toMs));
}

qint64 TimeChartView::spanFrom() const
{
    return m_timeAxis->min().toMSecsSinceEpoch();
}

qint64 TimeChartView::spanTo() const
{
    return m_timeAxis->max().toMSecsSinceEpoch();
}

bool TimeChartView::showsFullSpan() const
{
    return spanFrom() <= m_fullFrom && spanTo() >= m_fullTo;
}

void TimeChartView::zoom(double factor, double anchor)
{
    const double from = double(spanFrom()), span = double(spanTo() - spanFrom());
    const double at = from + anchor * span, newSpan = span * factor;
    const qint64 newFrom = qint64(at - anchor * newSpan);
    setSpan(newFrom, newFrom + qint64(newSpan));
}

void TimeChartView::pan(double fraction)
{
    const qint64 shift = qint64(double(spanTo() - spanFrom()) * fraction);
    setSpan(spanFrom() + shift, spanTo() + shift);
}

double TimeChartView::anchorAt(const QPointF &viewPos) const
{
    const QRectF area = chart()->plotArea();
    const QPointF at = chart()->mapFromScene(mapToScene(viewPos.toPoint()));
    return area.width() > 0 ? std::clamp((at.x() - area.left()) / area.width(), 0.0, 1.0) : 0.5;
}

void TimeChartView::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom(kZoomStep);
        break;
    case Qt::Key_Minus:
        zoom(1.0 / kZoomStep);
        break;
    case Qt::Key_Left:
        pan(-kPanStep);
        break;
    case Qt::Key_Right:
        pan(kPanStep);
        break;
    case Qt::Key_Home:
        showFullSpan();
        break;
    default:
        QChartView::keyPressEvent(event);
    }
}

void TimeChartView::wheelEvent(QWheelEvent *event)
{
    const double notches = double(event->angleDelta().y()) / kWheelNotch;
    if (notches != 0.0)
        zoom(std::pow(kWheelStep, notches), anchorAt(event->position()));
    event->accept();
}

void TimeChartView::mousePressEvent(QMouseEvent *event)
{
    const bool panButton = event->button() == Qt::MiddleButton
        || (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier));
    if (!panButton) {
        QChartView::mousePressEvent(event);
        return;
    }
    m_panning = true;
    m_panFrom = event->position();
    event->accept();
}

void TimeChartView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_panning) {
        QChartView::mouseMoveEvent(event);
        return;
    }
    const double width = chart()->plotArea().width();
    if (width > 0)
        pan((m_panFrom.x() - event->position().x()) / width);
    m_panFrom = event->position();
    event->accept();
}

void TimeChartView::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_panning) {
        m_panning = false;
        event->accept();
        return;
    }
    if (event->button() == Qt::RightButton) {
        zoom(1.0 / kZoomStep);
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void TimeChartView::mouseDoubleClickEvent(QMouseEvent *event)
{
    showFullSpan();
    event->accept();
}
