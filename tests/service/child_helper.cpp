// A child for the service's tests to start, the same on every platform:
//   sleep SECONDS            runs that long, then exits 0
//   exit CODE                exits at once with CODE
//   stubborn FILE SECONDS    deaf to the polite request to end, creates
//                            FILE, then sleeps
//   record FILE ARGS...      writes its working folder and ARGS to FILE, one
//                            per line, then sleeps 60 s
//   say TEXT                 writes TEXT to stdout and stderr, then sleeps
//                            60 s
//   spawn FILE SECONDS       (POSIX) starts a child that writes its process
//                            id to FILE and sleeps 60 s; sleeps SECONDS and
//                            exits
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

void Sleep(int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

void IgnoreStopRequests() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(nullptr, TRUE);
#else
    std::signal(SIGTERM, SIG_IGN);
#endif
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 3 && std::strcmp(argv[1], "sleep") == 0) {
        Sleep(std::atoi(argv[2]));
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) return std::atoi(argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "stubborn") == 0) {
        IgnoreStopRequests();
        std::ofstream(argv[2]) << "deaf\n";
        Sleep(std::atoi(argv[3]));
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "record") == 0) {
        {
            std::ofstream out(std::string(argv[2]) + ".tmp", std::ios::binary);
            out << std::filesystem::current_path().string() << "\n";
            for (int i = 3; i < argc; ++i) out << argv[i] << "\n";
        }
        // Complete once it appears.
        std::filesystem::rename(std::string(argv[2]) + ".tmp", argv[2]);
        Sleep(60);
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "say") == 0) {
        std::printf("%s\n", argv[2]);
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", argv[2]);
        Sleep(60);
        return 0;
    }
#if !defined(_WIN32)
    if (argc >= 4 && std::strcmp(argv[1], "spawn") == 0) {
        if (::fork() == 0) {
            {
                std::ofstream(std::string(argv[2]) + ".tmp") << ::getpid() << "\n";
            }
            std::filesystem::rename(std::string(argv[2]) + ".tmp", argv[2]);
            Sleep(60);
            return 0;
        }
        Sleep(std::atoi(argv[3]));
        return 0;
    }
#endif
    std::fprintf(stderr, "usage: taskd_test_child sleep|exit N, stubborn FILE N, record FILE ARGS..., say TEXT or spawn FILE N\n");
    return 2;
}
