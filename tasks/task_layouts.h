// Task records and how they travel: the fields of the five TaskDefinition
// layouts, the two payload forms, and the operations that carry a record.
//
// A record travels in the request from offset 12 on, in one of two forms:
//   OFFSET SIZE  FORM    CONTENT
//       12    2  narrow  presence_flags, 16 bits (layout 1)
//       14    -  narrow  the record's fields, each at 14 + its record offset
//       12    4  wide    presence_flags, 32 bits (layouts 2 to 5)
//       16    -  wide    the record's fields, each at 16 + its record offset
// A field's presence bit is set exactly when its slot is written; a slot whose
// bit is clear stays zero. The service tells form and layout apart by the
// operation number alone.
//
// Record offsets (text widths in parentheses):
//   FIELD           BIT      L1        L2        L3/L4/L5
//   task_name       0x40     0 (32)    0 (32)    0 (32)
//   service_suffix  0x100    32 (64)   32 (64)   32 (64)
//   command_line    0x1      96 (128)  96 (512)  96 (1024)
//   text_a          0x20     224 (128) 608 (128) 1120 (1024)
//   text_b          0x2      352 (128) 736 (128) 2144 (128)
//   text_c          0x4      480 (128) 864 (128) 2272 (128)
//   text_d          0x8      608 (128) 992 (128) 2400 (128)
//   text_e          0x10     736 (128) 1120(128) 2528 (1024)
//   text_f          0x400    -         1248 (32) 3552 (32)
//   position        0x80     -         1280      3584
//   number_a..c     0x800..  -         1284..    3588..
//   affinity        0x20000  -         -         L4, L5: 3600
//   priority        0x40000  -         -         L5: 3604
//   byte_a..c       0x4000.. -         1296..    L3: 3600, L4: 3604, L5: 3608
// Bit 0x200 is never set. Layout sizes: 864, 1300, 3604, 3608, 3612.
//
// These tables drive the library's payload writer and serve the reference
// service to read requests back; they need no library code at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>

#include "transport/codes.h"
#include "transport/operation.h"
#include "transport/record.h"
#include "vexsrvapi.h"

namespace vex::tasks {

// ---- Fields ---------------------------------------------------------------

enum class Field : std::uint8_t {
    TaskName,
    ServiceSuffix,
    CommandLine,
    TextA,
    TextB,
    TextC,
    TextD,
    TextE,
    TextF,
    Position,
    NumberA,
    NumberB,
    NumberC,
    Affinity,
    Priority,
    ByteA,
    ByteB,
    ByteC,
};

enum class FieldKind : std::uint8_t { Text, Int32, Byte };

// Presence bits of presence_flags.
inline constexpr std::uint32_t kBitCommandLine = 0x1;
inline constexpr std::uint32_t kBitTextB = 0x2;
inline constexpr std::uint32_t kBitTextC = 0x4;
inline constexpr std::uint32_t kBitTextD = 0x8;
inline constexpr std::uint32_t kBitTextE = 0x10;
inline constexpr std::uint32_t kBitTextA = 0x20;
inline constexpr std::uint32_t kBitTaskName = 0x40;
inline constexpr std::uint32_t kBitPosition = 0x80;
inline constexpr std::uint32_t kBitServiceSuffix = 0x100;
inline constexpr std::uint32_t kBitTextF = 0x400;
inline constexpr std::uint32_t kBitNumberA = 0x800;
inline constexpr std::uint32_t kBitNumberB = 0x1000;
inline constexpr std::uint32_t kBitNumberC = 0x2000;
inline constexpr std::uint32_t kBitByteA = 0x4000;
inline constexpr std::uint32_t kBitByteB = 0x8000;
inline constexpr std::uint32_t kBitByteC = 0x10000;
inline constexpr std::uint32_t kBitAffinity = 0x20000;
inline constexpr std::uint32_t kBitPriority = 0x40000;

struct FieldInfo {
    std::string_view name; // as in the record, used in refusal messages
    FieldKind kind;
    std::uint32_t bit;
};

// Indexed by Field.
inline constexpr FieldInfo kFieldInfo[] = {
    {"task_name", FieldKind::Text, kBitTaskName},
    {"service_suffix", FieldKind::Text, kBitServiceSuffix},
    {"command_line", FieldKind::Text, kBitCommandLine},
    {"text_a", FieldKind::Text, kBitTextA},
    {"text_b", FieldKind::Text, kBitTextB},
    {"text_c", FieldKind::Text, kBitTextC},
    {"text_d", FieldKind::Text, kBitTextD},
    {"text_e", FieldKind::Text, kBitTextE},
    {"text_f", FieldKind::Text, kBitTextF},
    {"position", FieldKind::Int32, kBitPosition},
    {"number_a", FieldKind::Int32, kBitNumberA},
    {"number_b", FieldKind::Int32, kBitNumberB},
    {"number_c", FieldKind::Int32, kBitNumberC},
    {"affinity", FieldKind::Int32, kBitAffinity},
    {"priority", FieldKind::Int32, kBitPriority},
    {"byte_a", FieldKind::Byte, kBitByteA},
    {"byte_b", FieldKind::Byte, kBitByteB},
    {"byte_c", FieldKind::Byte, kBitByteC},
};
static_assert(std::size(kFieldInfo) == static_cast<std::size_t>(Field::ByteC) + 1);

// One field of one layout: where it sits in the record and how wide it is.
struct FieldRow {
    Field field;
    std::string_view name;
    FieldKind kind;
    std::uint32_t bit;
    std::uint16_t offset; // from the start of the record
    std::uint16_t width;  // bytes; a text holds at most width - 1 characters

