// vexsrv/task.h: a task described by named fields, and its conversion into
// the C records TaskDefinition1 to TaskDefinition5.
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vexsrvapi.h"

namespace vexsrv {

// The record layouts; each generation of operations takes its own.
enum class Layout { One = 1, Two = 2, Three = 3, Four = 4, Five = 5 };

// A task of the service's list. An empty text counts as absent. Each layout
// carries the fields it has: layout 1 only the texts up to text_e, layout 2
// on text_f, position, numbers and bytes, layout 4 on affinity, layout 5
// priority. The record's service_suffix is never sent: the Service's suffix
// travels in its place.
struct Task {
    std::string name;
    std::string command_line;
    std::string text_a, text_b, text_c, text_d, text_e, text_f;
    std::int32_t position = -1; // -1: after the last task, the only place an add accepts
    std::int32_t number_a = 0, number_b = 0, number_c = 0;
    std::int32_t affinity = 0; // processor affinity mask
    std::int32_t priority = 0; // process priority
    std::uint8_t byte_a = 0, byte_b = 0, byte_c = 0;
};

namespace detail {

// Copies a text into a fixed field with its terminator. An empty message when
// it fits, else the refusal naming the field: a text fits with at most width
// minus one characters and no zero byte, which would cut it short.
template <std::size_t N> std::string PutText(char (&field)[N], std::string_view text, std::string_view name) {
    if (text.find('\0') != std::string_view::npos) return std::string(name) + " holds a zero byte";
    if (text.size() >= N)
        return std::string(name) + " is too long for its field (at most " + std::to_string(N - 1) + " characters)";
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
    return {};
}

} // namespace detail

// Fills a zeroed record of any layout from the task's named fields, those the
// layout has. Returns an empty string when every text fits, else a message
// naming the first text that does not.
template <class Record> std::string FillRecord(const Task &task, Record &record) {
    using detail::PutText;
    std::string refusal;
    auto put = [&refusal](auto &field, std::string_view text, std::string_view name) {
        if (refusal.empty()) refusal = PutText(field, text, name);
    };
    put(record.task_name, task.name, "task_name");
    put(record.command_line, task.command_line, "command_line");
    put(record.text_a, task.text_a, "text_a");
    put(record.text_b, task.text_b, "text_b");
    put(record.text_c, task.text_c, "text_c");
    put(record.text_d, task.text_d, "text_d");
    put(record.text_e, task.text_e, "text_e");
    if constexpr (requires { record.text_f; }) {
        put(record.text_f, task.text_f, "text_f");
        record.position = task.position;
        record.number_a = task.number_a;
        record.number_b = task.number_b;
        record.number_c = task.number_c;
        record.byte_a = task.byte_a;
        record.byte_b = task.byte_b;
        record.byte_c = task.byte_c;
    }
    if constexpr (requires { record.affinity; }) record.affinity = task.affinity;
    if constexpr (requires { record.priority; }) record.priority = task.priority;
    return refusal;
}

} // namespace vexsrv

#endif // VEXSRV_CXX_LAYER_USABLE
