#pragma once

#include "datafile/dayfiles.h"
#include "stats/intervalstats.h"
#include "viewer/timebuckets.h"
#include "viewer/windloader.h"
#include "viewer/windstats.h"

#include <QMainWindow>
#include <QTimer>

#include <limits>
#include <memory>

class QComboBox;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QWidget;
class TimeChartView;
class WindRoseView;

// sorvik7-view's window: the mean speed and the direction over time (two
// charts that zoom and pan together), the wind rose, and a summary strip
// with the records, their time span, mean and maximum speed, the calm share
// and the lines skipped with their reasons. A title names the station (the
// files' folder) and the span; the time axes are in local time, the zone
// named, with the records placed by their UTC moment (DayRecord::utc), so
// the repeated hour of the change back from summer time lies once, in order.
// A collector's folder holds several stations: one is shown at a time, and
// a box above the charts picks it.
//
// The whole set is read once for the summary, the rose and an overview of
// the charts (TimeBuckets: memory stays the same for a day or a month).
// When the user zooms in further than the overview resolves, the files
// under the shown span are read again into a finer TimeBuckets.
class ViewerWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit ViewerWindow(QWidget *parent = nullptr);
    ~ViewerWindow() override;

    // Shows the records of `paths` (day files, folders of them). With
    // `follow`, a single folder, or a set whose newest file is today's, is
    // followed as the logger writes (rolling on to the next day's file).
    // False with a one-line `error` for a path that cannot be read.
    bool openPaths(const QStringList &paths, bool follow, QString &error);
    // Only records from `from` to `to` (local seconds); call before openPaths.
    void setLimits(qint64 from, qint64 to);
    // The station shown first when the paths hold several (default: the
    // first by name); call before openPaths.
    void setStation(const QString &station) { m_station = station; }
    QStringList stations() const { return m_stations; }
    QString station() const { return m_station; }
    // Shows the mean and gust of intervals of `minutes` in the speed chart
    // (the records' speeds as drawn, by their UTC moment; see StatsExport).
    void setIntervalStats(bool show, int minutes);
    bool showsIntervalStats() const { return m_intervalStats; }
    // For a picture: no menu, and the content exactly `size`.
    void setPictureMode(const QSize &size);
    // Reads everything now instead of in slices (for pictures).
    void readAllNow();
    // The window's content as PNG, or as SVG when `path` ends in .svg.
    bool savePicture(const QString &path, QString &error);

signals:
    void loaded();

private:
    static constexpr int kMinVisibleBuckets = 400;
    static constexpr int kRefreshMs = 250;
    static constexpr int kSettleMs = 150;

    void buildCharts();
    QWidget *buildTitleBar();
    void showStation(const QString &station);
    void refreshTitle();
    void setSpeedSegments(const QList<QList<QPointF>> &segments);
    void refreshIntervals();
    void setPieces(QLineSeries *first, QList<QLineSeries *> &pieces, const QList<QList<QPointF>> &segments);
    void buildMenus();
    void addRecord(const DayRecord &record);
    void refresh();
    void refreshTimeCharts();
    void refreshSummary();
    QString speedTitle() const;
    void onSpanChanged(TimeChartView *from, qint64 fromMs, qint64 toMs);
    void onSpanSettled();
    void loadDetail(qint64 from, qint64 to);
    void onOpenFiles();
    void onOpenFolder();
    void onSavePicture();

    TimeChartView *m_speedView = nullptr;
    TimeChartView *m_directionView = nullptr;
    QLineSeries *m_speedSeries = nullptr;
    QLineSeries *m_directionSeries = nullptr;
    WindRoseView *m_rose = nullptr;
    QList<QLineSeries *> m_speedPieces; // the speed line after its first gap, one series a piece
    QLabel *m_summary = nullptr;
    QLabel *m_title = nullptr;
    QComboBox *m_stationBox = nullptr;
    QLabel *m_stationLabel = nullptr;

    QStringList m_paths;
    bool m_follow = false;
    QList<DayFile> m_allFiles; // of every station
    QStringList m_stations;
    QString m_station;
    bool m_intervalStats = false;
    int m_intervalMinutes = IntervalStats::kDefaultMinutes;
    std::unique_ptr<IntervalStats> m_interval;
    QList<IntervalRow> m_intervalRows; // the intervals ended so far
    QLineSeries *m_meanSeries = nullptr;
    QList<QLineSeries *> m_meanPieces;
    QScatterSeries *m_gustSeries = nullptr;
    QAction *m_intervalAction = nullptr;
    QList<DayFile> m_files;
    qint64 m_from = std::numeric_limits<qint64>::min();
    qint64 m_to = std::numeric_limits<qint64>::max();
    WindLoader m_loader;
    WindStats m_stats;
    TimeBuckets m_overview;
    WindLoader m_detailLoader;
    TimeBuckets m_detail;
    qint64 m_detailFrom = 0, m_detailTo = 0; // UTC seconds
    bool m_detailShown = false;
    bool m_syncing = false;
    bool m_showAll = true; // the next data shown sets the span to all of it
    QTimer m_refreshTimer;
    QTimer m_settleTimer;
};
