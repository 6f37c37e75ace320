#include "report.h"

#include "terminal.h"

namespace qarsldw {

void Reporter::Write(const Result& result) {
    if (result.failed) ++failures_;
    if (json_) {
        Terminal::Get().Out(result.json.Text() + L"\n");
    } else if (!result.text.empty()) {
        (result.toError ? Terminal::Get().Err(result.text + L"\n")
                        : Terminal::Get().Out(result.text + L"\n"));
    }
}

void Reporter::Usage(const std::wstring& message) {
    if (json_) {
        Terminal::Get().Out(
            JsonObject().Add(L"ok", false).Add(L"error", L"usage").Add(L"message", message).Text() + L"\n");
    } else {
        Terminal::Get().Err(L"qarsldw: " + message + L"\n\n" + UsageText());
    }
}

void Reporter::Problem(const std::wstring& what, const std::wstring& message) {
    Result result;
    result.json.Add(L"command", what).Add(L"ok", false).Add(L"message", message);
    result.text = what + L": " + message;
    result.failed = result.toError = true;
    Write(result);
}

Result FailureResult(JsonObject json, const std::wstring& what, int result, int code,
                     const std::wstring& message) {
    Result failure;
    failure.json = std::move(json);
    failure.json.Add(L"result", result).Add(L"code", code).Add(L"message", message);
    failure.text = what + L": failed (code " + std::to_wstring(code) + L", result " +
                   std::to_wstring(result) + L"): " + TrimEnd(message);
    failure.failed = failure.toError = true;
    return failure;
}

std::wstring TrimEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

}  // namespace qarsldw
