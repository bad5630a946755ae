#include "service/state_store.h"

namespace taskd {

StateStore::StateStore(std::string dir) : dir_(std::move(dir)), path_(dir_ + "/" + kStateFileName) {}

std::string StateStore::Open(PersistentState *state) {
    std::string why;
    auto folder = os::Folder::Open(dir_, true, &why);
    if (!folder) return why;
    auto lock = folder->Lock(&why);
    if (!lock) return why;
    if (why = folder->CheckPrivateFile(kStateFileName); !why.empty()) return why;
    std::string text;
    bool missing = false;
    if (auto err = folder->Read(kStateFileName, &text, &missing); !err.empty()) {
        if (!missing) return "the state file cannot be read: " + err;
        *state = PersistentState{};
    } else if (err = StateFromJson(text, state); !err.empty()) {
        return "the state file " + path_ + " is damaged: " + err +
               ". It was left as it is; repair or move it away and start again";
    }
    folder_ = std::move(folder);
    lock_ = std::move(lock);
    return {};
}

std::string StateStore::Save(const PersistentState &state) const {
    if (!folder_) return "the state folder " + dir_ + " is not open";
    return folder_->WriteDurably(kStateFileName, StateToJson(state));
}

} // namespace taskd
