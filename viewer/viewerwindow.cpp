#include "viewer/viewerwindow.h"

#include "common/nativepath.h"
#include "common/savefile.h"
#include "common/timeunits.h"
#include "viewer/statsexport.h"
#include "viewer/timechartview.h"
#include "viewer/windroseview.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScatterSeries>
#include <QSplitter>
#include <QSvgGenerator>
#include <QTimeZone>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include <sys/stat.h>

namespace {

constexpr double kFullCircle = 360.0;
constexpr int kDirectionTicks = 5; // 0, 90, 180, 270, 360
constexpr double kHeadroom = 1.05; // above the highest speed shown
constexpr int kSpeedSteps = 5; // about this many grid steps on the speed axis
constexpr int kRoseStretch = 2, kTimeStretch = 3, kSplitUnit = 1000;
constexpr qreal kDotPen = 1.5; // the direction dots' size

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

// The local date of a UTC moment in seconds.
QDate localDateOfUtc(qint64 utcSeconds)
{
    return QDateTime::fromSecsSinceEpoch(utcSeconds).date();
}

// The local zone as the time axis names it.
QString zoneName()
{
    const QByteArray id = QTimeZone::systemTimeZoneId();
    return id.isEmpty() ? QObject::tr("local time") : QObject::tr("local time, %1").arg(QString::fromUtf8(id));
}

QString dateTimeText(qint64 localSeconds)
{
    const QDate date = DayRecord::dateOf(localSeconds);
    const int second = int(localSeconds - DayRecord::localSecondsOf(date, 0));
    return date.toString(Qt::ISODate) + QLatin1Char(' ')
        + QTime::fromMSecsSinceStartOfDay(second * int(kMsPerSecond)).toString(Qt::ISODate);
}

} // namespace

ViewerWindow::ViewerWindow(QWidget *parent)
    : QMainWindow(parent)
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
    // Drawn at most kRefreshMs after new records, however often they come
    // (a followed file grows several times a second, without a pause).
    connect(&m_loader, &WindLoader::recordsAdded, this, [this] {
        if (!m_refreshTimer.isActive())
            m_refreshTimer.start();
    });
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
    // The intervals' mean as steps, their gust as dots; shown when asked.
    m_meanSeries = new QLineSeries;
    m_meanSeries->setName(tr("interval mean"));
    m_meanSeries->setPen(QPen(QColor(0xd9, 0x5f, 0x02), 2));
    m_gustSeries = new QScatterSeries;
    m_gustSeries->setName(tr("gust"));
    m_gustSeries->setColor(QColor(0x75, 0x70, 0xb3));
    m_gustSeries->setMarkerSize(7);
    for (QXYSeries *series : {static_cast<QXYSeries *>(m_meanSeries), static_cast<QXYSeries *>(m_gustSeries)}) {
        m_speedView->chart()->addSeries(series);
        series->attachAxis(m_speedView->timeAxis());
        series->attachAxis(m_speedView->valueAxis());
        series->setVisible(false);
    }
    m_directionView->valueAxis()->setRange(0, kFullCircle);
    m_directionView->valueAxis()->setTickCount(kDirectionTicks);
    m_directionView->valueAxis()->setLabelFormat(QStringLiteral("%.0f"));
    m_rose = new WindRoseView;
    m_summary = new QLabel;
    m_summary->setObjectName(QStringLiteral("summary"));
    m_summary->setWordWrap(true);
    for (TimeChartView *view : {m_speedView, m_directionView})
        view->timeAxis()->setTitleText(zoneName());

    auto *times = new QSplitter(Qt::Vertical);
    times->addWidget(m_speedView);
    times->addWidget(m_directionView);
    times->setStretchFactor(0, kTimeStretch);
    times->setStretchFactor(1, kRoseStretch);
    times->setSizes({kTimeStretch * kSplitUnit, kRoseStretch * kSplitUnit});
    auto *charts = new QSplitter(Qt::Horizontal);
    charts->addWidget(times);
    charts->addWidget(m_rose);
    charts->setStretchFactor(0, kTimeStretch);
    charts->setStretchFactor(1, kRoseStretch);
    charts->setSizes({kTimeStretch * kSplitUnit, kRoseStretch * kSplitUnit});
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(buildTitleBar());
    layout->addWidget(charts, 1);
    layout->addWidget(m_summary);
    setCentralWidget(central);
}

