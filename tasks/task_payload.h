// The one payload writer of the task records, and the operation that carries
// a record from the caller to the service.
#pragma once

#include <cstdint>
#include <string_view>

#include "tasks/task_layouts.h"
#include "transport/operation.h"
#include "util/fixed_text.h"

namespace vex::tasks {

inline constexpr std::string_view kRecordMissing = "task record should be defined";

// A refusal composed from a field's name and width.
using Refusal = FixedText<96>;

// Whether every field the operation would send can travel: each text to be
// copied has its NUL within its width, and the suffix fits its slot. When one
// cannot, why names it ("text_a is not terminated within its 1024 bytes",
// "service suffix is too long (at most 63 characters)"). The record's fields
// are examined in record order, the suffix argument after them; fields the
// operation does not send are not read.
bool RecordCanTravel(const TaskOperation &op, const std::uint8_t *record, std::string_view suffix, Refusal &why);

// Writes presence_flags and the fields of the record named in sends into the
// request by the layout's offsets and the form's placement: a text when it is
// not empty or is named in always, an integer or byte always. The suffix
// argument takes the place of the record's service_suffix. A text is never
// read past its width nor written past its slot.
void WritePayload(TaskServiceRequest &request, const Layout &layout, const PayloadForm &form,
                  const std::uint8_t *record, std::string_view suffix, std::uint32_t sends, std::uint32_t always);

// The whole life of a record-carrying operation: the requirements in the
// order of its row (a null record is refused before the first one that reads
// it), then the record's fitness, then the payload and the exchange.
// position_argument is tested only by Requirement::PositionArgumentAppends.
// The operations without a lock key or a position argument pass these.
inline constexpr std::int32_t kNoLockKey = 0;
inline constexpr std::int32_t kNoPosition = -1;
std::int32_t SendTaskRecord(const TaskOperation &op, std::int32_t lock_key, const char *node, const char *suffix,
                            const void *record, std::int32_t position_argument, const Outputs &out);

} // namespace vex::tasks