    static constexpr FieldRow Make(Field f, std::size_t offset, std::size_t width) {
        const FieldInfo &info = kFieldInfo[static_cast<std::size_t>(f)];
        return {
            f, info.name, info.kind, info.bit, static_cast<std::uint16_t>(offset), static_cast<std::uint16_t>(width)};
    }
};

// A row straight from the public record's declaration.
#define VEX_TASK_FIELD(Record, member, field)                                                                          \
    ::vex::tasks::FieldRow::Make(::vex::tasks::Field::field, offsetof(Record, member), sizeof(Record::member))

// ---- Layouts --------------------------------------------------------------

inline constexpr FieldRow kLayout1Rows[] = {
    VEX_TASK_FIELD(TaskDefinition1, task_name, TaskName),
    VEX_TASK_FIELD(TaskDefinition1, service_suffix, ServiceSuffix),
    VEX_TASK_FIELD(TaskDefinition1, command_line, CommandLine),
    VEX_TASK_FIELD(TaskDefinition1, text_a, TextA),
    VEX_TASK_FIELD(TaskDefinition1, text_b, TextB),
    VEX_TASK_FIELD(TaskDefinition1, text_c, TextC),
    VEX_TASK_FIELD(TaskDefinition1, text_d, TextD),
    VEX_TASK_FIELD(TaskDefinition1, text_e, TextE),
};

#define VEX_TASK_COMMON_ROWS(Record)                                                                                   \
    VEX_TASK_FIELD(Record, task_name, TaskName), VEX_TASK_FIELD(Record, service_suffix, ServiceSuffix),                \
        VEX_TASK_FIELD(Record, command_line, CommandLine), VEX_TASK_FIELD(Record, text_a, TextA),                      \
        VEX_TASK_FIELD(Record, text_b, TextB), VEX_TASK_FIELD(Record, text_c, TextC),                                  \
        VEX_TASK_FIELD(Record, text_d, TextD), VEX_TASK_FIELD(Record, text_e, TextE),                                  \
        VEX_TASK_FIELD(Record, text_f, TextF), VEX_TASK_FIELD(Record, position, Position),                             \
        VEX_TASK_FIELD(Record, number_a, NumberA), VEX_TASK_FIELD(Record, number_b, NumberB),                          \
        VEX_TASK_FIELD(Record, number_c, NumberC)
#define VEX_TASK_BYTE_ROWS(Record)                                                                                     \
    VEX_TASK_FIELD(Record, byte_a, ByteA), VEX_TASK_FIELD(Record, byte_b, ByteB), VEX_TASK_FIELD(Record, byte_c, ByteC)

inline constexpr FieldRow kLayout2Rows[] = {VEX_TASK_COMMON_ROWS(TaskDefinition2), VEX_TASK_BYTE_ROWS(TaskDefinition2)};
inline constexpr FieldRow kLayout3Rows[] = {VEX_TASK_COMMON_ROWS(TaskDefinition3), VEX_TASK_BYTE_ROWS(TaskDefinition3)};
inline constexpr FieldRow kLayout4Rows[] = {VEX_TASK_COMMON_ROWS(TaskDefinition4),
                                            VEX_TASK_FIELD(TaskDefinition4, affinity, Affinity),
                                            VEX_TASK_BYTE_ROWS(TaskDefinition4)};
inline constexpr FieldRow kLayout5Rows[] = {
    VEX_TASK_COMMON_ROWS(TaskDefinition5), VEX_TASK_FIELD(TaskDefinition5, affinity, Affinity),
    VEX_TASK_FIELD(TaskDefinition5, priority, Priority), VEX_TASK_BYTE_ROWS(TaskDefinition5)};

#undef VEX_TASK_COMMON_ROWS
#undef VEX_TASK_BYTE_ROWS
#undef VEX_TASK_FIELD

inline constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

struct Layout {
    int number;
    std::size_t record_size;
    std::span<const FieldRow> rows; // in record order

