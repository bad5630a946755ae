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

namespace {

constexpr std::string_view kPathHead = "ZEPTAR_";
constexpr std::string_view kPathTail = "_TSK_REQ";

bool PipeNameFits(std::string_view node, std::string_view suffix) {
    return node.size() <= kMaxAddressChars && suffix.size() <= kMaxAddressChars - node.size();
}

} // namespace

bool ComposePipeName(std::string_view node, std::string_view suffix, char *out) {
    constexpr std::string_view kHead = "\\\\";
    constexpr std::string_view kMiddle = "\\pipe\\";
    static_assert(kHead.size() + kMiddle.size() + kPathHead.size() + kPathTail.size() + kMaxAddressChars + 1 ==
                  kPipeNameCapacity);
    if (!PipeNameFits(node, suffix)) {
        out[0] = 0;
        return false;
    }
    // Composed piece by piece: the lengths are known, so no piece is scanned twice.
    char *p = out;
    for (std::string_view piece : {kHead, node, kMiddle, kPathHead, suffix, kPathTail}) {
        std::memcpy(p, piece.data(), piece.size());
        p += piece.size();
    }
    *p = 0;
    return true;
}

void CopyConnectionMessage(std::string_view node, std::string_view suffix, char *buffer, std::int32_t length) {
    FixedText<kConnectionMessageCapacity> text;
    text.Append("Cannot connect to service '")
        .Append(kDisplayName)
        .Append(suffix)
        .Append("' on node '")
        .Append(node)
        .Append("'\nPlease make sure the service is running.");
    BoundedCopy(buffer, length, text.view());
}

std::uint32_t TaskServiceTransaction(std::string_view node, std::string_view suffix, TaskServiceRequest &request,
                                     TaskServiceReply &reply, const ResultChannels *channels, std::uint32_t *received) {
    std::uint32_t error = platform::kErrorInvalidName;
    const auto size = static_cast<std::uint32_t>(request.size());
    const auto offered = static_cast<std::uint32_t>(reply.size());
    // The pipe takes the record as one buffer: its zeros must be in memory.
    request.ZeroTail();
    if constexpr (platform::kPipeTakesNodeAndPath) {
        // Node and path go apart: the transport makes its own address of
        // them in one pass, with no name to compose and take apart again.
        const std::string_view path[] = {kPathHead, suffix, kPathTail};
        if (PipeNameFits(node, suffix))
            error = platform::PipeTransactAt(node, path, request.data(), size, reply.data(), offered, received);
    } else {
        char pipe_name[kPipeNameCapacity];
        if (ComposePipeName(node, suffix, pipe_name))
            error = platform::PipeTransact(pipe_name, request.data(), size, reply.data(), offered, received);
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
