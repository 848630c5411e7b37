#pragma once

#include <QChartView>

class QDateTimeAxis;
class QValueAxis;

// A chart over time that the user zooms and pans along the time axis:
//   mouse: drag a span to zoom into it, wheel to zoom around the pointer,
//          Shift+drag or middle-drag to pan, right click to zoom out,
//          double click to show everything;
//   keys:  + and - zoom, Left and Right pan, Home shows everything.
// Every change of the shown span is reported by spanChanged, so two charts
// can follow each other.
class TimeChartView : public QChartView
{
    Q_OBJECT

public:
    explicit TimeChartView(const QString &valueTitle, QWidget *parent = nullptr);

    QDateTimeAxis *timeAxis() const { return m_timeAxis; }
    QValueAxis *valueAxis() const { return m_valueAxis; }

    // The span Home and double click return to, in epoch milliseconds,
    // widened to round times of the tick step that fits.
    void setFullSpan(qint64 fromMs, qint64 toMs);
    // Shows a span (kept within the full span, at least kMinSpanMs long).
    void setSpan(qint64 fromMs, qint64 toMs);
    qint64 spanFrom() const;
    qint64 spanTo() const;
    bool showsFullSpan() const;
    void showFullSpan() { setSpan(m_fullFrom, m_fullTo); }
    // Zooms by `factor` (below 1 zooms in) around a point at `anchor`
    // (0 left edge .. 1 right edge); pans by a fraction of the span.
    void zoom(double factor, double anchor = 0.5);
    void pan(double fraction);

signals:
    void spanChanged(qint64 fromMs, qint64 toMs);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    static constexpr qint64 kMinSpanMs = 10000;
    double anchorAt(const QPointF &viewPos) const;
    void fitTicks();
    int tickRoom(const QString &format) const;

    QDateTimeAxis *m_timeAxis = nullptr;
    QValueAxis *m_valueAxis = nullptr;
    qint64 m_fullFrom = 0;
    qint64 m_fullTo = kMinSpanMs;
    int m_fullSteps = 0; // round steps of the full span; 0: not widened
    bool m_panning = false;
    QPointF m_panFrom;
};
