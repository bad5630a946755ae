#include "service/state_store.h"

#include <filesystem>
#include <system_error>

namespace taskd {

StateStore::StateStore(std::string dir) : dir_(std::move(dir)), path_(dir_ + "/" + kStateFileName) {}

std::string StateStore::Open(PersistentState *state) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec) return "cannot create the state folder " + dir_ + ": " + ec.message();
    std::string why;
    auto lock = os::LockFolder(dir_, &why);
    if (!lock) return why;
    std::string text;
    bool missing = false;
    if (auto err = os::ReadWholeFile(path_, &text, &missing); !err.empty()) {
        if (missing) {
            *state = PersistentState{};
            lock_ = std::move(lock);
            return {};
        }
        return "the state file cannot be read: " + err;
    }
    if (auto err = StateFromJson(text, state); !err.empty())
        return "the state file " + path_ + " is damaged: " + err +
               ". It was left as it is; repair or move it away and start again";
    lock_ = std::move(lock);
    return {};
}

std::string StateStore::Save(const PersistentState &state) const {
    return os::WriteFileDurably(path_, StateToJson(state));
}

} // namespace taskd
