// Error texts of the utility library: the text that describes a system error
// code. The text is returned by value, so no buffer is shared between threads
// or calls.
#pragma once

#include <cstdint>
#include <string_view>

namespace vex::util {

struct ErrorDesc {
    char text[256];
    const char *c_str() const { return text; }
    std::string_view view() const { return text; }
};

// The system's text for a Win32 error code; "Unknown error N" when the system
// has none.
ErrorDesc VexWin32ErrorDesc(std::uint32_t code);

} // namespace vex::util
