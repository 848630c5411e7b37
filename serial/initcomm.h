#pragma once

class MSComm;
class MessageReporter;
struct sorvik7_def;

// START's setup of the serial control: port Com_Port at "9600,N,8,1", one
// character per read, DTR and RTS asserted, then open. Every step is made
// even when one before it failed; a failure is reported to the operator
// once, as "Error : <COMn> " and the number of the last failing step, with
// the device and the reason in words on a second line, and then cleared.
// Returns whether the port is open afterwards.
bool Init_Comm(MSComm &comm, const sorvik7_def &def, MessageReporter &reporter);
