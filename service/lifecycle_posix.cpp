#include "service/lifecycle.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace taskd::lifecycle {
namespace {

// -1 not looked at yet, 0 no, 1 stderr is the journal.
std::atomic<int> g_journal{-1};

bool StderrIsJournal() {
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long dev = 0, ino = 0;
    char extra = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &dev, &ino, &extra) != 2) return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

} // namespace

int Run(int argc, char **argv, Body body) { return body(argc, argv); }

bool TakeReloadRequest() { return false; }

// Without NOTIFY_SOCKET sd_notify does nothing. The unit lets only the main
// process notify, so the tasks inheriting the variable cannot speak for it.
void Ready(const std::string &status) {
    sd_notifyf(0, "READY=1\nMAINPID=%lu\nSTATUS=%s", static_cast<unsigned long>(::getpid()), status.c_str());
}
void Stopping() { sd_notify(0, "STOPPING=1\nSTATUS=stopping"); }
void Reloading() { sd_notify(0, "RELOADING=1\nSTATUS=reading the configuration again"); }
void Reloaded(const std::string &status) { sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str()); }

const char *JournalPrefix(int syslog_priority) {
    static const char *const kPrefixes[8] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    int journal = g_journal.load(std::memory_order_relaxed);
    if (journal < 0) {
        journal = StderrIsJournal() ? 1 : 0;
        g_journal.store(journal, std::memory_order_relaxed);
    }
    if (journal == 0 || syslog_priority < 0 || syslog_priority > 7) return "";
    return kPrefixes[syslog_priority];
}

void DetectJournal() { g_journal.store(StderrIsJournal() ? 1 : 0); }

} // namespace taskd::lifecycle