    // The place of a field among the rows, or kNoRow. Compile-time lookups go
    // by index: comparing element addresses with null is not a constant
    // expression under the undefined-behaviour sanitizer.
    constexpr std::size_t IndexOf(Field f) const {
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].field == f) return i;
        return kNoRow;
    }
    constexpr bool Has(Field f) const { return IndexOf(f) != kNoRow; }
    // The row of a field, or null when the layout has no such field.
    constexpr const FieldRow *Find(Field f) const {
        const std::size_t i = IndexOf(f);
        return i == kNoRow ? nullptr : &rows[i];
    }
    // The presence bits of every field the layout has.
    constexpr std::uint32_t Bits() const {
        std::uint32_t bits = 0;
        for (const FieldRow &row : rows)
            bits |= row.bit;
        return bits;
    }
};

inline constexpr Layout kLayout1{1, sizeof(TaskDefinition1), kLayout1Rows};
inline constexpr Layout kLayout2{2, sizeof(TaskDefinition2), kLayout2Rows};
inline constexpr Layout kLayout3{3, sizeof(TaskDefinition3), kLayout3Rows};
inline constexpr Layout kLayout4{4, sizeof(TaskDefinition4), kLayout4Rows};
inline constexpr Layout kLayout5{5, sizeof(TaskDefinition5), kLayout5Rows};

// ---- Payload forms ----------------------------------------------------------

struct PayloadForm {
    std::string_view name;
    std::size_t flags_offset;
    std::size_t flags_width;  // 2 or 4 bytes
    std::size_t fields_start; // request offset of record offset 0

    constexpr std::size_t RequestOffset(const FieldRow &row) const { return fields_start + row.offset; }
    constexpr std::uint32_t BitsThatFit() const {
        return flags_width >= 4 ? 0xFFFFFFFFu : (1u << (8 * flags_width)) - 1;
    }
};

inline constexpr PayloadForm kNarrowForm{"narrow", kReqPayload, 2, kReqPayload + 2};
inline constexpr PayloadForm kWideForm{"wide", kReqPayload, 4, kReqPayload + 4};

// ---- Operations that carry a record ----------------------------------------

// What an operation tests before anything is sent, in the order given.
enum class Requirement : std::uint8_t {
    None,
    PositionArgumentAppends, // the position argument is -1
    PositionAppends,         // the record's position is -1
    CommandLine,             // command_line is not empty
    TaskName,                // task_name is not empty
};

inline constexpr std::string_view kInsertNotSupported = "Inserting tasks to a given location is not supported yet.";
inline constexpr std::string_view kCommandLineMissing = "command_line should be defined";
inline constexpr std::string_view kTaskNameMissing = "task name should be defined";

constexpr std::string_view RequirementMessage(Requirement r) {
    switch (r) {
    case Requirement::PositionArgumentAppends:
    case Requirement::PositionAppends:
        return kInsertNotSupported;
    case Requirement::CommandLine:
        return kCommandLineMissing;
    case Requirement::TaskName:
        return kTaskNameMissing;
    case Requirement::None:
        break;
    }
    return {};
}

// Every field of a layout.
inline constexpr std::uint32_t kEveryField = 0xFFFFFFFFu;
// The fields a process launch sends; the record's layout leaves out what it lacks.
inline constexpr std::uint32_t kProcessFields =
    kBitCommandLine | kBitServiceSuffix | kBitTextA | kBitTextE | kBitAffinity | kBitPriority;

struct TaskOperation {
    std::string_view name; // plain export name
    std::uint32_t code;    // whole code word
    const Layout *layout;
    const PayloadForm *form;
    std::array<Requirement, 3> required; // in the order tested
    std::uint32_t sends;                 // fields written: texts when not empty, numbers always
    std::uint32_t always;                // texts written even when empty
    Channels channels;                   // Without: the operation reports a failed exchange itself

