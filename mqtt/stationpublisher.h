#pragma once

#include "mqtt/mqttclient.h"
#include "mqtt/mqttoptions.h"
#include "mqtt/mqtttransport.h"
#include "mqtt/outbox.h"
#include "mqtt/sentcursor.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <set>

class Log;

// The station's side: publishes every line of the day files, in order, to
// sorvik7/<station>/record once the logger has written and flushed it, and
// keeps a cursor per day file of how far the broker has acknowledged
// (SentCursor), so that after a restart it goes on from there. It starts
// with the file of the newest cursor, or without any cursor with the newest
// day file it finds.
//
// Made and run in a thread of its own, below the acquisition's priority; its calls
// come from the logger's thread as queued calls (noteCount() may be called
// directly). While the broker cannot be reached the lines wait in the day
// files; the outage is logged once, and its end once the lines it held up
// have been caught up, with their number. A collector that has missed lines
// asks on sorvik7/<station>/resend to have them again from an offset, and
// publishing goes back there. A retained status message on
// sorvik7/<station>/status says what the station is doing and since when;
// the last will says it is offline, dated by when the connection it stands
// for was made (the broker cannot date it).
//
// A cursor belongs to one file (its device and inode): a new file under a
// name already published (today's file moved away, the logger starting
// another) is published from byte 0 with its header marked new, so that
// the collectors replace their copies. An outage is dated from the last
// acknowledgement the broker sent, not from when it was noticed.
class StationPublisher : public QObject
{
    Q_OBJECT

public:
    // Lines on their way to the broker at once.
    static constexpr int kWindow = 1000;
    static constexpr int kCursorPeriodMs = 1000;
    static constexpr int kStatusPeriodMs = 10000;

    // `transport` is the link to the broker, made in this thread for
    // clientConfig(settings) (an MqttClient) or a test's.
    StationPublisher(const MqttSettings &settings, const QString &dataDir, const Log &log,
                     std::unique_ptr<MqttTransport> transport, QObject *parent = nullptr);
    static MqttClientConfig clientConfig(const MqttSettings &settings);
    ~StationPublisher() override;

    // Reads the cursors, looks at the day files and connects.
    void start();
    // The logger has written `file` (a day file name) and flushed it up to `size`, at `when`.
    void flushed(const QByteArray &file, qint64 size, const QDateTime &when);
    // What keeps the station from recording as it should (for the status).
    void setFaults(const QStringList &faults);
    // The counter the cycle shows (its backlog of waiting characters); any thread.
    void noteCount(int count);
    // An interval's statistics (a JSON object), retained on
    // sorvik7/<station>/stats; while the broker cannot be reached the
    // latest waits and goes when it can.
    void publishStats(const QByteArray &json);
    // The latest message (a JSON object) on sorvik7/<station>/live, not
    // retained; dropped while the broker cannot be reached.
    void publishLive(const QByteArray &json);
    // Publishes what has been flushed for at most `drainMs`, writes the
    // cursors, says offline and disconnects; then finished().
    void finish(int drainMs);

signals:
    void finished();

private:
    struct InFlight
    {
        Outbox::Position at;
        qint64 end = 0;
        SentCursor::FileId id;
        bool acked = false;
    };

    void onConnected();
    void onOutage(const QString &why);
    void onPublished(int mid);
    void onMessage(const QByteArray &topic, const QByteArray &payload);
    void pump();
    void caughtUp();
    void takeAcknowledged();
    void writeCursors();
    void publishStatus(bool online);
    QByteArray statusJson(bool online);
    void finalize();
    QString where(const Outbox::Position &pos) const;
    // Where publishing of `file` goes on: its cursor when the cursor is of
    // the file under that name now, else 0 (and the file is published as new).
    qint64 resumeAt(const QByteArray &file);
    void replaced(const QByteArray &file);
    void reportTornTail();

    MqttSettings m_settings;
    QString m_dataDir;
    const Log &m_log;
    QByteArray m_recordTopic;
    Outbox m_outbox;
    std::unique_ptr<MqttTransport> m_transport;
    MqttTransport &m_client;

    Outbox::Position m_next; // the next line to publish
    std::deque<InFlight> m_inflight; // in the order published
    quint64 m_firstSeq = 0; // the sequence number of m_inflight.front()
    QHash<int, quint64> m_seqOfMid;
    std::map<QByteArray, SentCursor::Cursor> m_acked; // the cursors
    std::set<QByteArray> m_fresh; // files to publish as new until acknowledged
    std::set<QByteArray> m_unwritten; // cursors changed since written
    bool m_cursorFault = false;

    bool m_outage = false;
    bool m_everConnected = false;
    QElapsedTimer m_outageTime; // since the last word from the broker
    QElapsedTimer m_lastHeard;
    qint64 m_caughtUpLines = 0;

    QStringList m_faults;
    QDateTime m_since; // since when the status holds, UTC
    QByteArray m_unsentStats;
    QDateTime m_lastRecord;
    std::atomic<int> m_largestCount{0};

    QTimer m_cursorTimer;
    QTimer m_statusTimer;
    QTimer m_drainTimer;
    bool m_finishing = false;
};
