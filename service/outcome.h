// What the service answers: a status (0: carried out), a value and a text.
// Refusals carry a Win32 error code as the status and the same number as the
// value, so that their text reaches callers of operations that copy the text
// only when the value is not 0.
#pragma once

#include <cstdint>
#include <string>

namespace taskd {

namespace status {
inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kInvalidFunction = 1;      // unknown request code
inline constexpr std::int32_t kFileNotFound = 2;         // group configuration file missing
inline constexpr std::int32_t kAccessDenied = 5;         // caller not allowed
inline constexpr std::int32_t kInvalidData = 13;         // malformed request field
inline constexpr std::int32_t kBadLength = 24;           // request of the wrong size
inline constexpr std::int32_t kWriteFault = 29;          // state could not be saved
inline constexpr std::int32_t kLockViolation = 33;       // exclusive lock held by another
inline constexpr std::int32_t kInvalidParameter = 87;    // value out of range
inline constexpr std::int32_t kInvalidName = 123;        // group file name outside the state folder
inline constexpr std::int32_t kNotLocked = 158;          // lock given back while free
inline constexpr std::int32_t kBusy = 170;               // task or database in the way
inline constexpr std::int32_t kAlreadyExists = 183;      // task name taken
inline constexpr std::int32_t kNotActive = 1062;         // database not running
inline constexpr std::int32_t kNotFound = 1168;          // unknown task, subsystem, snapshot
inline constexpr std::int32_t kPipeBusy = 231;           // the service holds as many connections as it may
inline constexpr std::int32_t kListFull = 122;           // task list would no longer fit a reply
} // namespace status

struct Outcome {
    std::int32_t status = status::kOk;
    std::int32_t value = 0;
    std::string text;

    static Outcome Ok(std::int32_t value = 0, std::string text = {}) {
        return {status::kOk, value, std::move(text)};
    }
    static Outcome Refuse(std::int32_t code, std::string text) { return {code, code, std::move(text)}; }
    bool ok() const { return status == status::kOk; }
};

} // namespace taskd
