// Start-up marks for the start-up benchmark. When MORVANE_STARTUP_TRACE is set, each mark is
// reported once on standard error as "morvane-startup: <phase> <ns since the epoch>", with
// the wall-clock time, which the benchmark compares with the moment it started the process.
// Without the variable a mark costs one look at a cached flag.
#pragma once

void StartupMark(const char* phase);
