#include "serial/drivercountersource.h"

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

std::optional<LineCounters> DriverCounterSource::read(qintptr handle)
{
#ifdef Q_OS_LINUX
    if (handle < 0)
        return std::nullopt;
    serial_icounter_struct ic{};
    if (::ioctl(int(handle), TIOCGICOUNT, &ic) != 0)
        return std::nullopt;
    LineCounters c;
    c.frame = ic.frame;
    c.overrun = ic.overrun;
    c.parity = ic.parity;
    c.brk = ic.brk;
    c.buf_overrun = ic.buf_overrun;
    return c;
#else
    Q_UNUSED(handle);
    return std::nullopt;
#endif
}
