#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "util/fixed_text.h"

namespace vex::platform {

void ErrorText(std::uint32_t code, char *buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) return;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                                   static_cast<DWORD>(size), nullptr);
    std::size_t len = n;
    if (n == 0) {
        FixedText<64> text;
        text.Append("Unknown error ").AppendDecimal(code);
        len = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(buffer, text.c_str(), len);
    }
    // The system's texts end in CR LF (and sometimes a space).
    while (len > 0 && (buffer[len - 1] == '\r' || buffer[len - 1] == '\n' || buffer[len - 1] == ' ')) --len;
    buffer[len < size ? len : size - 1] = 0;
}

} // namespace vex::platform
