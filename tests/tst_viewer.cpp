// The viewer's window, offscreen, on known files: what its charts hold
// (points, rose shares), zooming with the two time charts together, a
// zoom that reads the files again in detail, following a live file over
// midnight and while it grows without a pause, the day the clocks go back
// (in Berlin time), and a collector's folder of two stations.
#include "tests/dayfiletests.h"

#include "viewer/timechartview.h"
#include "viewer/viewerwindow.h"
#include "viewer/windroseview.h"

#include <QAreaSeries>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLineSeries>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

namespace {

// `count` records at four a second from 12:00:00, made by `line(i)`.
template<typename Line>
QByteArray records(int count, Line line, int fromSecond = 12 * 3600)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += QTime::fromMSecsSinceStartOfDay((fromSecond + i / 4) * 1000).toString("hh:mm:ss").toLatin1() + ",\x02Q,"
            + line(i) + "\r\n";
    return out;
}

TimeChartView *chartOf(const QWidget &w, const QString &series)
{
    for (auto *view : w.findChildren<TimeChartView *>()) {
        if (view->chart()->series().first()->name() == series)
            return view;
    }
    return nullptr;
}

QLineSeries *seriesOf(const QWidget &w, const QString &name)
{
    return static_cast<QLineSeries *>(chartOf(w, name)->chart()->series().first());
}

// The pieces of a line cut at the gaps: the non-empty series of that name.
QList<QList<QPointF>> piecesOf(const QWidget &w, const QString &name)
{
    QList<QList<QPointF>> pieces;
    for (QAbstractSeries *series : chartOf(w, name)->chart()->series()) {
        // The interval gusts are a scatter series beside the lines.
        const auto *line = qobject_cast<QLineSeries *>(series);
        if (line && line->name() == name && line->count() > 0)
            pieces << line->points();
    }
    return pieces;
}

// How far a rose series reaches out at an angle: the sector's stacked share.
double reach(const QAbstractSeries *series, double angle)
{
    double r = 0.0;
    for (const QPointF &p : static_cast<const QAreaSeries *>(series)->upperSeries()->points()) {
        if (qAbs(p.x() - angle) < 1e-6)
            r = std::max(r, p.y());
    }
    return r;
}

qsizetype pointsBetween(const QLineSeries *series, qint64 from, qint64 to)
{
    const QList<QPointF> points = series->points();
    return std::count_if(points.begin(), points.end(), [&](const QPointF &p) { return p.x() >= from && p.x() < to; });
}

} // namespace

class tst_viewer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void chartsOfAKnownFile();
    void manyRecordsAreDecimated();
    void zoomTogetherAndInDetail();
    void followsTodayOverMidnight();
    void redrawsWhileAFileGrows();
    void clocksGoBack();
    void collectorFolder();

private:
    QTemporaryDir m_dir;
};

// 20030521: half the records from the north at 5 m/s, a quarter from the
// east at 1 m/s, a quarter calm from the south. 20030522: 20000 records,
// one gust of 99.90 among speeds of 3 to 3.6.
void tst_viewer::initTestCase()
{
    // The clocks go back on 2026-10-25 at 03:00 CEST.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    QVERIFY(writeBytes(m_dir.filePath("20030521.SVK"), kHeader + records(100, [](int i) -> QByteArray {
                                                           return i % 4 < 2 ? "000,005.00,M,00"
                                                               : i % 4 == 2 ? "090,001.00,M,00"
                                                                            : "180,000.20,M,00";
                                                       })));
    QVERIFY(writeBytes(m_dir.filePath("20030522.SVK"), records(20000, [](int i) {
                           return QByteArray::number(i % 360).rightJustified(3, '0') + ','
                               + (i == 12345 ? "099.90" : "003." + QByteArray::number(i % 7) + '0') + ",M,00";
                       })));
}

void tst_viewer::chartsOfAKnownFile()
{
    const QString path = m_dir.filePath("20030521.SVK");
    ViewerWindow w;
    w.resize(1280, 800);
    w.show();
    QString error;
    QVERIFY(w.openPaths({path}, false, error));
    w.readAllNow();
    const QString png = m_dir.filePath("wind.png"), svg = m_dir.filePath("wind.svg");
    QVERIFY(w.savePicture(png, error));
    QVERIFY(w.savePicture(svg, error));
    QCOMPARE(QImage(png).size(), w.centralWidget()->size());
    QVERIFY(fileBytes(svg).contains("<svg"));

    QCOMPARE(seriesOf(w, "speed")->count(), 100);
    QCOMPARE(seriesOf(w, "direction")->count(), 100);
    const QList<QAbstractSeries *> rose = w.findChild<WindRoseView *>()->chart()->series();
    QCOMPARE(rose.size(), SpeedUnit::kClasses);
    QCOMPARE(reach(rose.last(), 0), 50.0); // N, all classes
    QCOMPARE(reach(rose.last(), 90), 25.0); // E
    QCOMPARE(reach(rose.last(), 180), 0.0); // S: calm, in no sector
    QCOMPARE(reach(rose.at(1), 0), 0.0); // N below 4 m/s
    QCOMPARE(reach(rose.at(2), 0), 50.0); // N up to 6 m/s
    QCOMPARE(rose.at(0)->name(), QString("0.5–2"));
}

