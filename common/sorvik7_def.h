#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The state that more than one window or routine shares. One instance lives
// as long as the acquisition engine that owns it; the front end sets the
// operator's choices in it and the settings dialog and the acquisition cycle
// work on it by reference. Nothing in it is saved: every start begins from
// these defaults (the main window's load step sets Save_Path).
//
// The acquisition cycle's own scratch state (the character read last, the
// message being assembled) is the cycle's, not shared.
struct sorvik7_def
{
    QString Save_Path; // folder of the daily data files, used as given
    qint16 Com_Port = 1; // serial port number: "COM" + Com_Port
    qint16 Sample_Num = 10; // N, length of the averaging window (3..64)
    bool Stop_Flag = true; // acquisition is stopped
    bool Debug_Flag = false; // records also carry the N individual speeds
};

namespace sorvik7 {
inline constexpr char STX = '\x02';
inline constexpr char ETX = '\x03';
inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

// The speed window has 65 slots; slot 0 is never used, so N is at most 64.
inline constexpr int kMinSampleNum = 3;
inline constexpr int kMaxSampleNum = 64;
inline constexpr bool isValidSampleNum(int n)
{
    return n >= kMinSampleNum && n <= kMaxSampleNum;
}

// A message of this many characters or fewer, from its STX on, is dropped.
inline constexpr int kMaxDroppedLength = 19;

// The pending count is a 16-bit signed value.
inline constexpr qint16 kMaxPendingCount = 32767;
} // namespace sorvik7
