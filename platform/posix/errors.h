// Translation of errno values to the Win32 codes that the library reports.
#pragma once

#include <cstdint>

namespace vex::platform::posix {

std::uint32_t Win32FromErrno(int err);

} // namespace vex::platform::posix
