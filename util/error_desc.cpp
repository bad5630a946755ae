#include "util/error_desc.h"

#include "platform/platform.h"

namespace vex::util {

ErrorDesc VexWin32ErrorDesc(std::uint32_t code) {
    ErrorDesc desc{};
    platform::ErrorText(code, desc.text, sizeof desc.text);
    return desc;
}

} // namespace vex::util
