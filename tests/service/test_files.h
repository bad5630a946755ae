// Files and programs the service's tests use: a fresh temporary folder per
// test, the folder of the running test program and the child helper beside
// it.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace taskd::test {

inline std::string ProgramDir() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    return std::filesystem::path(path).parent_path().string();
#else
    return std::filesystem::canonical("/proc/self/exe").parent_path().string();
#endif
}

inline std::uint32_t OwnPid() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<std::uint32_t>(getpid());
#endif
}

// Whether a process of that id still runs (not merely waits to be reaped).
inline bool ProcessAlive(std::uint32_t pid) {
#if defined(_WIN32)
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (h == nullptr) return false;
    const bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return alive;
#else
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
#endif
}

// The child helper as a command line, quoted.
inline std::string ChildHelper() {
#if defined(_WIN32)
    const char *name = "taskd_test_child.exe";
#else
    const char *name = "taskd_test_child";
#endif
    std::string quoted = "\"";
    quoted += (std::filesystem::path(ProgramDir()) / name).string();
    quoted += '"';
    return quoted;
}

// A new, empty folder of its own.
inline std::string NewTempDir(const std::string &stem) {
    static std::atomic<int> counter{0};
    const auto dir = std::filesystem::temp_directory_path() /
                     ("taskd-" + stem + "-" + std::to_string(OwnPid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // The service takes only a folder no other user may write.
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    return dir.string();
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace taskd::test