QWidget *ViewerWindow::buildTitleBar()
{
    auto *bar = new QWidget;
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    m_title = new QLabel;
    m_title->setObjectName(QStringLiteral("title"));
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_stationBox = new QComboBox;
    m_stationBox->setObjectName(QStringLiteral("station"));
    m_stationBox->setToolTip(tr("The station shown (a folder of the collector's folder)"));
    m_stationBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_stationBox->hide();
    // The box shows the names as people read them; the station is the folder's own name.
    connect(m_stationBox, &QComboBox::activated, this, [this](int index) { showStation(m_stations.value(index)); });
    m_stationLabel = new QLabel(tr("&Station:"));
    m_stationLabel->setBuddy(m_stationBox);
    m_stationLabel->hide();
    row->addWidget(m_title, 1);
    row->addWidget(m_stationLabel);
    row->addWidget(m_stationBox);
    return bar;
}

void ViewerWindow::setPictureMode(const QSize &size)
{
    menuBar()->hide();
    m_stationLabel->hide();
    m_stationBox->setEnabled(false);
    setFixedSize(size);
    resize(size);
}

void ViewerWindow::setIntervalStats(bool show, int minutes)
{
    m_intervalStats = show;
    m_intervalMinutes = minutes;
    m_meanSeries->setVisible(show);
    m_gustSeries->setVisible(show);
    for (QLineSeries *piece : m_meanPieces)
        piece->setVisible(show);
    m_meanSeries->setName(tr("%1-minute mean").arg(minutes));
    for (QLineSeries *piece : m_meanPieces)
        piece->setName(m_meanSeries->name());
    m_gustSeries->setName(tr("%1-minute gust").arg(minutes));
    m_speedView->chart()->legend()->setVisible(show);
    m_speedView->chart()->legend()->setAlignment(Qt::AlignTop);
    for (QLegendMarker *marker : m_speedView->chart()->legend()->markers()) {
        if (marker->series() != m_speedSeries && marker->series() != m_meanSeries && marker->series() != m_gustSeries)
            marker->setVisible(false);
    }
    if (m_intervalAction)
        m_intervalAction->setChecked(show);
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
    m_intervalAction = view->addAction(tr("&Interval Mean and Gust"), this, [this](bool on) {
        setIntervalStats(on, m_intervalMinutes);
        if (!m_paths.isEmpty())
            showStation(m_station);
    });
    m_intervalAction->setCheckable(true);
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
    m_paths = paths;
    m_follow = follow;
    m_allFiles = files;
    m_stations = DayFiles::stations(files);
    if (!m_stations.contains(m_station))
        m_station = m_stations.isEmpty() ? QString() : m_stations.first();
    const QSignalBlocker quiet(m_stationBox);
    m_stationBox->clear();
    for (const QString &station : std::as_const(m_stations))
        m_stationBox->addItem(nativepath::display(station));
    m_stationBox->setCurrentIndex(int(m_stations.indexOf(m_station)));
    const bool choice = m_stations.size() > 1;
    m_stationBox->setVisible(choice && m_stationBox->isEnabled());
    m_stationLabel->setVisible(m_stationBox->isVisibleTo(this));
    showStation(m_station);
    return true;
}

void ViewerWindow::showStation(const QString &station)
{
    m_station = station;
    const QList<DayFile> files = m_stations.size() > 1 ? DayFiles::ofStation(m_allFiles, station) : m_allFiles;
    m_files = DayFiles::between(files, dateOf(m_from), dateOf(m_to));

    // Followed: a single folder given (or the station's folder of a
    // collector's folder), or the folder of today's file.
    QString folder;
    struct stat st = {};
    const bool oneFolder = m_paths.size() == 1 && nativepath::stat(m_paths.first(), st) && S_ISDIR(st.st_mode);
    if (m_follow && oneFolder)
        folder = files.isEmpty() ? m_paths.first() : files.first().folder;
    else if (m_follow && !m_files.isEmpty() && m_files.last().date == QDate::currentDate())
        folder = m_files.last().folder;

    m_detailLoader.stop();
    m_stats.clear();
    m_overview.clear();
    m_detail.clear();
    m_interval = std::make_unique<IntervalStats>(m_intervalMinutes);
    m_intervalRows.clear();
    m_detailShown = false;
    m_showAll = true;
    const QString what =
        m_stations.size() > 1 || m_paths.size() != 1 ? m_station : QFileInfo(m_paths.first()).fileName();
    setWindowTitle(tr("SORVIK-7 Viewer – %1").arg(nativepath::display(what)));
    m_loader.start(
        m_files, [this](const DayRecord &r) { addRecord(r); }, folder);
    refresh();
}

