// The call trace: one JSON object per line (JSON Lines, UTF-8) for each event an administrator needs
// to see what the library did: its load, each host operation, each call across the process boundary
// and each machine fault turned into a result. Off by default; switched on by QARSLDW_TRACE, by the
// registry value Trace under HKCU or HKLM Software\QarSldw (the user's value wins), or by
// QARCAX::SetTrace / qar_set_trace. When off, every hook costs one relaxed atomic load.
//
//   const qar::TraceSpan span;                       // starts the clock only when tracing is on
//   const int result = DoTheOperation();
//   qar::TraceHostOperation({"command", L"QARCAX::SldwCommand::OpenFile", this, result, errorCode,
//                            &errorMessage, span});
//
// Writing never changes a result: a line that cannot be written is dropped and counted.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace qar {

namespace detail {
// -1: the settings have not been read yet; 0: off; 1: on.
extern std::atomic<int> traceState;
// Reads the settings once (environment, registry); returns whether tracing is on.
bool ConfigureTrace() noexcept;
}  // namespace detail

inline bool TraceOn() noexcept {
    const int state = detail::traceState.load(std::memory_order_relaxed);
    return state > 0 || (state < 0 && detail::ConfigureTrace());
}

// The clock and the sequence number of one traced event. With tracing on it reads the clock, takes
// the process's next sequence number and makes it the calling thread's current operation (far-side
// calls name it as "op"), until it goes; with tracing off it does nothing more than TraceOn.
class TraceSpan {
public:
    TraceSpan() noexcept;
    TraceSpan(const TraceSpan&) = delete;
    TraceSpan& operator=(const TraceSpan&) = delete;
    ~TraceSpan();

    bool Running() const { return start_ != 0; }
    uint64_t Sequence() const { return sequence_; }
    // The operation that was current when this span began (0: none).
    uint64_t Outer() const { return outer_; }
    uint64_t ElapsedMicros() const noexcept;

private:
    int64_t start_ = 0;
    uint64_t sequence_ = 0;
    uint64_t outer_ = 0;
};

// One host operation as the trace shows it. `message` is read only for a failure (result != 0).
struct HostOperationTrace {
    const char* kind;     // "connector", "command" or "c" (a C entry point's own refusal or fault)
    const wchar_t* name;  // e.g. L"QARCAX::SldwCommand::OpenFile"
    const void* object;   // the object's identity (its address) while it lives
    int result;
    int code;                     // the status record's code on failure
    const std::wstring* message;  // the status record's message on failure; may be null
    const TraceSpan& span;
};
void TraceHostOperation(const HostOperationTrace& operation) noexcept;

// One call across the process boundary, retries by the busy policy included.
struct FarCallTrace {
    const char* name;       // "ISldWorks.OpenDocument", or null: then file and line name the site
    const wchar_t* member;  // a method called by name, or null
    const char* file;
    int line;
    HRESULT hr;
    unsigned retries;
    const TraceSpan& span;
    int64_t argumentLength = -1;  // a secret argument's length ("argumentLength"); -1: none
};
void TraceFarCall(const FarCallTrace& call) noexcept;

// A machine fault that a guard turns into a result; `dumpPath` names the dump written for it, if any.
void TraceFault(const EXCEPTION_RECORD& record, const std::wstring& dumpPath) noexcept;

// Explicit settings, winning over the environment and the registry. An empty path switches the trace
// off; maxBytes 0 keeps the current cap (default 16 MiB; one rotation to "<file>.1").
void SetTrace(const std::wstring& path, uint64_t maxBytes) noexcept;

// Forgets every setting so that the next event reads them again (tests change the environment and
// the registry between cases).
void ReloadTraceSettings() noexcept;

// Where the trace and the dumps stand, for doctor.
struct TraceStatus {
    bool on;
    std::wstring path;    // the file written
    std::wstring source;  // "function", "environment", "HKCU", "HKLM" or "" (off)
    uint64_t maxBytes;
    uint64_t skipped;  // lines not written
};
TraceStatus GetTraceStatus();

// A diagnostics setting: the environment variable when set and not empty, else the value under
// HKCU Software\QarSldw, else under HKLM (a REG_SZ or REG_EXPAND_SZ, expanded). `source` says which
// ("" when none has it).
std::wstring ReadDiagnosticsText(const wchar_t* environment, const wchar_t* value, std::wstring& source);
// A REG_DWORD or REG_QWORD value under HKCU, else HKLM Software\QarSldw; `fallback` without one.
uint64_t ReadDiagnosticsNumber(const wchar_t* value, uint64_t fallback);

}  // namespace qar
