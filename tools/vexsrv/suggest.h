// The closest of a set of words to a misspelt one, for "did you mean".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexsrv::tool {

// Edits (insert, delete, replace, swap of neighbours) between two words.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The choice closest to word, or "" when none is close enough to be a
// likely misspelling (or a prefix of it).
std::string ClosestChoice(std::string_view word, const std::vector<std::string> &choices);

} // namespace vexsrv::tool
