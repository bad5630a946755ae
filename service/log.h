// The service's log: one line per event on stderr, with a UTC time stamp and
// the level. Lines of several threads never interleave, and no text in them
// can break a line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace taskd::log {

enum class Level { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// "error", "warning", "info" or "debug".
std::optional<Level> ParseLevel(std::string_view name);
void SetLevel(Level level);
bool Enabled(Level level);

void Write(Level level, std::string_view text);
inline void Error(std::string_view text) { Write(Level::Error, text); }
inline void Warning(std::string_view text) { Write(Level::Warning, text); }
inline void Info(std::string_view text) { Write(Level::Info, text); }
inline void Debug(std::string_view text) { Write(Level::Debug, text); }

// text with its control characters (C0 and DEL) written as \n, \r, \t or
// \xNN, so that it stays on one line; every line the log writes goes
// through it.
std::string Escaped(std::string_view text);

// The current UTC time as "2024-05-01T10:00:00Z".
std::string UtcTimestamp();

} // namespace taskd::log
