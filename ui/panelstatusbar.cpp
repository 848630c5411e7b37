#include "ui/panelstatusbar.h"

#include "ui/twips.h"

#include <QLabel>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

namespace {
// Space between two panels, and between the bar's edge and the first one.
constexpr int kGapPx = 2;
} // namespace

PanelStatusBar::PanelStatusBar(const QList<int> &widthsTwips, QWidget *parent)
    : QWidget(parent),
      m_widthsTwips(widthsTwips)
{
    for (qsizetype i = 0; i < m_widthsTwips.size(); ++i) {
        auto *label = new QLabel(this);
        label->setObjectName(QStringLiteral("panel%1").arg(i + 1));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setIndent(3);
        m_panels.append(label);
    }
    placePanels();

    m_clock.setSingleShot(true);
    m_clock.setTimerType(Qt::PreciseTimer);
    connect(&m_clock, &QTimer::timeout, this, &PanelStatusBar::updateClock);
    updateClock();
}

QString PanelStatusBar::panelText(int panel) const
{
    return m_panels.at(panel - 1)->text();
}

void PanelStatusBar::setPanelText(int panel, const QString &text)
{
    m_panels.at(panel - 1)->setText(text);
}

QLabel *PanelStatusBar::panel(int panel) const
{
    return m_panels.at(panel - 1);
}

QString PanelStatusBar::clockText(const QTime &t)
{
    // The system's short time format, hours and minutes only (some locales
    // put the seconds into it as well).
    static const QString format = [] {
        QString f = QLocale::system().timeFormat(QLocale::ShortFormat);
        f.remove(QRegularExpression(QStringLiteral("[^hHmaAp]*s+(\\.z+)?")));
        return f.trimmed();
    }();
    return QLocale::system().toString(t, format);
}

void PanelStatusBar::updateClock()
{
    const QTime now = QTime::currentTime();
    m_panels.constLast()->setText(clockText(now));
    // Wake again just after the next minute begins.
    const int msToNextMinute = 60000 - now.msecsSinceStartOfDay() % 60000;
    m_clock.start(msToNextMinute + 20);
}

void PanelStatusBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placePanels();
}

void PanelStatusBar::placePanels()
{
    int x = 0;
    for (qsizetype i = 0; i < m_panels.size(); ++i) {
        const int w = twips::toPx(m_widthsTwips.at(i), logicalDpiX());
        m_panels.at(i)->setGeometry(x, kGapPx, w - kGapPx, height() - kGapPx);
        x += w;
    }
}
