#include "viewer/viewerwindow.h"

#include "viewer/timechartview.h"
#include "viewer/windroseview.h"
#include "common/timeunits.h"

#include <QApplication>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineSeries>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QSplitter>
#include <QSvgGenerator>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kFullCircle = 360.0;
constexpr int kDirectionTicks = 5;       // 0, 90, 180, 270, 360
constexpr double kHeadroom = 1.05;       // above the highest speed shown
constexpr int kSpeedSteps = 5;           // about this many grid steps on the speed axis
constexpr int kRoseStretch = 2, kTimeStretch = 3, kSplitUnit = 1000;
constexpr qreal kDotPen = 1.5;           // the direction dots' size

constexpr qint64 kOpenStart = std::numeric_limits<qint64>::min();
constexpr qint64 kOpenEnd = std::numeric_limits<qint64>::max();

// The date of local seconds; invalid for an open end.
QDate dateOf(qint64 localSeconds)
{
    if (localSeconds == kOpenStart || localSeconds == kOpenEnd)
        return {};
    return DayRecord::dateOf(localSeconds);
}

// A round grid step (1, 2 or 5 times a power of ten) giving about
// kSpeedSteps steps up to `top`.
double roundStep(double top)
{
    const double raw = top / kSpeedSteps, power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0}) {
        if (m * power >= raw)
            return m * power;
    }
    return 10.0 * power;
}

QString dateTimeText(qint64 localSeconds)
{
    const QDate date = DayRecord::dateOf(localSeconds);
    const int second = int(localSeconds - DayRecord::localSecondsOf(date, 0));
    return date.toString(Qt::ISODate) + QLatin1Char(' ')
           + QTime::fromMSecsSinceStartOfDay(second * int(kMsPerSecond)).toString(Qt::ISODate);
}

} // namespace

ViewerWindow::ViewerWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(tr("SORVIK-7 Viewer"));
    buildCharts();
    buildMenus();
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshMs);
    m_settleTimer.setSingleShot(true);
    m_settleTimer.setInterval(kSettleMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &ViewerWindow::refresh);
    connect(&m_settleTimer, &QTimer::timeout, this, &ViewerWindow::onSpanSettled);
    connect(&m_loader, &WindLoader::recordsAdded, &m_refreshTimer, qOverload<>(&QTimer::start));
    connect(&m_loader, &WindLoader::loaded, this, [this] {
        refresh();
        emit loaded();
    });
    connect(&m_detailLoader, &WindLoader::loaded, this, [this] {
        m_detailShown = true;
        refreshTimeCharts();
    });
}

ViewerWindow::~ViewerWindow() = default;

void ViewerWindow::buildCharts()
{
    m_speedView = new TimeChartView(tr("Mean speed"));
    m_speedSeries = new QLineSeries;
    m_speedSeries->setName(QStringLiteral("speed"));
    m_directionView = new TimeChartView(tr("Direction (°)"));
    m_directionSeries = new QLineSeries;
    m_directionSeries->setName(QStringLiteral("direction"));
    // Points only: a line between directions that jump across north says nothing.
    QPen dots(QColor(0x21, 0x71, 0xb5), kDotPen);
    dots.setStyle(Qt::NoPen);
    m_directionSeries->setPen(dots);
    m_directionSeries->setPointsVisible(true);
    for (auto [view, series] : {std::pair{m_speedView, m_speedSeries}, std::pair{m_directionView, m_directionSeries}}) {
        view->chart()->addSeries(series);
        series->attachAxis(view->timeAxis());
        series->attachAxis(view->valueAxis());
        connect(view, &TimeChartView::spanChanged, this,
                [this, view](qint64 from, qint64 to) { onSpanChanged(view, from, to); });
    }
    m_directionView->valueAxis()->setRange(0, kFullCircle);
    m_directionView->valueAxis()->setTickCount(kDirectionTicks);
    m_directionView->valueAxis()->setLabelFormat(QStringLiteral("%.0f"));
    m_rose = new WindRoseView;
    m_summary = new QLabel;
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setWordWrap(true);

    auto *times = new QSplitter(Qt::Vertical);
    times->addWidget(m_speedView);
    times->addWidget(m_directionView);
    auto *charts = new QSplitter(Qt::Horizontal);
    charts->addWidget(times);
    charts->addWidget(m_rose);
    charts->setStretchFactor(0, kTimeStretch);
    charts->setStretchFactor(1, kRoseStretch);
    charts->setSizes({kTimeStretch * kSplitUnit, kRoseStretch * kSplitUnit});
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(charts, 1);
    layout->addWidget(m_summary);
    setCentralWidget(central);
}

void ViewerWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("&Open Files..."), QKeySequence::Open, this, &ViewerWindow::onOpenFiles);
    file->addAction(tr("Open &Folder..."), this, &ViewerWindow::onOpenFolder);
    file->addAction(tr("&Save Picture..."), QKeySequence::Save, this, &ViewerWindow::onSavePicture);
    file->addSeparator();
    file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);
    QMenu *view = menuBar()->addMenu(tr("&View"));
    view->addAction(tr("Show &All"), QKeySequence(Qt::Key_Home), m_speedView, &TimeChartView::showFullSpan);
}

void ViewerWindow::setLimits(qint64 from, qint64 to)
{
    m_from = from;
    m_to = to;
}

bool ViewerWindow::openPaths(const QStringList &paths, bool follow, QString &error)
{
    QList<DayFile> files;
    if (!DayFiles::collect(paths, files, error))
        return false;
    m_files = DayFiles::between(files, dateOf(m_from), dateOf(m_to));

    QString folder;
    if (follow && paths.size() == 1 && QFileInfo(paths.first()).isDir())
        folder = paths.first();
    else if (follow && !m_files.isEmpty() && m_files.last().date == QDate::currentDate())
        folder = QFileInfo(m_files.last().path).absolutePath();

    m_detailLoader.stop();
    m_stats.clear();
    m_overview.clear();
    m_detail.clear();
    m_detailShown = false;
    m_showAll = true;
    setWindowTitle(tr("SORVIK-7 Viewer – %1").arg(paths.size() == 1 ? QFileInfo(paths.first()).fileName()
                                                                       : tr("%n files", nullptr, int(m_files.size()))));
    m_loader.start(m_files, [this](const DayRecord &r) { addRecord(r); }, folder);
    refresh();
    return true;
}

void ViewerWindow::addRecord(const DayRecord &record)
{
    const qint64 t = record.localSeconds();
    if (t < m_from || t > m_to)
        return;
    m_stats.add(record);
    const double speed = m_stats.speedOf(record);
    m_overview.add(t, speed, record.direction);
    if (m_detailShown && t >= m_detailFrom && t <= m_detailTo)
        m_detail.add(t, speed, record.direction);
}

void ViewerWindow::readAllNow()
{
    m_loader.readAll();
    refresh();
}

void ViewerWindow::refresh()
{
    m_refreshTimer.stop();
    refreshTimeCharts();
    m_rose->showStats(m_stats);
    refreshSummary();
}

void ViewerWindow::refreshTimeCharts()
{
    const TimeBuckets &shown = m_detailShown ? m_detail : m_overview;
    const QList<QPointF> speeds = shown.speedPoints();
    m_speedSeries->replace(speeds);
    m_directionSeries->replace(shown.directionPoints());
    double low = 0.0, high = 1.0;
    for (const QPointF &p : speeds) {
        low = std::min(low, p.y());
        high = std::max(high, p.y());
    }
    const double step = roundStep((high - low) * kHeadroom);
    const double bottom = std::floor(low * kHeadroom / step) * step, top = std::ceil(high * kHeadroom / step) * step;
    m_speedView->valueAxis()->setRange(bottom, top);
    m_speedView->valueAxis()->setTickCount(int(std::lround((top - bottom) / step)) + 1);
    m_speedView->valueAxis()->setTitleText(speedTitle());
    if (m_overview.count() == 0)
        return;
    const bool wasFull = m_showAll || m_speedView->showsFullSpan();
    m_showAll = false;
    const qint64 from = TimeBuckets::toEpochMs(m_overview.firstSeconds());
    const qint64 to = TimeBuckets::toEpochMs(m_overview.lastSeconds()) + kMsPerSecond;
    for (TimeChartView *view : {m_speedView, m_directionView}) {
        view->setFullSpan(from, to);
        if (wasFull)
            view->showFullSpan();
    }
}

QString ViewerWindow::speedTitle() const
{
    QString title;
    if (m_stats.records() == 0)
        title = tr("Mean speed");
    else if (m_stats.unitKnown())
        title = tr("Mean speed, %1 = %2 (%3)").arg(QChar::fromLatin1(m_stats.unit().letter), m_stats.unit().name, m_stats.unit().symbol);
    else
        title = tr("Mean speed, units %1").arg(QString::fromLatin1(m_stats.unitText()));
    if (m_stats.foreignUnits() > 0)
        title += tr("; %n records in other units", nullptr, int(m_stats.foreignUnits()));
    return title;
}

