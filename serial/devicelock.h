#pragma once

#include <QString>

// Keeps two programs from reading one serial device. The lock belongs to
// the device itself, not to the name it was given: links are followed, and a
// character device is known by its device number, so /dev/ttyUSB0 and
// /dev/serial/by-id/... are one device. It is a lock file in the system's
// lock folder (/run/lock, else the temporary folder) holding the holder's
// process id; the kernel drops it when the holder ends, however it ends.
class DeviceLock
{
public:
    DeviceLock() = default;
    ~DeviceLock();
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;

    // Takes the lock for the device `path` names. False when another holder
    // has it: holder() then gives its process id (0 if it cannot be read).
    // A device that cannot be locked at all (no lock folder) is not refused.
    bool acquire(const QString &path);
    void release();

    qint64 holder() const { return m_holder; }
    // The holder in words: "process 1234 (sorvik7-logger)".
    QString holderText() const;

private:
    int m_fd = -1;
    QByteArray m_path;
    qint64 m_holder = 0;
};