    constexpr std::uint16_t operation() const { return static_cast<std::uint16_t>(code & 0xFFFFu); }
    // The presence bits this operation may set with this layout.
    constexpr std::uint32_t Bits() const { return sends & layout->Bits(); }
};

namespace detail {
using R = Requirement;
inline constexpr std::array<R, 3> kNothing{R::None, R::None, R::None};
inline constexpr std::array<R, 3> kAddLayout1{R::PositionArgumentAppends, R::CommandLine, R::None};
inline constexpr std::array<R, 3> kAdd{R::PositionAppends, R::CommandLine, R::TaskName};
inline constexpr std::array<R, 3> kUpdate{R::TaskName, R::None, R::None};
inline constexpr std::array<R, 3> kCommandLineOnly{R::CommandLine, R::None, R::None};
} // namespace detail

inline constexpr TaskOperation kTaskOperations[] = {
    // Task list editing.
    {"VexSrv_AddTaskToList", MakeCode(op::kAddTask, kModifierAppend), &kLayout1, &kNarrowForm, detail::kAddLayout1,
     kEveryField, kBitServiceSuffix, Channels::With},
    {"VexSrv_UpdateTaskList", MakeCode(op::kUpdateTask, kModifierNone), &kLayout1, &kNarrowForm, detail::kNothing,
     kEveryField, kBitServiceSuffix | kBitTextA, Channels::With},
    {"VexSrv_RemoveTaskFromList", MakeCode(op::kRemoveTask, kModifierNone), &kLayout1, &kNarrowForm, detail::kNothing,
     kEveryField, kBitServiceSuffix, Channels::With},
    {"VexSrv_AddTaskToList2", MakeCode(op::kAddTask2, kModifierNone), &kLayout2, &kWideForm, detail::kAdd, kEveryField,
     0, Channels::With},
    {"VexSrv_UpdateTaskList2", MakeCode(op::kUpdateTask2, kModifierNone), &kLayout2, &kWideForm, detail::kUpdate,
     kEveryField, kBitTextA, Channels::With},
    {"VexSrv_AddTaskToList3", MakeCode(op::kAddTask3, kModifierNone), &kLayout3, &kWideForm, detail::kAdd, kEveryField,
     0, Channels::With},
    {"VexSrv_UpdateTaskList3", MakeCode(op::kUpdateTask3, kModifierNone), &kLayout3, &kWideForm, detail::kUpdate,
     kEveryField, kBitTextA, Channels::With},
    {"VexSrv_AddTaskToList4", MakeCode(op::kAddTask4, kModifierNone), &kLayout4, &kWideForm, detail::kAdd, kEveryField,
     0, Channels::With},
    {"VexSrv_UpdateTaskList4", MakeCode(op::kUpdateTask4, kModifierNone), &kLayout4, &kWideForm, detail::kUpdate,
     kEveryField, kBitTextA, Channels::With},
    {"VexSrv_AddTaskToList5", MakeCode(op::kAddTask5, kModifierNone), &kLayout5, &kWideForm, detail::kAdd, kEveryField,
     0, Channels::With},
    {"VexSrv_UpdateTaskList5", MakeCode(op::kUpdateTask5, kModifierNone), &kLayout5, &kWideForm, detail::kUpdate,
     kEveryField, kBitTextA, Channels::With},
    // Start from a record: lock_key at offset 8, failures reported with the
    // system's text only.
    {"VexSrv_StartTask", MakeCode(op::kStartTask, kModifierNone), &kLayout1, &kNarrowForm, detail::kCommandLineOnly,
     kEveryField, kBitServiceSuffix, Channels::Without},
    // Process launch: a few fields at the offsets layouts 3 to 5 share.
    {"VexSrv_StartProcess", MakeCode(op::kStartProcess, kModifierNone), &kLayout3, &kWideForm, detail::kCommandLineOnly,
     kProcessFields, kBitServiceSuffix, Channels::Without},
    {"VexSrv_StartProcessWithAffinity", MakeCode(op::kStartProcessWithAffinity, kModifierNone), &kLayout4, &kWideForm,
     detail::kCommandLineOnly, kProcessFields, kBitServiceSuffix, Channels::Without},
    {"VexSrv_StartProcessWithAffinityPriority", MakeCode(op::kStartProcessWithAffinityPriority, kModifierNone),
     &kLayout5, &kWideForm, detail::kCommandLineOnly, kProcessFields, kBitServiceSuffix, Channels::Without},
};

