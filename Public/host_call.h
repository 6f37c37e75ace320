// The boundary of every call a host makes into the library (a connector's or a command's operation)
// and of the guarded steps inside one: the same sequence for all of them, in one place.
//   1. the owner's thread: from another thread RPC_E_WRONG_THREAD is recorded and returned, and
//      nothing of the object is touched;
//   2. where the call adds a busy note, its status record is watched (StatusRecord::Watch), so that
//      what the call writes is told from an earlier record;
//   3. the guard, when the call has one: exceptions and machine faults end as a result here
//      (without one they reach the host, as the command operations promise);
//   4. a failure after a call was given up on a busy application says so in the record;
//   5. with the trace on, the operation's line (Public/trace.h), after its calls across the process
//      boundary.
//
//   const qar::HostCall kCloseFile = {"command", L"QARCAX::SldwCommand::CloseFile", nullptr, &BusyNoteText};
//   int SldwCommand::CloseFile() {
//       return qar::RunHostCall(kCloseFile, this, Record(), [&] { return CloseActiveDocument(); });
//   }
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "Public/error_model.h"
#include "Public/owner_thread.h"
#include "Public/status_record.h"
#include "Public/trace.h"

namespace qar {

struct HostCall {
    const char* kind;          // "connector" or "command" in the trace; null: a step inside an operation
    const wchar_t* operation;  // qualified name, e.g. L"QARCAX::SldwCommand::OpenFile"
    const GuardSite* guard;    // null: exceptions reach the caller
    // The note a failure gains when a call inside was given up on a busy application, for the
    // milliseconds waited; null: this level adds none (its steps do).
    std::wstring (*busyNote)(unsigned long milliseconds);
};

// Scopes one call's use of the thread's busy note (Public/busy_retry.h): clears it when the call
// starts and when it ends, so that a call given up in one operation never shows in another.
class BusyNoteScope {
public:
    BusyNoteScope(StatusRecord record, std::wstring (*note)(unsigned long)) noexcept;
    BusyNoteScope(const BusyNoteScope&) = delete;
    BusyNoteScope& operator=(const BusyNoteScope&) = delete;
    ~BusyNoteScope();

    // Returns `result`. When it is a failure and a call was given up on a busy application, the
    // record's message gains the note (before a final line feed); a call that recorded nothing
    // records its result and the result's text first, so that the note never stands beside an older
    // failure.
    int Finish(int result);

private:
    StatusRecord record_;
    std::wstring (*note_)(unsigned long);
    std::optional<StatusRecord::Watch> watch_;  // only where a note may be added
};

namespace detail {
template <class Body>
int RunHostCallSteps(const HostCall& call, const void* owner, StatusRecord record, Body& body) {
    if (owner != nullptr && !OnOwnerThread(owner)) return RecordWrongThread(call.operation, record);
    BusyNoteScope busy(record, call.busyNote);
    return busy.Finish(call.guard != nullptr ? RunGuarded(*call.guard, record, body) : body());
}
}  // namespace detail

// Runs `body` (returning int) as `call` on an object registered to its owner thread (`owner`; null
// for a step of an operation whose own call checked the thread already).
template <class Body>
int RunHostCall(const HostCall& call, const void* owner, StatusRecord record, Body&& body) {
    if (call.kind == nullptr || !TraceOn()) return detail::RunHostCallSteps(call, owner, record, body);
    const TraceSpan span;
    const int result = detail::RunHostCallSteps(call, owner, record, body);
    TraceHostOperation({call.kind, call.operation, owner, result, record.Code(), &record.Message(), span});
    return result;
}

}  // namespace qar
