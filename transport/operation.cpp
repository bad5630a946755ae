#include "transport/operation.h"

#include <cstring>

#include "util/error_desc.h"

namespace vex {

Operation::Operation(const char *node, const char *suffix, const Outputs &out, std::size_t reply_size,
                     MessageOnEntry on_entry)
    : node_(node), suffix_(suffix != nullptr ? suffix : ""), out_(out), reply_(reply_size) {
    request_.Clear();
    reply_.Clear();
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
    if (std::strlen(node_) + std::strlen(suffix_) > kMaxAddressChars) {
        Refuse(kAddressTooLong);
        return false;
    }
    if (channels == Channels::With) {
        const ResultChannels rc{out_.status, out_.message, out_.message_length};
        return TaskServiceTransaction(node_, suffix_, request_, reply_, &rc) == 0;
    }
    const std::uint32_t error = TaskServiceTransaction(node_, suffix_, request_, reply_, nullptr);
    if (error == 0) return true;
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
