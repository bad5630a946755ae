#include "tasks/task_payload.h"

#include <cstring>

namespace vex::tasks {
namespace {

// A record's text up to its NUL, never beyond width - 1 characters.
std::string_view TextOf(const std::uint8_t *record, const FieldRow &row) {
    const auto *begin = reinterpret_cast<const char *>(record + row.offset);
    const void *nul = std::memchr(begin, 0, row.width);
    const std::size_t n = nul != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nul) - begin)
                                         : static_cast<std::size_t>(row.width - 1);
    return {begin, n};
}

// The record keeps its integers in the caller's byte order; the wire wants
// little-endian, which Store32 gives whatever the host.
std::int32_t Int32Of(const std::uint8_t *record, const FieldRow &row) {
    std::int32_t v;
    std::memcpy(&v, record + row.offset, sizeof v);
    return v;
}

bool Meets(Requirement r, const Layout &layout, const std::uint8_t *record, std::int32_t position_argument) {
    switch (r) {
    case Requirement::None:
        return true;
    case Requirement::PositionArgumentAppends:
        return position_argument == -1;
    case Requirement::PositionAppends:
        return Int32Of(record, *layout.Find(Field::Position)) == -1;
    case Requirement::CommandLine:
        return record[layout.Find(Field::CommandLine)->offset] != 0;
    case Requirement::TaskName:
        return record[layout.Find(Field::TaskName)->offset] != 0;
    }
    return false;
}

} // namespace

bool RecordCanTravel(const TaskOperation &op, const std::uint8_t *record, std::string_view suffix, Refusal &why) {
    const FieldRow *suffix_row = nullptr;
    for (const FieldRow &row : op.layout->rows) {
        if ((op.sends & row.bit) == 0 || row.kind != FieldKind::Text) continue;
        if (row.field == Field::ServiceSuffix) {
            suffix_row = &row; // an argument, not the record's: examined last
            continue;
        }
        // An empty text is never read further.
        if (record[row.offset] == 0) continue;
        if (std::memchr(record + row.offset, 0, row.width) == nullptr) {
            why.Append(row.name).Append(" is not terminated within its ").AppendDecimal(row.width).Append(" bytes");
            return false;
        }
    }
    if (suffix_row != nullptr && suffix.size() >= suffix_row->width) {
        why.Append("service suffix is too long (at most ").AppendDecimal(suffix_row->width - 1).Append(" characters)");
        return false;
    }
    return true;
}

void WritePayload(TaskServiceRequest &request, const Layout &layout, const PayloadForm &form,
                  const std::uint8_t *record, std::string_view suffix, std::uint32_t sends, std::uint32_t always) {
    std::uint32_t flags = 0;
    for (const FieldRow &row : layout.rows) {
        if ((sends & row.bit) == 0) continue;
        const std::size_t at = form.RequestOffset(row);
        switch (row.kind) {
        case FieldKind::Text: {
            std::string_view text = row.field == Field::ServiceSuffix ? suffix : TextOf(record, row);
            if (text.size() >= row.width) text = text.substr(0, row.width - 1u);
            if (text.empty() && (always & row.bit) == 0) continue;
            request.PutText(at, text);
            break;
        }
        case FieldKind::Int32:
            request.PutI32(at, Int32Of(record, row));
            break;
        case FieldKind::Byte:
            request.PutU8(at, record[row.offset]);
            break;
        }
        flags |= row.bit;
    }
    if (form.flags_width == 2) {
        request.PutU16(form.flags_offset, static_cast<std::uint16_t>(flags));
    } else {
        request.PutU32(form.flags_offset, flags);
    }
}

std::int32_t SendTaskRecord(const TaskOperation &op, std::int32_t lock_key, const char *node, const char *suffix,
                            const void *record, std::int32_t position_argument, const Outputs &out) {
    Operation call(node, suffix, out, kShortReplySize);
    call.request().SetCode(op.code);
    call.request().SetLockKey(lock_key);
    const auto *bytes = static_cast<const std::uint8_t *>(record);
    for (const Requirement r : op.required) {
        if (r != Requirement::PositionArgumentAppends && r != Requirement::None && bytes == nullptr)
            return call.Refuse(kRecordMissing);
        if (!Meets(r, *op.layout, bytes, position_argument)) return call.Refuse(RequirementMessage(r));
    }
    if (bytes == nullptr) return call.Refuse(kRecordMissing);
    Refusal why;
    if (!RecordCanTravel(op, bytes, call.suffix(), why)) return call.Refuse(why.view());
    WritePayload(call.request(), *op.layout, *op.form, bytes, call.suffix(), op.sends, op.always);
    return call.Run(op.channels);
}

} // namespace vex::tasks
