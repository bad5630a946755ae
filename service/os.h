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
#include <utility>

namespace taskd::os {

// Holds an exclusive lock on a folder (a lock file in it) so that two
// services never share one state folder.
class FolderLock {
  public:
    virtual ~FolderLock() = default;
};

// A folder the service keeps its files in: the state folder and the folders
// in it. On POSIX every file is opened relative to the folder's descriptor,
// never through a symbolic link, and used only when it is a regular file, so
// nothing planted in the folder reaches a file outside it or blocks a read.
class Folder {
  public:
    // The folder at path, created (mode 0700) when missing. With private_only
    // (POSIX) a folder owned by another user than the service's, or writable
    // by group or others, is refused with the fix. Null and *why on failure.
    static std::unique_ptr<Folder> Open(const std::string &path, bool private_only, std::string *why);
    ~Folder();
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    const std::string &path() const { return path_; }
    // The folder name in this one, created (0700) when missing, checked as
    // Open checks a private folder.
    std::unique_ptr<Folder> Sub(const std::string &name, std::string *why) const;

    // Reads the whole file name (at most 64 MiB). Returns an empty string, or
    // why it failed; *missing tells that it does not exist.
    std::string Read(const std::string &name, std::string *contents, bool *missing) const;
    // Replaces the file name so that a crash at any moment leaves the old or
    // the new file whole: a new temporary file of a unique name is written,
    // flushed, renamed over name, and the folder is flushed. Returns an empty
    // string, or why it failed.
    std::string WriteDurably(const std::string &name, const std::string &contents) const;
    // Why the existing file name may not be trusted (another owner, writable
    // by group or others, not a regular file), or an empty string. A missing
    // file is fine.
    std::string CheckPrivateFile(const std::string &name) const;
    // Takes the folder for this process alone (the lock file taskd.lock). Null
    // and *why when another process holds it.
    std::unique_ptr<FolderLock> Lock(std::string *why) const;

    // Output files of children (POSIX): name opened for appending (created
    // 0600), as a descriptor the child inherits; -1 and *why on failure.
    int OpenAppend(const std::string &name, std::string *why) const;
    // Every "*.log" file above cap bytes is copied to "<name>.1" and emptied;
    // the writers, which append, go on at its start.
    void CapLogs(std::uint64_t cap) const;

  private:
    Folder(std::string path, std::intptr_t handle) : path_(std::move(path)), handle_(handle) {}
    std::string path_;
    std::intptr_t handle_;
};

// Closes a descriptor of Folder::OpenAppend.
void CloseDescriptor(int fd);

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
