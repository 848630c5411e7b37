#pragma once

#include <QList>
#include <QTimer>
#include <QWidget>

class QLabel;

// A status bar of fixed-width panels with inset bevels, numbered from 1.
// The last panel is a clock (hours and minutes) that keeps itself current:
// a timer wakes it at the start of every minute. The bar has no layout: the
// panels keep their widths whatever the bar's width, and a panel that runs
// past the right edge is cut off.
class PanelStatusBar : public QWidget
{
    Q_OBJECT

public:
    // widthsTwips: the width of each panel; the last one is the clock.
    explicit PanelStatusBar(const QList<int> &widthsTwips, QWidget *parent = nullptr);

    QString panelText(int panel) const;
    void setPanelText(int panel, const QString &text);
    // The panel itself, for looking at its geometry.
    QLabel *panel(int panel) const;

    // The text the clock panel shows for a time of day.
    static QString clockText(const QTime &t);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateClock();
    void placePanels();

    QList<int> m_widthsTwips;
    QList<QLabel *> m_panels;
    QTimer m_clock;
};