// The place of the record-carrying operation with this number among the rows,
// or kNoRow.
constexpr std::size_t TaskOperationIndex(std::uint16_t operation) {
    for (std::size_t i = 0; i < std::size(kTaskOperations); ++i)
        if (kTaskOperations[i].operation() == operation) return i;
    return kNoRow;
}

// The operation that carries a record under this operation number, or null.
constexpr const TaskOperation *FindTaskOperation(std::uint16_t operation) {
    const std::size_t i = TaskOperationIndex(operation);
    return i == kNoRow ? nullptr : &kTaskOperations[i];
}

// The row of an export, found while compiling.
consteval const TaskOperation &TaskOperationFor(std::uint16_t operation) {
    const std::size_t i = TaskOperationIndex(operation);
    if (i == kNoRow) throw "no record-carrying operation with this number";
    return kTaskOperations[i];
}

// ---- Compile-time checks ----------------------------------------------------

// The records are shared with callers compiled anywhere: every offset and size
// must be the same in the 32-bit Windows and the 64-bit Linux build.
static_assert(sizeof(TaskDefinition1) == 864);
static_assert(offsetof(TaskDefinition1, task_name) == 0);
static_assert(offsetof(TaskDefinition1, service_suffix) == 32);
static_assert(offsetof(TaskDefinition1, command_line) == 96);
static_assert(offsetof(TaskDefinition1, text_a) == 224);
static_assert(offsetof(TaskDefinition1, text_b) == 352);
static_assert(offsetof(TaskDefinition1, text_c) == 480);
static_assert(offsetof(TaskDefinition1, text_d) == 608);
static_assert(offsetof(TaskDefinition1, text_e) == 736);

static_assert(sizeof(TaskDefinition2) == 1300);
static_assert(offsetof(TaskDefinition2, task_name) == 0);
static_assert(offsetof(TaskDefinition2, service_suffix) == 32);
static_assert(offsetof(TaskDefinition2, command_line) == 96);
static_assert(offsetof(TaskDefinition2, text_a) == 608);
static_assert(offsetof(TaskDefinition2, text_b) == 736);
static_assert(offsetof(TaskDefinition2, text_c) == 864);
static_assert(offsetof(TaskDefinition2, text_d) == 992);
static_assert(offsetof(TaskDefinition2, text_e) == 1120);
static_assert(offsetof(TaskDefinition2, text_f) == 1248);
static_assert(offsetof(TaskDefinition2, position) == 1280);
static_assert(offsetof(TaskDefinition2, number_a) == 1284);
static_assert(offsetof(TaskDefinition2, number_b) == 1288);
static_assert(offsetof(TaskDefinition2, number_c) == 1292);
static_assert(offsetof(TaskDefinition2, byte_a) == 1296);
static_assert(offsetof(TaskDefinition2, byte_b) == 1297);
static_assert(offsetof(TaskDefinition2, byte_c) == 1298);

static_assert(sizeof(TaskDefinition3) == 3604);
static_assert(offsetof(TaskDefinition3, task_name) == 0);
static_assert(offsetof(TaskDefinition3, service_suffix) == 32);
static_assert(offsetof(TaskDefinition3, command_line) == 96);
static_assert(offsetof(TaskDefinition3, text_a) == 1120);
static_assert(offsetof(TaskDefinition3, text_b) == 2144);
static_assert(offsetof(TaskDefinition3, text_c) == 2272);
static_assert(offsetof(TaskDefinition3, text_d) == 2400);
static_assert(offsetof(TaskDefinition3, text_e) == 2528);
static_assert(offsetof(TaskDefinition3, text_f) == 3552);
static_assert(offsetof(TaskDefinition3, position) == 3584);
static_assert(offsetof(TaskDefinition3, number_a) == 3588);
static_assert(offsetof(TaskDefinition3, number_b) == 3592);
static_assert(offsetof(TaskDefinition3, number_c) == 3596);
static_assert(offsetof(TaskDefinition3, byte_a) == 3600);
static_assert(offsetof(TaskDefinition3, byte_b) == 3601);
static_assert(offsetof(TaskDefinition3, byte_c) == 3602);