void ViewerWindow::addRecord(const DayRecord &record)
{
    const qint64 t = record.localSeconds();
    if (t < m_from || t > m_to)
        return;
    m_stats.add(record);
    const double speed = m_stats.speedOf(record);
    m_overview.add(record.utc, speed, record.direction);
    if (m_intervalStats && m_interval) {
        WindSample sample = StatsExport::sampleOf(record);
        sample.speed = speed;
        sample.units = QString(QChar::fromLatin1(m_stats.unit().letter));
        if (auto row = m_interval->add(sample))
            m_intervalRows.append(*row);
    }
    if (m_detailShown && record.utc >= m_detailFrom && record.utc <= m_detailTo)
        m_detail.add(record.utc, speed, record.direction);
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
    refreshTitle();
}

// "Station mast-a · 2026-10-24 00:00:00 to 2026-10-26 23:59:59"
void ViewerWindow::refreshTitle()
{
    QStringList parts;
    if (!m_station.isEmpty())
        parts << tr("Station %1").arg(nativepath::display(m_station));
    if (m_stats.records() > 0)
        parts << tr("%1 to %2").arg(dateTimeText(m_stats.firstSeconds()), dateTimeText(m_stats.lastSeconds()));
    else
        parts << tr("no records");
    m_title->setText(parts.join(QStringLiteral("  ·  ")));
}

void ViewerWindow::refreshIntervals()
{
    QList<IntervalRow> rows;
    if (m_intervalStats && m_interval) {
        rows = m_intervalRows;
        IntervalStats inProgress = *m_interval;
        if (auto row = inProgress.flush())
            rows.append(*row);
    }
    // The mean as a step over each interval, cut where intervals are missing.
    QList<QList<QPointF>> means;
    QList<QPointF> gusts;
    qint64 previousEnd = -1;
    for (const IntervalRow &row : rows) {
        if (!row.speedMean)
            continue;
        if (means.isEmpty() || (row.startMs != previousEnd && means.size() < TimeBuckets::kMaxSegments))
            means.append(QList<QPointF>());
        means.last() << QPointF(double(row.startMs), *row.speedMean) << QPointF(double(row.endMs), *row.speedMean);
        previousEnd = row.endMs;
        if (row.gust)
            gusts.append(QPointF(double(row.startMs + (row.endMs - row.startMs) / 2), *row.gust));
    }
    setPieces(m_meanSeries, m_meanPieces, means);
    m_gustSeries->replace(gusts);
}

void ViewerWindow::setSpeedSegments(const QList<QList<QPointF>> &segments)
{
    setPieces(m_speedSeries, m_speedPieces, segments);
}

// The first piece in `first`, the others in `pieces` (made as needed, drawn
// like `first`, without a legend entry); unused pieces are emptied.
void ViewerWindow::setPieces(QLineSeries *first, QList<QLineSeries *> &pieces, const QList<QList<QPointF>> &segments)
{
    QChart *chart = m_speedView->chart();
    first->replace(segments.isEmpty() ? QList<QPointF>() : segments.first());
    for (qsizetype i = 1; i < segments.size(); ++i) {
        if (i > pieces.size()) {
            auto *piece = new QLineSeries;
            piece->setName(first->name());
            piece->setPen(first->pen());
            piece->setVisible(first->isVisible());
            chart->addSeries(piece);
            piece->attachAxis(m_speedView->timeAxis());
            piece->attachAxis(m_speedView->valueAxis());
            for (QLegendMarker *marker : chart->legend()->markers(piece))
                marker->setVisible(false);
            pieces.append(piece);
            // A series added later is drawn above: the speed line stays
            // below the intervals' mean, and the gusts above both.
            QList<QXYSeries *> above;
            if (first == m_speedSeries)
                above << m_meanSeries << QList<QXYSeries *>(m_meanPieces.begin(), m_meanPieces.end());
            above << m_gustSeries;
            for (QXYSeries *series : above) {
                chart->removeSeries(series);
                chart->addSeries(series);
                series->attachAxis(m_speedView->timeAxis());
                series->attachAxis(m_speedView->valueAxis());
                if (series != m_meanSeries && series != m_gustSeries) {
                    for (QLegendMarker *marker : chart->legend()->markers(series))
                        marker->setVisible(false);
                }
            }
        }
        pieces[i - 1]->replace(segments[i]);
    }
    for (qsizetype i = std::max<qsizetype>(segments.size() - 1, 0); i < pieces.size(); ++i)
        pieces[i]->clear();
}

