// The text a caller expects for a system error code: on Windows whatever the
// system's message table says (Wine words some codes differently), elsewhere
// Windows' own wording, which the POSIX layer reproduces.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vex::test {

inline std::string SystemText(std::uint32_t code) {
#if defined(_WIN32)
    char buf[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "Unknown error " + std::to_string(code) : s;
#else
    switch (code) {
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 5: return "Access is denied.";
    case 53: return "The network path was not found.";
    case 109: return "The pipe has been ended.";
    case 121: return "The semaphore timeout period has expired.";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.";
    case 183: return "Cannot create a file when that file already exists.";
    case 234: return "More data is available.";
    case 1244: return "The requested operation was not performed because the user has not been authenticated.";
    default: return "Unknown error " + std::to_string(code);
    }
#endif
}

} // namespace vex::test
