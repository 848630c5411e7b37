#include "tables/campaigntables.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace {

QDate utcDate(qint64 utcMs)
{
    return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).date();
}

QByteArray shortest(double value)
{
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

// The sensor's text as it came, quoted only where CSV needs it.
QByteArray csvText(const QString &text)
{
    QByteArray bytes = text.toLatin1();
    if (bytes.contains('"') || bytes.contains(',') || bytes.contains('\n') || bytes.contains('\r'))
        bytes = '"' + bytes.replace('"', "\"\"") + '"';
    return bytes;
}

} // namespace

CampaignTables::CampaignTables(const QString &dataDir, const Settings &settings, QObject *parent)
    : QObject(parent),
      m_settings(settings)
{
    if (settings.raw)
        m_raw = std::make_unique<Table>(dataDir + QStringLiteral("/raw"), rawHeader());
    if (settings.statsTable)
        m_stats = std::make_unique<Table>(dataDir + QStringLiteral("/stats"), intervalCsvHeader().toLatin1());
    if (settings.statistics || settings.statsTable)
        m_intervals.emplace(settings.minutes);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CampaignTables::tick);
}

CampaignTables::~CampaignTables() = default;

QByteArray CampaignTables::rawHeader()
{
    return QByteArrayLiteral("time,direction,speed,units,status");
}

QByteArray CampaignTables::rawLine(const WindSample &sample)
{
    QByteArray line = utcIsoMillis(sample.utcMs).toLatin1();
    line += ',';
    if (sample.directionDeg)
        line += shortest(*sample.directionDeg);
    line += ',' + shortest(sample.speed) + ',' + csvText(sample.units) + ',' + csvText(sample.status);
    return line;
}

void CampaignTables::add(const WindSample &sample)
{
    if (m_raw && !m_raw->file.append(utcDate(sample.utcMs), rawLine(sample)))
        check(*m_raw, false);
    if (m_intervals)
        if (const std::optional<IntervalRow> row = m_intervals->add(sample))
            closeInterval(*row);
    if (!m_timer.isActive())
        m_timer.start(kSyncMs);
}

void CampaignTables::arm()
{
    // Idle, the timer wakes the program only for the end of an interval.
    const bool work = (m_raw && m_raw->file.needsSync()) || (m_stats && m_stats->file.needsSync());
    qint64 waitMs = work ? kSyncMs : -1;
    if (m_intervals && m_intervals->hasOpenInterval()) {
        const qint64 untilEnd = m_intervals->openIntervalEnd() + kCloseGraceMs - QDateTime::currentMSecsSinceEpoch();
        waitMs = std::clamp<qint64>(untilEnd, 0, waitMs < 0 ? m_intervals->intervalMs() : waitMs);
    }
    if (waitMs >= 0)
        m_timer.start(int(waitMs));
}

void CampaignTables::closeInterval(const IntervalRow &row)
{
    if (m_stats && !m_stats->file.append(utcDate(row.startMs), intervalCsvLine(row).toLatin1()))
        check(*m_stats, false);
    emit intervalDone(row);
}

void CampaignTables::tick()
{
    // Messages reach here a little after they arrived; an interval is closed
    // once they all have.
    if (m_intervals)
        if (const auto row = m_intervals->closeUntil(QDateTime::currentMSecsSinceEpoch() - kCloseGraceMs))
            closeInterval(*row);
    for (Table *table : {m_raw.get(), m_stats.get()})
        if (table)
            check(*table, table->file.sync());
    arm();
}

void CampaignTables::check(Table &table, bool ok)
{
    TableFile &file = table.file;
    if (!ok && !table.inFault) {
        table.inFault = true;
        // The rows waiting now are this episode's first.
        table.delayedBefore = file.delayed() - quint64(file.pending());
        table.droppedBefore = file.dropped();
        emit fault(QStringLiteral("table not written: %1; its rows wait and are written when the folder "
                                  "takes them again")
                       .arg(file.error()));
    } else if (ok && table.inFault && file.pending() == 0) {
        table.inFault = false;
        emit faultCleared(file.folder(), file.delayed() - table.delayedBefore, file.dropped() - table.droppedBefore);
    }
}

bool CampaignTables::stop()
{
    m_timer.stop();
    if (m_intervals)
        if (const auto row = m_intervals->flush())
            closeInterval(*row);
    for (Table *table : {m_raw.get(), m_stats.get()})
        if (table)
            check(*table, table->file.sync() && table->file.close());
    return pending() == 0;
}

qsizetype CampaignTables::pending() const
{
    return (m_raw ? m_raw->file.pending() : 0) + (m_stats ? m_stats->file.pending() : 0);
}
