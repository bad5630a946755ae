#include "service/group_files.h"

#include <cctype>

namespace taskd {
namespace {

constexpr std::size_t kMaxNameChars = 200;

std::string Upper(std::string_view s) {
    std::string out;
    for (const char c : s) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, with any
// extension.
bool IsReservedDeviceName(std::string_view name) {
    const std::string stem = Upper(name.substr(0, name.find('.')));
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

} // namespace

std::string GroupFileNameProblem(std::string_view name) {
    const std::string refused = "Group configuration file name refused: ";
    if (name.empty()) return "File name is invalid";
    if (name.size() > kMaxNameChars)
        return refused + "longer than " + std::to_string(kMaxNameChars) + " characters";
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
        return refused + "it names a drive; give a file name inside the state folder";
    if (name[0] == '/' || name[0] == '\\') return refused + "it is an absolute path; give a file name inside the state folder";
    if (name.find_first_of("/\\") != std::string_view::npos)
        return refused + "it holds a folder separator; give a file name inside the state folder";
    if (name.find("..") != std::string_view::npos) return refused + "it holds \"..\"";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::string_view(":*?\"<>|").find(c) != std::string_view::npos)
            return refused + "it holds a character that file names may not hold";
    }
    if (name == "." || name.back() == '.' || name.back() == ' ')
        return refused + "it ends with a dot or a blank";
    if (IsReservedDeviceName(name)) return refused + "it is a name the system reserves for a device";
    return {};
}

} // namespace taskd
