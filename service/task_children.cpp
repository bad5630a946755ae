// The children's side of the state folder: each child's output file, the
// record of what runs (so that a service started again after a crash takes
// its children over instead of starting them twice), and the process groups
// that outlive the child that led them.
#include <cstdio>

#include "service/log.h"
#include "service/task_service.h"

namespace taskd {
namespace {

// A file name for any task name: letters, digits, '-' and '_' stay, every
// other byte becomes %XX; a long result is cut and made unique by a hash of
// the whole name, so that it stays within a file name's 255 bytes.
std::string FileNameFor(const std::string &name) {
    std::string out;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            out += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    constexpr std::size_t kMaxChars = 160;
    if (out.size() > kMaxChars) {
        std::uint64_t h = 14695981039346656037ull; // FNV-1a
        for (const char ch : name) h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
        char tail[20];
        std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(h));
        out = out.substr(0, kMaxChars) + tail;
    }
    return out;
}

const char *KindWord(RunningEntry::Kind kind) {
    switch (kind) {
    case RunningEntry::Kind::Task: return "task";
    case RunningEntry::Kind::Process: return "process";
    case RunningEntry::Kind::Database: return "the database program";
    }
    return "task";
}

} // namespace

void TaskService::OpenFolders() {
    std::string why;
    // The state store checked the folder's owner and mode at start.
    folder_ = os::Folder::Open(config_.state_dir, false, &why);
    if (folder_) logs_ = folder_->Sub("logs", &why);
    if (!logs_) log::Warning("children's output goes nowhere: " + why);
}

int TaskService::OpenOutput(RunningEntry::Kind kind, const std::string &name) {
    if (!logs_) return -1;
    std::string file;
    switch (kind) {
    case RunningEntry::Kind::Task: file = "task-" + FileNameFor(name) + ".log"; break;
    case RunningEntry::Kind::Process: file = "processes.log"; break;
    case RunningEntry::Kind::Database: file = "database.log"; break;
    }
    std::string why;
    const int fd = logs_->OpenAppend(file, &why);
    if (fd < 0 && !why.empty()) log::Warning(std::string(KindWord(kind)) + " output goes nowhere: " + why);
    return fd;
}

void TaskService::AdoptSurvivors() {
    const std::vector<RunningEntry> survivors = state_.running;
    for (const RunningEntry &e : survivors) {
        const std::string pid = std::to_string(e.pid);
        const std::string who = e.kind == RunningEntry::Kind::Task      ? "task '" + e.name + "' (process " + pid + ")"
                                : e.kind == RunningEntry::Kind::Process ? "process " + pid
                                                                        : "the database program (process " + pid + ")";
        auto child = Adopt(e.pid, e.start_time);
        if (!child) {
            log::Info(who + " ended while the service was down");
            continue;
        }
        log::Info(who + " still runs from before the restart: taken over");
        switch (e.kind) {
        case RunningEntry::Kind::Task:
            if (tasks_running_.count(e.name) == 0) tasks_running_[e.name] = RunningTask{std::move(child), e.from_record};
            break;
        case RunningEntry::Kind::Process: processes_.push_back(std::move(child)); break;
        case RunningEntry::Kind::Database:
            if (!database_) {
                database_ = std::move(child);
                db_state_ = DatabaseState::Running;
                for (auto &[name, running] : subsystem_running_) running = true;
            }
            break;
        }
    }
    RecordRunning();
}

void TaskService::RecordRunning() {
    std::vector<RunningEntry> now;
    const auto entry = [](RunningEntry::Kind kind, const std::string &name, bool from_record,
                          const ChildProcess &child) {
        return RunningEntry{kind, name, from_record, child.pid(), child.start_time()};
    };
    if (database_) now.push_back(entry(RunningEntry::Kind::Database, {}, false, *database_));
    for (const auto &[name, run] : tasks_running_)
        now.push_back(entry(RunningEntry::Kind::Task, name, run.from_record, *run.child));
    for (const auto &child : processes_) now.push_back(entry(RunningEntry::Kind::Process, {}, false, *child));
    if (now == state_.running) return;
    state_.running = std::move(now);
    running_seq_ = ++applied_seq_;
    // mu_ stays held here (callers keep references into the state): while a
    // write is under way, the next one takes the children (AwaitDurable).
    if (writing_) return;
    if (const std::string why = SaveHere(); !why.empty())
        log::Error("the running children could not be saved; after a crash they would not be taken over: " + why);
}

void TaskService::KeepLeftover(RunningEntry::Kind kind, const std::string &name, bool from_record,
                               std::unique_ptr<ChildProcess> child) {
    if (!child->GroupAlive()) return;
    log::Info(std::string(KindWord(kind)) + (name.empty() ? "" : " '" + name + "'") + " (process " +
              std::to_string(child->pid()) + ") left processes running in its group; they are stopped with it");
    leftovers_.push_back(Leftover{kind, name, from_record, std::move(child)});
}

int TaskService::StopLeftovers(const std::function<bool(const Leftover &)> &which) {
    // Taken out of the list first: each stop lets other requests run while it
    // waits, and they may change the list meanwhile.
    std::vector<Leftover> chosen;
    for (auto it = leftovers_.begin(); it != leftovers_.end();) {
        if (!which(*it)) {
            ++it;
            continue;
        }
        chosen.push_back(std::move(*it));
        it = leftovers_.erase(it);
    }
    for (Leftover &l : chosen) {
        int code = 0;
        StopChild(*l.child, config_.stop_grace, &code);
        log::Info("the processes left by " + std::string(KindWord(l.kind)) +
                  (l.name.empty() ? "" : " '" + l.name + "'") + " (group " + std::to_string(l.child->pid()) +
                  ") are stopped");
    }
    return static_cast<int>(chosen.size());
}

} // namespace taskd
