// This computer's name and this process's id, found the way a caller would,
// without the library: GetComputerNameA on Windows; elsewhere the host name
// before its first ".", in upper case, cut to the 15 characters of a NetBIOS
// name, as Windows and Wine make a computer name of it.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vex::test {

inline std::string LocalComputerName() {
#if defined(_WIN32)
    char buf[64] = {};
    DWORD n = sizeof buf;
    if (!GetComputerNameA(buf, &n)) return {};
    return std::string(buf, n);
#else
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return {};
    std::string name;
    for (const char *p = host; *p != 0 && *p != '.' && name.size() < 15; ++p)
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return name;
#endif
}

inline std::uint32_t CurrentProcessId() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<std::uint32_t>(getpid());
#endif
}

// Lower-case hexadecimal without leading zeros, as "%x" prints it.
inline std::string Hex(std::uint32_t v) {
    const char *digits = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return s;
}

} // namespace vex::test
