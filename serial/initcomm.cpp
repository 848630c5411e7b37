#include "serial/initcomm.h"

#include "common/messagereporter.h"
#include "common/sorvik7_def.h"
#include "serial/mscomm.h"

bool Init_Comm(MSComm &comm, const sorvik7_def &def, MessageReporter &reporter)
{
    comm.clearError();
    comm.setCommPort(def.Com_Port);
    comm.setSettings(QStringLiteral("9600,N,8,1"));
    comm.setInputLen(1);
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    comm.setRThreshold(1);
    comm.setSThreshold(1);
    comm.setPortOpen(true);

    if (const int error = comm.lastError(); error != 0) {
        // The number, as always; below it the device and the reason in words.
        QString reason = MSComm::errorText(error);
        if (!comm.lastErrorDetail().isEmpty())
            reason += QStringLiteral(": ") + comm.lastErrorDetail();
        const QString device = comm.device().isEmpty() ? QStringLiteral("no device") : comm.device();
        reporter.report(QStringLiteral("Error : <COM%1> %2\n%3: %4").arg(def.Com_Port).arg(error).arg(device, reason));
        comm.clearError();
    }
    return comm.PortOpen();
}
