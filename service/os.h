// What the service needs from the operating system besides pipes and child
// processes: durable files, randomness, user identities, the node name and
// the shutdown signal. os_posix.cpp and os_win.cpp implement it; nothing else
// in the service includes system headers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace taskd::os {

// Replaces path with contents so that a crash at any moment leaves either the
// old or the new file whole: a temporary file beside it is written, flushed to
// the disk and renamed over path, and the folder is flushed too. Returns an
// empty string, or why it failed.
std::string WriteFileDurably(const std::string &path, const std::string &contents);

// Reads a whole file. Returns an empty string, or why it failed; *missing
// tells that the file does not exist.
std::string ReadWholeFile(const std::string &path, std::string *contents, bool *missing);

// Holds an exclusive lock on a folder (a lock file in it) so that two
// services never share one state folder. Null and *why when it is taken.
class FolderLock {
  public:
    virtual ~FolderLock() = default;
};
std::unique_ptr<FolderLock> LockFolder(const std::string &dir, std::string *why);

// Bytes from the system's cryptographic random source.
std::uint32_t RandomU32();

// The name of this computer, as the network knows it.
std::string NodeName();

// The user the service runs as, and the user id of a name or a number given
// on the command line. Windows has no numeric user ids: always null there.
std::optional<std::uint32_t> CurrentUserId();
std::optional<std::uint32_t> LookupUserId(const std::string &name_or_number);
// A user's name for the log, or the number when it has none.
std::string UserName(std::uint32_t user_id);

// The default state folder of an instance.
std::string DefaultStateDir(const std::string &suffix);

// Shutdown requests: SIGINT and SIGTERM (POSIX), Ctrl-C, Ctrl-Break and
// console close (Windows). Reload requests: SIGHUP (POSIX). The signals that
// would otherwise end or stop the service for no reason of its own (SIGPIPE,
// SIGUSR1, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU) are made harmless; its
// children still get them as usual. Install before any thread starts.
void InstallShutdownHandler();
// Waits up to timeout for a shutdown request; true once one arrived. Returns
// false early when a reload request arrives (see TakeReloadRequest).
bool WaitForShutdown(std::chrono::milliseconds timeout);
// Whether a reload request arrived since the last call.
bool TakeReloadRequest();
// Sends the service's own stderr (its log) to the end of the file at path,
// created when missing; called again, opens the file anew (after a log
// rotation). Returns an empty string, or why it cannot.
std::string RedirectLogTo(const std::string &path);
// Asks the service to shut down, as a signal would (used by tests in-process).
void RequestShutdown();

// The process id of the service itself.
std::uint32_t CurrentProcessId();

} // namespace taskd::os
