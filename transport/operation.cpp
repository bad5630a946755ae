#include "transport/operation.h"

#include <cstring>

#include "util/error_desc.h"

namespace vex {

Operation::Operation(const char *node, const char *suffix, const Outputs &out, std::size_t reply_size,
                     MessageOnEntry on_entry)
    : node_(node), suffix_(suffix != nullptr ? suffix : ""), out_(out), reply_(reply_size) {
    // Neither record is cleared here. The request holds only what is written
    // to it and reads as zero elsewhere; the first completed exchange clears
    // the reply bytes it did not fill, which reads the same and spares
    // clearing bytes the pipe overwrites anyway (all 8024 of a list reply).
    if (on_entry == MessageOnEntry::Clear && out_.message != nullptr && out_.message_length > 0) {
        out_.message[0] = 0;
    }
}

std::int32_t Operation::Refuse(std::string_view text) const {
    BoundedCopy(out_.message, out_.message_length, text);
    return 0;
}

bool Operation::Exchange(Channels channels) {
    if (node_ == nullptr) {
        Refuse(kNodeMissing);
        return false;
    }
    const std::string_view node(node_), suffix(suffix_);
    if (node.size() + suffix.size() > kMaxAddressChars) {
        Refuse(kAddressTooLong);
        return false;
    }
    const ResultChannels rc{out_.status, out_.message, out_.message_length};
    std::uint32_t received = 0;
    const std::uint32_t error =
        TaskServiceTransaction(node, suffix, request_, reply_, channels == Channels::With ? &rc : nullptr, &received);
    if (error == 0) {
        // A later exchange in the same records (the second request of a
        // check) leaves bytes its answer does not cover as the first left them.
        if (!reply_cleared_) reply_.ClearFrom(received);
        reply_cleared_ = true;
        return true;
    }
    if (channels == Channels::With) return false;
    SetStatus(static_cast<std::int32_t>(error));
    if (out_.message != nullptr) BoundedCopy(out_.message, out_.message_length, util::VexWin32ErrorDesc(error).view());
    return false;
}

void Operation::CopyText(std::string_view text) const {
    if (!text.empty()) BoundedCopy(out_.message, out_.message_length, text);
}

std::int32_t Operation::Finish(TextCopy rule) {
    SetValue(reply_.Value());
    SetStatus(reply_.Status());
    if (rule == TextCopy::WhenNotEmpty || reply_.Value() != 0) CopyText(reply_.Text());
    return Result();
}

std::int32_t Operation::Run(Channels channels, TextCopy rule) {
    if (!Exchange(channels)) return 0;
    return Finish(rule);
}

} // namespace vex
