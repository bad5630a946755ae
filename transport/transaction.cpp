#include "transport/transaction.h"

#include <cstring>

#include "platform/platform.h"
#include "util/error_desc.h"
#include "util/fixed_text.h"

namespace vex {

void BoundedCopy(char *buffer, std::int32_t length, std::string_view text) {
    if (buffer == nullptr || length <= 0) return;
    const auto room = static_cast<std::size_t>(length);
    const std::size_t n = text.size() < room ? text.size() : room;
    if (n != 0) std::memcpy(buffer, text.data(), n);
    if (n < room) std::memset(buffer + n, 0, room - n);
}

bool ComposePipeName(const char *node, const char *suffix, char *out) {
    FixedText<kPipeNameCapacity> name;
    name.Append("\\\\").Append(node).Append("\\pipe\\ZEPTAR_").Append(suffix).Append("_TSK_REQ");
    std::memcpy(out, name.c_str(), name.size() + 1);
    return !name.overflowed();
}

void CopyConnectionMessage(const char *node, const char *suffix, char *buffer, std::int32_t length) {
    FixedText<kConnectionMessageCapacity> text;
    text.Append("Cannot connect to service '")
        .Append(kDisplayName)
        .Append(suffix)
        .Append("' on node '")
        .Append(node)
        .Append("'\nPlease make sure the service is running.");
    BoundedCopy(buffer, length, text.view());
}

std::uint32_t TaskServiceTransaction(const char *node, const char *suffix, const TaskServiceRequest &request,
                                     TaskServiceReply &reply, const ResultChannels *channels) {
    char pipe_name[kPipeNameCapacity];
    std::uint32_t error = platform::kErrorInvalidName;
    if (ComposePipeName(node, suffix, pipe_name)) {
        error = platform::PipeTransact(pipe_name, request.data(), static_cast<std::uint32_t>(request.size()),
                                        reply.data(), static_cast<std::uint32_t>(reply.size()));
    }
    if (error == platform::kErrorSuccess || channels == nullptr) return error;
    if (channels->status != nullptr) *channels->status = static_cast<std::int32_t>(error);
    if (channels->message == nullptr) return error;
    if (error == platform::kErrorFileNotFound) {
        CopyConnectionMessage(node, suffix, channels->message, channels->message_length);
    } else {
        BoundedCopy(channels->message, channels->message_length, util::VexWin32ErrorDesc(error).view());
    }
    return error;
}

} // namespace vex
