#pragma once

#include <QString>

// The report for a line event code of the serial control (MSComm's 1001 to
// 1011), as the operator reads it after the "Com<n> : " prefix; empty for
// codes that are not reported (1005, the notifications, anything else).
// The main window shows it in lbl_title, the service writes it to its log.
QString lineEventText(qint16 code);
