#include "serial/lineevents.h"

#include "serial/mscomm.h"

QString lineEventText(qint16 code)
{
    switch (code) {
    case MSComm::comEvBreak:
        return QStringLiteral("Break signal detected");
    case MSComm::comEvCTSTO:
        return QStringLiteral("CTS timeout detected");
    case MSComm::comEvDSRTO:
        return QStringLiteral("DSR timeout detected");
    case MSComm::comEvFrame:
        return QStringLiteral("Framing error detected");
    case MSComm::comEvOverrun:
        return QStringLiteral("Over run error detected");
    case MSComm::comEvCDTO:
        return QStringLiteral("CD timeout detected");
    case MSComm::comEvRxOver:
        return QStringLiteral("Receive buffer overflow detected");
    case MSComm::comEvRxParity:
        return QStringLiteral("Parity error detected");
    case MSComm::comEvTxFull:
        return QStringLiteral("Transfer buffer full error detected");
    case MSComm::comEvDCB:
        return QStringLiteral("DCB get error detected");
    default:
        return {};
    }
}
