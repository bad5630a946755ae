// How the service tells whoever supervises it about its life: systemd
// through sd_notify on Linux, the service control manager on Windows (which
// also starts the service through its own dispatcher). Without a supervisor
// every call here does nothing.
#pragma once

#include <string>

namespace taskd::lifecycle {

using Body = int (*)(int argc, char **argv);

// Runs body and returns its exit code. On Windows, by the first argument:
// "--run-as-service OPTIONS..." runs under the service control manager (the
// command line --install-service registers), "--install-service OPTIONS..."
// and "--remove-service [--suffix S]" register or delete the service;
// anything else runs in the console as always.
int Run(int argc, char **argv, Body body);

// The pipe listens: systemd gets READY=1 with the main process and status,
// the service control manager SERVICE_RUNNING.
void Ready(const std::string &status);
// A stop began (STOPPING=1, SERVICE_STOP_PENDING).
void Stopping();
// A re-read of the configuration began and ended (RELOADING=1, then READY=1).
void Reloading();
void Reloaded(const std::string &status);

// Whether the service control manager asked for a re-read of the
// configuration (its parameter change control) since the last call; SIGHUP
// is the os layer's (os::TakeReloadRequest). Always false elsewhere.
bool TakeReloadRequest();

// The priority prefix the journal reads off the front of a line ("<3>" for
// an error up to "<7>" for debug, as syslog numbers them) while stderr is
// the journal's stream (JOURNAL_STREAM names stderr's device and inode);
// else empty.
const char *JournalPrefix(int syslog_priority);
// Looks again whether stderr is the journal's stream, after stderr changed.
void DetectJournal();

} // namespace taskd::lifecycle