void ViewerWindow::refreshTimeCharts()
{
    const TimeBuckets &shown = m_detailShown ? m_detail : m_overview;
    const QList<QPointF> speeds = shown.speedPoints();
    setSpeedSegments(shown.speedSegments());
    refreshIntervals();
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
    // Short, so that it fits beside a low chart; the unit's name is in the tooltip.
    if (m_stats.records() == 0)
        return tr("Mean speed");
    if (m_stats.unitKnown())
        return tr("Mean speed (%1)").arg(m_stats.unit().symbol);
    return tr("Mean speed (units %1)").arg(QString::fromLatin1(m_stats.unitText()));
}

void ViewerWindow::refreshSummary()
{
    const DayFileReader::Counts counts = m_loader.counts();
    QStringList parts;
    parts << tr("%n records", nullptr, int(m_stats.records()));
    if (m_stats.records() > 0) {
        parts << tr("%1 to %2").arg(dateTimeText(m_stats.firstSeconds()), dateTimeText(m_stats.lastSeconds()));
        const QString symbol = m_stats.unitKnown() ? m_stats.unit().symbol : QString::fromLatin1(m_stats.unitText());
        parts << tr("mean %1 %3, max %2 %3")
                     .arg(m_stats.meanSpeed(), 0, 'f', 2)
                     .arg(m_stats.maxSpeed(), 0, 'f', 2)
                     .arg(symbol);
        parts << tr("calm %1 %").arg(m_stats.calmShare(), 0, 'f', 1);
        if (m_stats.foreignUnits() > 0)
            parts << tr("%n records in other units", nullptr, int(m_stats.foreignUnits()));
    }
    QStringList reasons;
    for (int r = 0; r < DayFileReader::SkipKinds; ++r) {
        if (counts.skipped[r] > 0)
            reasons
                << QStringLiteral("%1 %2").arg(counts.skipped[r]).arg(DayFileReader::skipText(DayFileReader::Skip(r)));
    }
    parts << (reasons.isEmpty()
                  ? tr("no lines skipped")
                  : tr("%n lines skipped: ", nullptr, int(counts.skippedLines())) + reasons.join(QStringLiteral(", ")));
    const QStringList problems = m_loader.problems();
    if (!problems.isEmpty())
        parts << tr("%n problems (see tooltip)", nullptr, int(problems.size()));
    if (m_loader.isLoading())
        parts << tr("reading file %1 of %2").arg(m_loader.filesRead()).arg(m_loader.fileCount());
    else if (!m_loader.followedFile().isEmpty())
        parts << tr("following %1").arg(nativepath::display(QFileInfo(m_loader.followedFile()).fileName()));
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
    const qint64 from = m_speedView->spanFrom() / kMsPerSecond;
    const qint64 to = m_speedView->spanTo() / kMsPerSecond;
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
    m_detailFrom = from;
    m_detailTo = to;
    m_detailLoader.start(DayFiles::between(m_files, localDateOfUtc(from), localDateOfUtc(to)),
                         [this](const DayRecord &r) {
                             const qint64 t = r.localSeconds();
                             if (t >= m_from && t <= m_to && r.utc >= m_detailFrom && r.utc <= m_detailTo)
                                 m_detail.add(r.utc, m_stats.speedOf(r), r.direction);
                         });
}

bool ViewerWindow::savePicture(const QString &path, QString &error)
{
    QWidget *content = centralWidget();
    QApplication::processEvents(); // let the charts lay themselves out
    SaveFile file(path);
    if (!file.open()) {
        error = file.errorString();
        return false;
    }
    // The format follows the name's ending; PNG when it has none.
    const QString name = path.section(u'/', -1);
    const QString suffix = name.contains(u'.') ? name.section(u'.', -1).toLower() : QString();
    bool drawn = false;
    if (suffix == u"svg") {
        QSvgGenerator svg;
        svg.setOutputDevice(&file.device());
        svg.setSize(content->size());
        svg.setViewBox(content->rect());
        svg.setTitle(windowTitle());
        QPainter painter;
        if (painter.begin(&svg)) {
            content->render(&painter);
            drawn = painter.end();
        }
    } else {
        drawn = content->grab().save(&file.device(), suffix.isEmpty() ? "PNG" : qPrintable(suffix));
    }
    if (!drawn) {
        error = tr("cannot write %1").arg(nativepath::display(path));
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
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
