// The task records as callers declare them, and the placement tables that
// the library writes and the reference service reads requests with.
#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <utility>

#include "tasks/task_layouts.h"
#include "vexsrvapi.h"

// The records' offsets and sizes, straight from the record tables, checked in
// this program's build too (32-bit Windows and 64-bit Linux alike).
static_assert(sizeof(TaskDefinition1) == 864);
static_assert(offsetof(TaskDefinition1, service_suffix) == 32 && offsetof(TaskDefinition1, command_line) == 96 &&
              offsetof(TaskDefinition1, text_a) == 224 && offsetof(TaskDefinition1, text_b) == 352 &&
              offsetof(TaskDefinition1, text_c) == 480 && offsetof(TaskDefinition1, text_d) == 608 &&
              offsetof(TaskDefinition1, text_e) == 736);
static_assert(sizeof(TaskDefinition2) == 1300);
static_assert(offsetof(TaskDefinition2, service_suffix) == 32 && offsetof(TaskDefinition2, command_line) == 96 &&
              offsetof(TaskDefinition2, text_a) == 608 && offsetof(TaskDefinition2, text_b) == 736 &&
              offsetof(TaskDefinition2, text_c) == 864 && offsetof(TaskDefinition2, text_d) == 992 &&
              offsetof(TaskDefinition2, text_e) == 1120 && offsetof(TaskDefinition2, text_f) == 1248 &&
              offsetof(TaskDefinition2, position) == 1280 && offsetof(TaskDefinition2, number_a) == 1284 &&
              offsetof(TaskDefinition2, number_b) == 1288 && offsetof(TaskDefinition2, number_c) == 1292 &&
              offsetof(TaskDefinition2, byte_a) == 1296 && offsetof(TaskDefinition2, byte_b) == 1297 &&
              offsetof(TaskDefinition2, byte_c) == 1298);
static_assert(sizeof(TaskDefinition3) == 3604);
static_assert(offsetof(TaskDefinition3, service_suffix) == 32 && offsetof(TaskDefinition3, command_line) == 96 &&
              offsetof(TaskDefinition3, text_a) == 1120 && offsetof(TaskDefinition3, text_b) == 2144 &&
              offsetof(TaskDefinition3, text_c) == 2272 && offsetof(TaskDefinition3, text_d) == 2400 &&
              offsetof(TaskDefinition3, text_e) == 2528 && offsetof(TaskDefinition3, text_f) == 3552 &&
              offsetof(TaskDefinition3, position) == 3584 && offsetof(TaskDefinition3, number_a) == 3588 &&
              offsetof(TaskDefinition3, number_b) == 3592 && offsetof(TaskDefinition3, number_c) == 3596 &&
              offsetof(TaskDefinition3, byte_a) == 3600 && offsetof(TaskDefinition3, byte_b) == 3601 &&
              offsetof(TaskDefinition3, byte_c) == 3602);
static_assert(sizeof(TaskDefinition4) == 3608);
static_assert(offsetof(TaskDefinition4, service_suffix) == 32 && offsetof(TaskDefinition4, command_line) == 96 &&
              offsetof(TaskDefinition4, text_a) == 1120 && offsetof(TaskDefinition4, text_b) == 2144 &&
              offsetof(TaskDefinition4, text_c) == 2272 && offsetof(TaskDefinition4, text_d) == 2400 &&
              offsetof(TaskDefinition4, text_e) == 2528 && offsetof(TaskDefinition4, text_f) == 3552 &&
              offsetof(TaskDefinition4, position) == 3584 && offsetof(TaskDefinition4, number_a) == 3588 &&
              offsetof(TaskDefinition4, number_b) == 3592 && offsetof(TaskDefinition4, number_c) == 3596 &&
              offsetof(TaskDefinition4, affinity) == 3600 && offsetof(TaskDefinition4, byte_a) == 3604 &&
              offsetof(TaskDefinition4, byte_b) == 3605 && offsetof(TaskDefinition4, byte_c) == 3606);
static_assert(sizeof(TaskDefinition5) == 3612);
static_assert(offsetof(TaskDefinition5, service_suffix) == 32 && offsetof(TaskDefinition5, command_line) == 96 &&
              offsetof(TaskDefinition5, text_a) == 1120 && offsetof(TaskDefinition5, text_b) == 2144 &&
              offsetof(TaskDefinition5, text_c) == 2272 && offsetof(TaskDefinition5, text_d) == 2400 &&
              offsetof(TaskDefinition5, text_e) == 2528 && offsetof(TaskDefinition5, text_f) == 3552 &&
              offsetof(TaskDefinition5, position) == 3584 && offsetof(TaskDefinition5, number_a) == 3588 &&
              offsetof(TaskDefinition5, number_b) == 3592 && offsetof(TaskDefinition5, number_c) == 3596 &&
              offsetof(TaskDefinition5, affinity) == 3600 && offsetof(TaskDefinition5, priority) == 3604 &&
              offsetof(TaskDefinition5, byte_a) == 3608 && offsetof(TaskDefinition5, byte_b) == 3609 &&
              offsetof(TaskDefinition5, byte_c) == 3610);

