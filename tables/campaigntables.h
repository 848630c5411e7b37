#pragma once

#include "stats/intervalstats.h"
#include "tables/tablefile.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

// The two tables of a measurement campaign beside the day files:
//   <data folder>/raw/YYYY-MM-DD.csv    every message's own speed, in UTC
//                                       with milliseconds (rawHeader())
//   <data folder>/stats/YYYY-MM-DD.csv  statistics over intervals of M
//                                       minutes (intervalstats.h), filed by
//                                       the interval's start
// A statistics row is written within a few seconds after its interval ends
// (kCloseGraceMs after it, for late messages), and the interval in progress
// at stop(). Both tables are pushed to the disk within a second of a line;
// with nothing to do the timer sleeps until an interval ends. A table whose folder refuses its lines keeps them
// and writes them later; the fault is told once (fault()), and its end
// with what had to wait (faultCleared()).
class CampaignTables : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        bool raw = true; // write the raw table
        bool statsTable = true; // write the statistics table
        bool statistics = true; // compute statistics (for the table, or for MQTT alone)
        int minutes = IntervalStats::kDefaultMinutes;
    };

    static constexpr int kSyncMs = 1000;
    static constexpr qint64 kCloseGraceMs = 2000;

    CampaignTables(const QString &dataDir, const Settings &settings, QObject *parent = nullptr);
    ~CampaignTables() override;

    static QByteArray rawHeader();
    static QByteArray rawLine(const WindSample &sample);

    // One message: a raw row, and into the statistics.
    void add(const WindSample &sample);
    // The interval in progress, cut short, and everything to the disk; the
    // timer stops. Returns false when rows are still waiting (they are lost).
    bool stop();

    // Rows waiting for a refusing folder, over both tables.
    qsizetype pending() const;

signals:
    // An interval has ended (or was cut short at stop()).
    void intervalDone(const IntervalRow &row);
    // A table cannot be written; once until it can again.
    void fault(const QString &text);
    // The table of `folder` is written again; `waited` rows were written
    // late, `lost` were not kept.
    void faultCleared(const QString &folder, quint64 waited, quint64 lost);

private:
    struct Table
    {
        Table(const QString &folder, const QByteArray &header)
            : file(folder, header)
        {
        }
        TableFile file;
        bool inFault = false;
        quint64 delayedBefore = 0;
        quint64 droppedBefore = 0;
    };

    void tick();
    void arm();
    void closeInterval(const IntervalRow &row);
    void check(Table &table, bool ok);

    Settings m_settings;
    std::unique_ptr<Table> m_raw;
    std::unique_ptr<Table> m_stats;
    std::optional<IntervalStats> m_intervals;
    QTimer m_timer;
};
