// Group configuration files live in the "groups" folder of the state folder,
// under the name the caller gives. A name may only name a file there.
#pragma once

#include <string>
#include <string_view>

namespace taskd {

// Why a file name is refused, or an empty string when it may be used:
// folder separators, "..", absolute paths, drive letters and names the
// system reserves are refused.
std::string GroupFileNameProblem(std::string_view name);

} // namespace taskd
