#pragma once

#include <QtGlobal>

// Paces a simulated sensor like a 9600 baud 8N1 line: 960 characters per
// second at most, messages started on an absolute schedule so that the
// long-run message rate is exact however late the caller wakes up.
//
// All times are nanoseconds on one monotonic clock. A byte counts as sent
// when its stop bit would have left the line, so a message of 24 bytes
// that starts at t has been sent completely at t + 25 ms.
class LinePacer
{
public:
    static constexpr qint64 CharsPerSecond = 960;
    static constexpr qint64 NsPerSecond = 1'000'000'000;
    // How far the line may run behind the clock and then catch up at once
    // after the process was held up. Beyond that, line time is lost as it
    // would be on a real line.
    static constexpr qint64 CatchUpNs = 50'000'000;
    // Longest quiet stretch between two hand-overs of bytes while a
    // message is being sent.
    static constexpr qint64 ChunkNs = 10'000'000;

    // messagesPerSecond <= 0 sends the messages back to back, as fast as
    // the line carries them.
    explicit LinePacer(double messagesPerSecond = 0.0);

    // The schedule starts: the first message is due at now.
    void start(qint64 now);

    // True when the line is idle and the next message is due.
    bool messageDue(qint64 now) const;
    // A message of the given size is handed to the line.
    void queue(qint64 now, qsizetype bytes);
    // The number of queued bytes whose transmission has ended by now, in
    // order; they leave the line.
    qsizetype take(qint64 now);
    // Bytes queued but not yet taken.
    qsizetype pending() const { return qsizetype(m_queued - m_taken); }
    // When take() or messageDue() next has something to say.
    qint64 nextWake(qint64 now) const;

    qint64 messagesQueued() const { return m_messages; }

private:
    qint64 dueTime(qint64 message) const;
    qint64 endOfByte(qint64 bytes) const;

    double m_rate = 0.0;
    qint64 m_origin = 0;
    qint64 m_messages = 0;
    // The current busy stretch of the line starts at m_epoch; bytes are
    // counted from there so that long back-to-back runs do not drift.
    qint64 m_epoch = 0;
    qint64 m_queued = 0;
    qint64 m_taken = 0;
};
