// A re-read of the configuration while the service runs (SIGHUP).
#pragma once

#include <string>

#include "service/options.h"
#include "service/task_service.h"

namespace taskd {

// Reads the command line again, and with it the configuration file, applies
// what a running service can change (the log level, the log file's path and
// the settings of TaskService::ApplyReloadable) and logs each setting that
// waits for the next start. A file that no longer reads leaves everything as it was.
// current holds the options in force and is updated. Returns a status line.
std::string Reload(int argc, char **argv, Options *current, TaskService &svc);

} // namespace taskd
