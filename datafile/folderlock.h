#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// A claim on a data folder for as long as a program writes there, so that
// two programs never mix their records in one folder. It is a POSIX record
// lock on the file .sorvik7.lock in the folder: the kernel drops it when the
// process ends in any way, so a crash leaves nothing stale behind. Within
// one process the claims are kept in a table of their own (POSIX locks do
// not keep a process from itself), keyed by the lock file's identity, so a
// folder reached by two names is still one folder.
class FolderLock
{
public:
    enum class Result {
        Held, // the folder is ours
        Busy, // another claim holds it: holder() says whose
        Unavailable, // the lock file cannot be made or opened (no folder, read-only, ...)
    };

    static constexpr char kFileName[] = ".sorvik7.lock";

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // Claims `folder` (its native bytes), giving up a claim on another
    // folder first. Claiming the folder already held is Held at once.
    Result lock(const QByteArray &folder);
    void unlock();
    bool isHeld() const { return m_fd >= 0; }
    // After Busy: the process that holds the folder; 0 when the system does
    // not say (a holder in another PID namespace).
    pid_t holder() const { return m_holder; }

    // One line for the operator: `folder` is in use by `holder`.
    static QString busyText(const QString &folder, pid_t holder);

private:
    int m_fd = -1;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    QByteArray m_folder;
    pid_t m_holder = 0;
};
