// qarsldw's results. Each one is written either as text for a human or as one JSON object on standard
// output (--json); every output goes through Reporter::Write, so the two forms are made side by side
// and never drift apart.
//
//   Result result;
//   result.json.Add(L"command", L"close").Add(L"ok", true);
//   result.text = L"line 3: close: ok";
//   report.Write(result);
#pragma once

#include <string>

#include "cli.h"

namespace qarsldw {

// Exit codes.
constexpr int kExitOk = 0;        // everything succeeded
constexpr int kExitFailed = 1;    // an operation or a check failed
constexpr int kExitUsage = 2;     // the command line or the script is wrong
constexpr int kExitNoAnswer = 3;  // an operation had no answer within --call-timeout

struct Result {
    JsonObject json;
    std::wstring text;     // the human form, without its final line feed; "" writes nothing
    bool failed = false;   // counts as a failure
    bool toError = false;  // the human form goes to standard error
};

class Reporter {
public:
    explicit Reporter(bool json) : json_(json) {}
    bool Json() const { return json_; }
    void Write(const Result& result);
    // A command line or script that cannot be used (with the usage text for a human).
    void Usage(const std::wstring& message);
    // A failure that has no status record: a file that cannot be read, no version to use.
    void Problem(const std::wstring& what, const std::wstring& message);
    int Failures() const { return failures_; }
    int ExitCode() const { return failures_ == 0 ? kExitOk : kExitFailed; }

private:
    bool json_;
    int failures_ = 0;
};

// The failure of an operation with the status record it left: "<what>: failed (code N, result R):
// message" for a human; "result", "code" and "message" added to `json` (which says "ok":false).
Result FailureResult(JsonObject json, const std::wstring& what, int result, int code,
                     const std::wstring& message);

// `text` without its trailing line feeds, carriage returns and blanks.
std::wstring TrimEnd(std::wstring text);

}  // namespace qarsldw