void tst_viewer::manyRecordsAreDecimated()
{
    const QString path = m_dir.filePath("20030522.SVK");
    ViewerWindow w;
    QString error;
    QVERIFY(w.openPaths({path}, false, error));
    w.readAllNow();
    const QList<QPointF> speeds = seriesOf(w, "speed")->points();
    QVERIFY(speeds.size() <= 2 * TimeBuckets::kMaxBuckets);
    QVERIFY(seriesOf(w, "direction")->count() <= TimeBuckets::kDirectionSlots * TimeBuckets::kMaxBuckets);
    const auto top = std::max_element(speeds.begin(), speeds.end(), [](auto a, auto b) { return a.y() < b.y(); });
    QCOMPARE(float(top->y()), 99.9f);
}

void tst_viewer::zoomTogetherAndInDetail()
{
    const QString path = m_dir.filePath("20030522.SVK");
    ViewerWindow w;
    w.show();
    QString error;
    QVERIFY(w.openPaths({path}, false, error));
    w.readAllNow();
    TimeChartView *speed = chartOf(w, "speed"), *direction = chartOf(w, "direction");
    const qint64 full = speed->spanTo() - speed->spanFrom();

    QTest::keyClick(speed, Qt::Key_Plus);
    QCOMPARE(speed->spanTo() - speed->spanFrom(), full / 2);
    QCOMPARE(direction->spanFrom(), speed->spanFrom());
    QCOMPARE(direction->spanTo(), speed->spanTo());

    // Two minutes are finer than the overview: every record of them is read again and shown.
    const qint64 from = speed->spanFrom() / 1000 * 1000, to = from + 120000;
    speed->setSpan(from, to);
    QTRY_COMPARE(pointsBetween(seriesOf(w, "speed"), from, to), 4 * 120);

    QTest::keyClick(direction, Qt::Key_Home);
    QCOMPARE(speed->spanTo() - speed->spanFrom(), full);
}

void tst_viewer::followsTodayOverMidnight()
{
    QTemporaryDir data;
    const QDate today = QDate::currentDate();
    const QString todayFile = data.filePath(today.toString("yyyyMMdd") + ".SVK");
    const auto line = [](int) { return QByteArray("045,004.00,M,00"); };
    QVERIFY(writeBytes(todayFile, records(2, line)));
    ViewerWindow w;
    w.show();
    QString error;
    QVERIFY(w.openPaths({data.path()}, true, error));
    QSignalSpy loaded(&w, &ViewerWindow::loaded);
    QVERIFY(loaded.wait());
    QLineSeries *speed = seriesOf(w, "speed");
    QCOMPARE(speed->count(), 2);

    QVERIFY(writeBytes(todayFile, records(3, line, 12 * 3600 + 1), QIODevice::Append));
    QTRY_COMPARE(speed->count(), 5);

    // The logger passes midnight and starts the next day's file.
    const QString tomorrow = today.addDays(1).toString("yyyyMMdd") + ".SVK";
    QVERIFY(writeBytes(data.filePath(tomorrow), records(4, line, 0)));
    QTRY_COMPARE(speed->count(), 9);
    QVERIFY(w.findChild<QLabel *>("summary")->text().contains("following " + tomorrow));
}

// Records appended every 0.2 s, with no pause between them: the chart
// still follows (it waited for a pause before).
void tst_viewer::redrawsWhileAFileGrows()
{
    QTemporaryDir data;
    const QString file = data.filePath(QDate::currentDate().toString("yyyyMMdd") + ".SVK");
    const auto line = [](int) { return QByteArray("045,004.00,M,00"); };
    QVERIFY(writeBytes(file, records(2, line)));
    ViewerWindow w;
    w.show();
    QString error;
    QSignalSpy loaded(&w, &ViewerWindow::loaded);
    QVERIFY(w.openPaths({data.path()}, true, error));
    QVERIFY(loaded.wait());
    QLineSeries *speed = seriesOf(w, "speed");
    int appended = 0;
    QTimer appender;
    appender.setInterval(200);
    connect(&appender, &QTimer::timeout, &w,
            [&] { QVERIFY(writeBytes(file, records(1, line, 12 * 3600 + 1 + appended++), QIODevice::Append)); });
    appender.start();
    QTRY_VERIFY_WITH_TIMEOUT(speed->count() >= 2 + 10, 20000);
    QVERIFY(appender.isActive());
}

