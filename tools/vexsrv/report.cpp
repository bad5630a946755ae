#include "tools/vexsrv/report.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vexsrv::tool {

int ExitCodeFor(bool ok, Source source) {
    if (ok) return kExitOk;
    switch (source) {
    case Source::Service:
        return kExitRefused;
    case Source::Library:
        return kExitUsage;
    case Source::System:
    case Source::Unreachable:
        return kExitUnreachable;
    }
    return kExitUsage;
}

std::string_view OriginName(Origin origin) {
    switch (origin) {
    case Origin::Service:
        return "service";
    case Origin::System:
        return "system";
    case Origin::Library:
        return "library";
    case Origin::Unreachable:
        return "unreachable";
    case Origin::Tool:
        return "tool";
    case Origin::Timeout:
        return "timeout";
    }
    return "tool";
}

Origin OriginOf(Source source) {
    switch (source) {
    case Source::Service:
        return Origin::Service;
    case Source::System:
        return Origin::System;
    case Source::Library:
        return Origin::Library;
    case Source::Unreachable:
        return Origin::Unreachable;
    }
    return Origin::Library;
}

Report ToolReport(int exit_code, std::string message, Origin origin) {
    Report rep;
    rep.origin = origin;
    rep.exit_code = exit_code;
    rep.message = std::move(message);
    return rep;
}

std::mutex &OutputLock() {
    static std::mutex mu;
    return mu;
}

bool ErrorIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

char Printable(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\n') || u == 0x7F ? '?' : c;
}

void PrintTable(const Table &table) {
    std::vector<std::size_t> widths;
    auto measure = [&widths](const std::vector<std::string> &row) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    };
    measure(table.header);
    for (const auto &row : table.rows)
        measure(row);
    // A cell of several lines continues under its own column.
    auto print = [&widths](const std::vector<std::string> &row) {
        std::string line;
        std::size_t column = 0;
        for (std::size_t i = 0; i < row.size(); ++i) {
            for (char c : row[i]) {
                line += Printable(c);
                if (c == '\n') line.append(column, ' ');
            }
            if (i + 1 < row.size()) {
                const std::size_t last_line = row[i].size() - (row[i].rfind('\n') + 1);
                line.append(widths[i] - std::min(widths[i], last_line) + 2, ' ');
                column += widths[i] + 2;
            }
        }
        std::cout << line << '\n';
    };
    if (!table.header.empty()) print(table.header);
    for (const auto &row : table.rows)
        print(row);
}

namespace {

// A message of several lines, the later ones indented under the first.
std::string Indented(const std::string &text, std::size_t indent) {
    std::string out;
    for (char c : text) {
        out += Printable(c);
        if (c == '\n') out.append(indent, ' ');
    }
    return out;
}

void PrintFailure(const Report &rep) {
    std::string line = "vexsrv: " + std::string(OriginName(rep.origin)) + ": ";
    const std::string text = rep.message.empty() ? "(no message)" : rep.message;
    line += Indented(text, 2);
    switch (rep.origin) {
    case Origin::Service:
        line += "\n  (status " + std::to_string(rep.status.value_or(0)) + ", value " +
                std::to_string(rep.value.value_or(0)) + ")";
        break;
    case Origin::System:
        if (rep.status.value_or(0) != 0) line += "\n  (system error " + std::to_string(*rep.status) + ")";
        break;
    case Origin::Library:
        line += "\n  (nothing was sent)";
        break;
    case Origin::Unreachable:
        line += "\n  (the node did not answer an echo; nothing was sent)";
        break;
    case Origin::Tool:
    case Origin::Timeout:
        break;
    }
    std::cerr << line << std::endl;
}

} // namespace

nlohmann::ordered_json ToJson(const Report &rep, std::string_view operation) {
    nlohmann::ordered_json j;
    j["operation"] = operation;
    j["ok"] = rep.ok;
    j["exit_code"] = rep.exit_code;
    j["source"] = OriginName(rep.origin);
    if (rep.status) j["status"] = *rep.status;
    if (rep.value) j["value"] = *rep.value;
    j["message"] = rep.message;
    j["data"] = rep.data.is_object() ? rep.data : nlohmann::ordered_json::object();
    return j;
}

void Print(const Report &rep, std::string_view operation, bool json) {
    const std::lock_guard<std::mutex> hold(OutputLock());
    if (json) {
        // Texts are 8-bit in the system code page; bytes that are not UTF-8 are replaced.
        std::cout << ToJson(rep, operation).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
        return;
    }
    if (!rep.ok) {
        PrintFailure(rep);
        return;
    }
    // On success every message is the service's own.
    Table table = rep.table;
    if (!rep.message.empty()) table.Add({"message", std::string(OriginName(rep.origin)) + ": " + rep.message});
    PrintTable(table);
    std::cout.flush();
}

} // namespace vexsrv::tool
