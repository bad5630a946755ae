// The pipe transaction and the result convention shared by every operation.
#pragma once

#include <cstdint>
#include <string_view>

#include "transport/record.h"

namespace vex {

// Node name and suffix together may take this many characters: the pipe name
// "\\%s\pipe\ZEPTAR_%s_TSK_REQ" has 23 fixed characters and a 512-byte buffer.
inline constexpr std::size_t kPipeNameCapacity = 512;
inline constexpr std::size_t kMaxAddressChars = kPipeNameCapacity - 23 - 1;
// The connection message is composed in 256 bytes.
inline constexpr std::size_t kConnectionMessageCapacity = 256;

inline constexpr std::string_view kDisplayName = "Kestrane Tidewell Task Service";

// Copies text into a caller's message buffer: at most length bytes, the rest of
// length zero-filled, no terminator when the text fills it; nothing for a null
// buffer or a length of 0 or less.
void BoundedCopy(char *buffer, std::int32_t length, std::string_view text);

// Writes the pipe name of node and suffix into out (kPipeNameCapacity bytes).
// Returns false, writing nothing usable, when they do not fit.
bool ComposePipeName(std::string_view node, std::string_view suffix, char *out);

// Copies the connection message for a missing pipe into the caller's buffer,
// cut to its 256-byte composition buffer when node and suffix are very long.
void CopyConnectionMessage(std::string_view node, std::string_view suffix, char *buffer, std::int32_t length);

// The caller's status out and message buffer, as handed to the transaction.
struct ResultChannels {
    std::int32_t *status;
    char *message;
    std::int32_t message_length;
};

// One exchange with the task service. Returns 0 when it completed, with the
// number of reply bytes it filled in *received (the rest of the record is
// left as it was), else the system error code. With result channels a
// failure is also reported there: the code in the status out, and in the
// message buffer the connection message for code 2 or the system's text for
// any other code. Without them (null) a failure writes nothing. A null status
// out is skipped, not written. node and suffix end with a NUL.
std::uint32_t TaskServiceTransaction(std::string_view node, std::string_view suffix,
                                     TaskServiceRequest &request, TaskServiceReply &reply,
                                     const ResultChannels *channels, std::uint32_t *received);

} // namespace vex