namespace vex::tasks {
namespace {

// Request offsets of the wide form, layouts 2 to 5, from the payload tables;
// 0 where the layout has no such field.
struct WideOffsets {
    Field field;
    std::size_t at[4];
};
constexpr WideOffsets kWide[] = {
    {Field::TaskName, {16, 16, 16, 16}},        {Field::ServiceSuffix, {48, 48, 48, 48}},
    {Field::CommandLine, {112, 112, 112, 112}}, {Field::TextA, {624, 1136, 1136, 1136}},
    {Field::TextB, {752, 2160, 2160, 2160}},    {Field::TextC, {880, 2288, 2288, 2288}},
    {Field::TextD, {1008, 2416, 2416, 2416}},   {Field::TextE, {1136, 2544, 2544, 2544}},
    {Field::TextF, {1264, 3568, 3568, 3568}},   {Field::Position, {1296, 3600, 3600, 3600}},
    {Field::NumberA, {1300, 3604, 3604, 3604}}, {Field::NumberB, {1304, 3608, 3608, 3608}},
    {Field::NumberC, {1308, 3612, 3612, 3612}}, {Field::Affinity, {0, 0, 3616, 3616}},
    {Field::Priority, {0, 0, 0, 3620}},         {Field::ByteA, {1312, 3616, 3620, 3624}},
    {Field::ByteB, {1313, 3617, 3621, 3625}},   {Field::ByteC, {1314, 3618, 3622, 3626}},
};

TEST(TaskLayouts, WideFormPlacesEveryFieldAtItsRequestOffset) {
    const Layout *layouts[] = {&kLayout2, &kLayout3, &kLayout4, &kLayout5};
    for (int i = 0; i < 4; ++i) {
        std::size_t rows = 0;
        for (const WideOffsets &w : kWide) {
            const FieldRow *row = layouts[i]->Find(w.field);
            if (w.at[i] == 0) {
                EXPECT_EQ(row, nullptr) << "layout " << i + 2;
                continue;
            }
            ASSERT_NE(row, nullptr) << "layout " << i + 2;
            EXPECT_EQ(kWideForm.RequestOffset(*row), w.at[i]) << row->name << " layout " << i + 2;
            ++rows;
        }
        EXPECT_EQ(rows, layouts[i]->rows.size());
    }
}

TEST(TaskLayouts, NarrowFormPlacesLayoutOneTwoBytesEarlier) {
    const std::pair<Field, std::size_t> narrow[] = {
        {Field::TaskName, 14}, {Field::ServiceSuffix, 46}, {Field::CommandLine, 110}, {Field::TextA, 238},
        {Field::TextB, 366},   {Field::TextC, 494},        {Field::TextD, 622},       {Field::TextE, 750},
    };
    for (const auto &[field, at] : narrow)
        EXPECT_EQ(kNarrowForm.RequestOffset(*kLayout1.Find(field)), at);
    EXPECT_EQ(kLayout1.rows.size(), 8u);
    EXPECT_EQ(kNarrowForm.flags_width, 2u);
    EXPECT_EQ(kWideForm.flags_width, 4u);
}

TEST(TaskLayouts, EveryRecordCarryingOperationIsFoundByItsNumber) {
    // Operation number, layout, wide form.
    const struct {
        std::uint16_t operation;
        int layout;
        bool wide;
    } expected[] = {{2, 1, false}, {8, 1, false}, {24, 1, false}, {25, 1, false}, {30, 2, true},
                    {31, 2, true}, {39, 3, true}, {40, 3, true},  {42, 4, true},  {43, 4, true},
                    {45, 5, true}, {46, 5, true}, {41, 3, true},  {44, 4, true},  {47, 5, true}};
    for (const auto &e : expected) {
        const TaskOperation *row = FindTaskOperation(e.operation);
        ASSERT_NE(row, nullptr) << e.operation;
        EXPECT_EQ(row->layout->number, e.layout) << e.operation;
        EXPECT_EQ(row->form == &kWideForm, e.wide) << e.operation;
    }
    EXPECT_EQ(std::size(kTaskOperations), std::size(expected));
    EXPECT_EQ(FindTaskOperation(3), nullptr); // by name: no record
    EXPECT_EQ(FindTaskOperation(8)->code, 0xFFFF0008u);
}

} // namespace
} // namespace vex::tasks