static_assert(sizeof(TaskDefinition4) == 3608);
static_assert(offsetof(TaskDefinition4, task_name) == 0);
static_assert(offsetof(TaskDefinition4, service_suffix) == 32);
static_assert(offsetof(TaskDefinition4, command_line) == 96);
static_assert(offsetof(TaskDefinition4, text_a) == 1120);
static_assert(offsetof(TaskDefinition4, text_b) == 2144);
static_assert(offsetof(TaskDefinition4, text_c) == 2272);
static_assert(offsetof(TaskDefinition4, text_d) == 2400);
static_assert(offsetof(TaskDefinition4, text_e) == 2528);
static_assert(offsetof(TaskDefinition4, text_f) == 3552);
static_assert(offsetof(TaskDefinition4, position) == 3584);
static_assert(offsetof(TaskDefinition4, number_a) == 3588);
static_assert(offsetof(TaskDefinition4, number_b) == 3592);
static_assert(offsetof(TaskDefinition4, number_c) == 3596);
static_assert(offsetof(TaskDefinition4, affinity) == 3600);
static_assert(offsetof(TaskDefinition4, byte_a) == 3604);
static_assert(offsetof(TaskDefinition4, byte_b) == 3605);
static_assert(offsetof(TaskDefinition4, byte_c) == 3606);

static_assert(sizeof(TaskDefinition5) == 3612);
static_assert(offsetof(TaskDefinition5, task_name) == 0);
static_assert(offsetof(TaskDefinition5, service_suffix) == 32);
static_assert(offsetof(TaskDefinition5, command_line) == 96);
static_assert(offsetof(TaskDefinition5, text_a) == 1120);
static_assert(offsetof(TaskDefinition5, text_b) == 2144);
static_assert(offsetof(TaskDefinition5, text_c) == 2272);
static_assert(offsetof(TaskDefinition5, text_d) == 2400);
static_assert(offsetof(TaskDefinition5, text_e) == 2528);
static_assert(offsetof(TaskDefinition5, text_f) == 3552);
static_assert(offsetof(TaskDefinition5, position) == 3584);
static_assert(offsetof(TaskDefinition5, number_a) == 3588);
static_assert(offsetof(TaskDefinition5, number_b) == 3592);
static_assert(offsetof(TaskDefinition5, number_c) == 3596);
static_assert(offsetof(TaskDefinition5, affinity) == 3600);
static_assert(offsetof(TaskDefinition5, priority) == 3604);
static_assert(offsetof(TaskDefinition5, byte_a) == 3608);
static_assert(offsetof(TaskDefinition5, byte_b) == 3609);
static_assert(offsetof(TaskDefinition5, byte_c) == 3610);

// The process launch reads layouts 3 to 5 through one placement.
static_assert(offsetof(TaskDefinition3, text_e) == offsetof(TaskDefinition5, text_e) &&
              offsetof(TaskDefinition4, affinity) == offsetof(TaskDefinition5, affinity));

namespace detail {
// Fields follow one another without gaps, each once, and every slot ends
// inside the request.
constexpr bool RowsAreDense(const Layout &layout, const PayloadForm &form) {
    std::size_t next = 0;
    std::uint32_t seen = 0;
    for (const FieldRow &row : layout.rows) {
        if (row.offset != next || (seen & row.bit) != 0) return false;
        if (form.RequestOffset(row) + row.width > kRequestSize) return false;
        next = row.offset + row.width;
        seen |= row.bit;
    }
    return next <= layout.record_size && layout.record_size - next < 4;
}
} // namespace detail

static_assert(detail::RowsAreDense(kLayout1, kNarrowForm));
static_assert(detail::RowsAreDense(kLayout2, kWideForm));
static_assert(detail::RowsAreDense(kLayout3, kWideForm));
static_assert(detail::RowsAreDense(kLayout4, kWideForm));
static_assert(detail::RowsAreDense(kLayout5, kWideForm));

// Every record-carrying operation's bits fit its form's presence_flags.
static_assert([] {
    for (const TaskOperation &row : kTaskOperations)
        if ((row.Bits() & ~row.form->BitsThatFit()) != 0 || (row.Bits() & 0x200u) != 0) return false;
    return true;
}());

// Every requirement reads a field that its operation's layout has.
static_assert([] {
    for (const TaskOperation &row : kTaskOperations) {
        for (const Requirement r : row.required) {
            const Field needed = r == Requirement::PositionAppends ? Field::Position
                                 : r == Requirement::TaskName      ? Field::TaskName
                                                                   : Field::CommandLine;
            if (!row.layout->Has(needed)) return false;
        }
    }
    return true;
}());

} // namespace vex::tasks
