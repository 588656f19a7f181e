// The exit statuses of every command-line mode, in one place so that --run, --check,
// --verify, --headless and --history answer the same fault with the same number, and
// scripts and units (cron, systemd's RestartPreventExitStatus=) can rely on them.
// 64, 69, 73, 75 and 78 are sysexits.h's; 1 and 2 are cardsync's own.
#pragma once

namespace cardsync {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;              // a job failed, or --check/--verify found a fault
constexpr int kExitCouldNotConnect = 2;     // the server could not be reached or refused the login
constexpr int kExitUsage = 64;              // EX_USAGE: the command line itself is wrong
constexpr int kExitNoDisplay = 69;          // EX_UNAVAILABLE: the window has no display to open on
constexpr int kExitCannotCreateState = 73;  // EX_CANTCREAT: a state or lock folder refused
constexpr int kExitSchedulerRunning = 75;   // EX_TEMPFAIL: another scheduler has the target
constexpr int kExitSettings = 78;           // EX_CONFIG: the settings file is wrong

}  // namespace cardsync