// A record every 5 s from 01:59:50 to 03:00:10 local time on the day the
// clocks go back, the hour from 02:00 passed twice, a 30 s gap in the
// second pass: the hour lies once, in order, and the line breaks at the gap.
void tst_viewer::clocksGoBack()
{
    QTemporaryDir data;
    QByteArray lines;
    QList<int> seconds;
    for (int t = 7190; t < 3 * 3600; t += 5)
        seconds << t;
    for (int t = 2 * 3600; t <= 3 * 3600 + 10; t += 5) {
        if (t < 9000 || t >= 9030)
            seconds << t;
    }
    for (int t : seconds)
        lines +=
            QTime::fromMSecsSinceStartOfDay(t * 1000).toString("hh:mm:ss").toLatin1() + ",\x02Q,090,005.00,M,00\r\n";
    QVERIFY(writeBytes(data.filePath("20261025.SVK"), lines));
    ViewerWindow w;
    w.setPictureMode(QSize(800, 500));
    w.setIntervalStats(true, 60);
    w.show();
    QString error;
    QVERIFY(w.openPaths({data.path()}, false, error));
    w.readAllNow();

    const QList<QList<QPointF>> pieces = piecesOf(w, "speed");
    QCOMPARE(pieces.size(), 2);
    QList<QPointF> points = pieces.first() + pieces.last();
    QCOMPARE(points.size(), seconds.size());
    const auto utcMs = [](const char *text) {
        return double(QDateTime::fromString(text, Qt::ISODate).toMSecsSinceEpoch());
    };
    QCOMPARE(points.first().x(), utcMs("2026-10-24T23:59:50Z"));
    QCOMPARE(points.last().x(), utcMs("2026-10-25T02:00:10Z"));
    QCOMPARE(pieces.first().last().x(), utcMs("2026-10-25T01:29:55Z")); // 02:29:55 CET, before the gap
    QVERIFY(std::is_sorted(points.begin(), points.end(), [](auto a, auto b) { return a.x() <= b.x(); }));
    QVERIFY(chartOf(w, "speed")->timeAxis()->titleText().contains("Europe/Berlin"));
    // Hours from 23:00, 00:00, 01:00 and 02:00 UTC: a gust each, at its middle.
    const QList<QAbstractSeries *> all = chartOf(w, "speed")->chart()->series();
    const auto gust =
        std::find_if(all.begin(), all.end(), [](auto *series) { return series->name() == "60-minute gust"; });
    QVERIFY(gust != all.end());
    const auto *gusts = static_cast<QXYSeries *>(*gust);
    QCOMPARE(gusts->count(), 4);
    QCOMPARE(gusts->at(1).x(), utcMs("2026-10-25T00:30:00Z"));

    const QString png = data.filePath("day.png");
    QVERIFY(w.savePicture(png, error));
    QCOMPARE(QImage(png).size(), QSize(800, 500));
}

// central/<station>/: one station shown at a time, picked in the box.
void tst_viewer::collectorFolder()
{
    QTemporaryDir central;
    const auto line = [](int) { return QByteArray("180,003.00,M,00"); };
    QVERIFY(QDir(central.path()).mkpath("mast-a"));
    QVERIFY(QDir(central.path()).mkpath("mast-b"));
    QVERIFY(writeBytes(central.filePath("mast-a/20030521.SVK"), records(8, line)));
    QVERIFY(writeBytes(central.filePath("mast-b/20030521.SVK"), records(12, line)));
    ViewerWindow w;
    w.show();
    QString error;
    QVERIFY(w.openPaths({central.path()}, false, error));
    w.readAllNow();
    QCOMPARE(w.stations(), QStringList({"mast-a", "mast-b"}));
    QCOMPARE(seriesOf(w, "speed")->count(), 8);
    QVERIFY(w.findChild<QLabel *>("title")->text().contains("mast-a"));

    auto *box = w.findChild<QComboBox *>("station");
    QVERIFY(box->isVisible());
    QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(w.station(), QString("mast-b"));
    QTRY_COMPARE(seriesOf(w, "speed")->count(), 12);
    QVERIFY(w.findChild<QLabel *>("title")->text().contains("mast-b"));
}

QTEST_MAIN(tst_viewer)
#include "tst_viewer.moc"
