// The state file "taskd-state.json" in the state folder: loaded once at
// start, replaced whole and durably after every change, before the change is
// acknowledged. A file that cannot be read stops the service and is left as
// it is.
#pragma once

#include <memory>
#include <string>

#include "service/os.h"
#include "service/state.h"

namespace taskd {

inline constexpr const char *kStateFileName = "taskd-state.json";

class StateStore {
  public:
    explicit StateStore(std::string dir);

    // Creates the folder (0700) when needed, refuses a folder or state file
    // that another user owns or may write, takes the folder for this service
    // alone and loads the state file (a missing file is the empty state).
    // Returns an empty string, or why the service cannot go on.
    std::string Open(PersistentState *state);

    // Writes the whole state. Returns an empty string, or why it failed; the
    // file then still holds the state before.
    std::string Save(const PersistentState &state) const;

    const std::string &dir() const { return dir_; }
    const std::string &path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
    std::unique_ptr<os::Folder> folder_;
    std::unique_ptr<os::FolderLock> lock_;
};

} // namespace taskd
