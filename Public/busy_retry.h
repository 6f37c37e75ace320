// Calls to the CAD application made again while it refuses them as busy, within the calling thread's
// busy timeout (Public/busy_policy.h). One wrapper serves every call site:
//
//   hr = RetryWhileBusy([&] { return app->put_Visible(VARIANT_TRUE); });
//
// Only RPC_E_CALL_REJECTED and RPC_E_SERVERCALL_RETRYLATER are retried: they say the call never ran.
// Every other answer, a time-out of activation included (retrying that would start a second
// application), is returned at once. Releases are never retried: a release refused by a busy
// application cannot be told apart from one that was taken.
//
// A call given up after the timeout leaves a note for the calling thread (BusyNote), which the
// operation that made it adds to its failure message.
#pragma once

#include <windows.h>

#include <utility>

#include "Public/trace.h"

namespace qar {

// Whether `hr` says the application refused the call because it is busy.
[[nodiscard]] bool IsBusyRefusal(HRESULT hr);

// The pauses between the attempts at one call: 50 ms first, doubling up to 250 ms, never past the
// timeout. While it pauses the thread serves incoming COM calls as it does during an outgoing call.
class BusyWait {
public:
    BusyWait();
    // After a refused attempt: pauses and returns true when the call is to be made again; false when
    // the policy is off, or when the timeout has passed since the first refusal (the thread's note
    // then says so).
    bool PauseAfter(HRESULT hr);

private:
    unsigned long timeout_;
    DWORD start_;
    DWORD pause_;
};

// How the trace names a call: "Interface.Method", with the member's name for a call by name.
struct FarCallName {
    FarCallName(const char* name, const wchar_t* member = nullptr) : name(name), member(member) {}
    const char* name;
    const wchar_t* member;
    const char* file = nullptr;  // where an unnamed call is made
    int line = 0;
    // A call that hands over a secret (the add-in argument): the trace writes only its length.
    int64_t argumentLength = -1;  // -1: none
};

//   hr = RetryWhileBusy("ISldWorks.put_Visible", [&] { return app->put_Visible(VARIANT_TRUE); });
template <class Call>
[[nodiscard]] HRESULT RetryWhileBusy(const FarCallName& name, Call&& call) {
    const TraceSpan span;
    HRESULT hr = call();
    unsigned retries = 0;
    if (IsBusyRefusal(hr)) {
        BusyWait wait;
        while (wait.PauseAfter(hr)) {
            hr = call();
            ++retries;
        }
    }
    if (span.Running())
        TraceFarCall({name.name, name.member, name.file, name.line, hr, retries, span, name.argumentLength});
    return hr;
}

// A call without a name: the trace names it by its source file and line.
template <class Call>
[[nodiscard]] HRESULT RetryWhileBusy(Call&& call, const char* file = __builtin_FILE(),
                                     int line = __builtin_LINE()) {
    FarCallName name(nullptr);
    name.file = file;
    name.line = line;
    return RetryWhileBusy(name, std::forward<Call>(call));
}

// The calling thread's note of a call given up on a busy application: the timeout it waited, in
// milliseconds, or 0 when there is none. An operation clears it when it starts and reads it when it
// fails.
unsigned long BusyNote();
void ClearBusyNote();

}  // namespace qar
