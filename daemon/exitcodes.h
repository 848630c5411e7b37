#pragma once

// The exit status of every program, one meaning each. systemd's units
// restart a program after 1 (it may run the next time) but not after 2 (the
// same options would fail the same way).
namespace exitcode {

constexpr int kOk = 0; // done, or stopped by SIGTERM / SIGINT
constexpr int kCannotRun = 1; // a fault at run time: a file, a device, the system
constexpr int kBadUsage = 2; // bad options or a bad config file; nothing has been opened

} // namespace exitcode