void ViewerWindow::refreshSummary()
{
    const DayFileReader::Counts counts = m_loader.counts();
    QStringList parts;
    parts << tr("%n records", nullptr, int(m_stats.records()));
    if (m_stats.records() > 0) {
        parts << tr("%1 to %2").arg(dateTimeText(m_stats.firstSeconds()), dateTimeText(m_stats.lastSeconds()));
        const QString symbol = m_stats.unitKnown() ? m_stats.unit().symbol : QString::fromLatin1(m_stats.unitText());
        parts << tr("mean %1 %3, max %2 %3").arg(m_stats.meanSpeed(), 0, 'f', 2).arg(m_stats.maxSpeed(), 0, 'f', 2).arg(symbol);
        parts << tr("calm %1 %").arg(m_stats.calmShare(), 0, 'f', 1);
    }
    QStringList reasons;
    for (int r = 0; r < DayFileReader::SkipKinds; ++r) {
        if (counts.skipped[r] > 0)
            reasons << QStringLiteral("%1 %2").arg(counts.skipped[r]).arg(DayFileReader::skipText(DayFileReader::Skip(r)));
    }
    parts << (reasons.isEmpty() ? tr("no lines skipped")
                                : tr("%n lines skipped: ", nullptr, int(counts.skippedLines())) + reasons.join(QStringLiteral(", ")));
    const QStringList problems = m_loader.problems();
    if (!problems.isEmpty())
        parts << tr("%n problems (see tooltip)", nullptr, int(problems.size()));
    if (m_loader.isLoading())
        parts << tr("reading file %1 of %2").arg(m_loader.filesRead()).arg(m_loader.fileCount());
    else if (!m_loader.followedFile().isEmpty())
        parts << tr("following %1").arg(QFileInfo(m_loader.followedFile()).fileName());
    m_summary->setText(parts.join(QStringLiteral("  ·  ")));
    m_summary->setToolTip(problems.join(QLatin1Char('\n')));
}

void ViewerWindow::onSpanChanged(TimeChartView *from, qint64 fromMs, qint64 toMs)
{
    if (m_syncing)
        return;
    m_syncing = true;
    (from == m_speedView ? m_directionView : m_speedView)->setSpan(fromMs, toMs);
    m_syncing = false;
    m_settleTimer.start();
}

// Once the user has stopped zooming: the overview when it resolves the
// shown span well enough, else a finer reading of that span (and as much
// again on either side, for panning).
void ViewerWindow::onSpanSettled()
{
    const qint64 width = m_overview.bucketSeconds();
    const qint64 from = TimeBuckets::toLocalSeconds(m_speedView->spanFrom());
    const qint64 to = TimeBuckets::toLocalSeconds(m_speedView->spanTo());
    if (width == 0 || (to - from) / width >= kMinVisibleBuckets) {
        if (m_detailShown || m_detailLoader.isLoading()) {
            m_detailLoader.stop();
            m_detailShown = false;
            refreshTimeCharts();
        }
        return;
    }
    const qint64 detailWidth = m_detail.bucketSeconds();
    const bool covered = m_detailShown && from >= m_detailFrom && to <= m_detailTo;
    if (covered && (detailWidth == 0 || (to - from) / detailWidth >= kMinVisibleBuckets))
        return;
    loadDetail(from - (to - from), to + (to - from));
}

void ViewerWindow::loadDetail(qint64 from, qint64 to)
{
    m_detailShown = false;
    m_detail.clear();
    m_detailFrom = std::max(from, m_from);
    m_detailTo = std::min(to, m_to);
    m_detailLoader.start(DayFiles::between(m_files, dateOf(m_detailFrom), dateOf(m_detailTo)),
                         [this](const DayRecord &r) {
                             const qint64 t = r.localSeconds();
                             if (t >= m_detailFrom && t <= m_detailTo)
                                 m_detail.add(t, m_stats.speedOf(r), r.direction);
                         });
}

bool ViewerWindow::savePicture(const QString &path, QString &error)
{
    QWidget *content = centralWidget();
    QApplication::processEvents(); // let the charts lay themselves out
    if (path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(content->size());
        svg.setViewBox(content->rect());
        svg.setTitle(windowTitle());
        QPainter painter;
        if (!painter.begin(&svg)) {
            error = tr("cannot write %1").arg(path);
            return false;
        }
        content->render(&painter);
        return painter.end();
    }
    const char *format = QFileInfo(path).suffix().isEmpty() ? "PNG" : nullptr;
    if (!content->grab().save(path, format)) {
        error = tr("cannot write %1").arg(path);
        return false;
    }
    return true;
}

void ViewerWindow::onOpenFiles()
{
    const QStringList paths = QFileDialog::getOpenFileNames(this, tr("Open Day Files"), QString(),
                                                            tr("Day files (*.SVK *.svk);;All files (*)"));
    QString error;
    if (!paths.isEmpty() && !openPaths(paths, true, error))
        QMessageBox::warning(this, windowTitle(), error);
}

void ViewerWindow::onOpenFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Open Data Folder"));
    QString error;
    if (!folder.isEmpty() && !openPaths({folder}, true, error))
        QMessageBox::warning(this, windowTitle(), error);
}

void ViewerWindow::onSavePicture()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Picture"), QStringLiteral("wind.png"),
                                                      tr("PNG picture (*.png);;SVG drawing (*.svg)"));
    QString error;
    if (!path.isEmpty() && !savePicture(path, error))
        QMessageBox::warning(this, windowTitle(), error);
}
