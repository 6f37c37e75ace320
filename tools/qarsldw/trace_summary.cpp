#include "trace_summary.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "Public/owners.h"
#include "terminal.h"

namespace qarsldw {

namespace {

using nlohmann::json;

struct Durations {
    std::vector<uint64_t> micros;
    uint64_t failures = 0;
    uint64_t retries = 0;
};

// Nearest rank: the smallest duration with at least `percent` of all at or below it.
uint64_t Percentile(const std::vector<uint64_t>& sorted, unsigned percent) {
    if (sorted.empty()) return 0;
    const size_t rank = (sorted.size() * percent + 99) / 100;
    return sorted[std::max<size_t>(rank, 1) - 1];
}

json Row(const std::string& name, Durations& d, bool withRetries) {
    std::sort(d.micros.begin(), d.micros.end());
    json row = {{"name", name},
                {"count", d.micros.size()},
                {"failures", d.failures},
                {"median_us", Percentile(d.micros, 50)},
                {"p95_us", Percentile(d.micros, 95)},
                {"max_us", d.micros.empty() ? 0 : d.micros.back()}};
    if (withRetries) row["retries"] = d.retries;
    return row;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], count);
    return wide;
}

bool ReadWhole(const std::wstring& path, std::string& text) {
    qar::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Reset();
        return false;
    }
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return true;
}

std::string Column(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string TextTable(const char* title, const json& rows, bool withRetries) {
    std::string out = Column(title, 44) + "count  failed  median µs     p95 µs     max µs";
    out += withRetries ? "  retries\n" : "\n";
    for (const json& row : rows) {
        char numbers[128];
        std::snprintf(numbers, sizeof(numbers), "%5llu  %6llu  %9llu  %9llu  %9llu",
                      row["count"].get<unsigned long long>(), row["failures"].get<unsigned long long>(),
                      row["median_us"].get<unsigned long long>(), row["p95_us"].get<unsigned long long>(),
                      row["max_us"].get<unsigned long long>());
        out += Column(row["name"].get<std::string>(), 44) + numbers;
        if (withRetries) out += "  " + std::to_string(row["retries"].get<unsigned long long>());
        out += "\n";
    }
    return out;
}

}  // namespace

std::string SummarizeTrace(const std::string& lines) {
    std::map<std::string, Durations> operations, calls;
    std::map<std::string, uint64_t> failures;  // "name (code N): message" -> times
    json faults = json::array();
    uint64_t unreadable = 0, events = 0;
    for (size_t start = 0; start < lines.size();) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        const json event = json::parse(line, nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event.contains("ev")) {
            ++unreadable;
            continue;
        }
        ++events;
        const std::string kind = event.value("ev", "");
        if (kind == "op") {
            Durations& d = operations[event.value("name", "?")];
            d.micros.push_back(event.value("us", uint64_t{0}));
            if (event.value("result", 0) != 0) {
                ++d.failures;
                std::string message = event.value("message", "");
                while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
                    message.pop_back();
                ++failures[event.value("name", "?") + " (code " + std::to_string(event.value("code", 0)) +
                           "): " + message];
            }
        } else if (kind == "call") {
            Durations& d = calls[event.value("name", "?")];
            d.micros.push_back(event.value("us", uint64_t{0}));
            d.retries += event.value("retries", uint64_t{0});
            // An HRESULT with its severity bit set is a failure.
            if (event.value("hr", "0x0").size() == 10 && event.value("hr", "0x0")[2] >= '8') ++d.failures;
        } else if (kind == "fault") {
            faults.push_back(event);
        }
    }
    json summary = {{"events", events}, {"unreadable_lines", unreadable}};
    summary["operations"] = json::array();
    for (auto& [name, d] : operations) summary["operations"].push_back(Row(name, d, false));
    summary["calls"] = json::array();
    for (auto& [name, d] : calls) summary["calls"].push_back(Row(name, d, true));
    summary["failures"] = json::array();
    for (const auto& [text, count] : failures)
        summary["failures"].push_back({{"failure", text}, {"count", count}});
    summary["faults"] = faults;
    return summary.dump();
}

int RunTraceSummary(const Options& options, Reporter& report) {
    std::string text;
    if (!ReadWhole(options.script, text)) {
        report.Problem(L"trace summary", L"cannot read " + options.script);
        return kExitFailed;
    }
    const json summary = json::parse(SummarizeTrace(text));
    if (report.Json()) {
        Terminal::Get().Out(Wide(summary.dump()) + L"\n");
        return kExitOk;
    }
    std::string out = std::to_string(summary["events"].get<uint64_t>()) + " events";
    if (summary["unreadable_lines"].get<uint64_t>() > 0) {
        out += ", " + std::to_string(summary["unreadable_lines"].get<uint64_t>()) + " unreadable lines";
    }
    out += "\n\n" + TextTable("host operation", summary["operations"], false) + "\n" +
           TextTable("call across the process boundary", summary["calls"], true);
    if (!summary["failures"].empty()) {
        out += "\nfailures:\n";
        for (const json& f : summary["failures"]) {
            out += "  " + std::to_string(f["count"].get<uint64_t>()) + "x " +
                   f["failure"].get<std::string>() + "\n";
        }
    }
    if (!summary["faults"].empty()) {
        out += "\nmachine faults:\n";
        for (const json& f : summary["faults"]) {
            out += "  " + f.value("code", "") + " at " + f.value("module", "?") + "+" +
                   f.value("offset", "?") + (f.contains("dump") ? "  dump " + f.value("dump", "") : "") +
                   "\n";
        }
    }
    Terminal::Get().Out(Wide(out));
    return kExitOk;
}

}  // namespace qarsldw
