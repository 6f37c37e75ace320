// The boundary of an operation a host calls: the owner's thread checked before anything is touched,
// and a failure after a call was given up on a busy application said so in the status record.
//
//   int SldwCommand::CloseFile() {
//       return RunHostOperation(ownerThread, L"QARCAX::SldwCommand::CloseFile", errorCode, errorMessage,
//                               [&] { return CloseActiveDocument(); });
//   }
#pragma once

#include "sldw/layer.h"

#include <windows.h>

#include <string>

#include "Public/owner_thread.h"
#include "Public/trace.h"

namespace qar {

// Scopes one operation's use of the thread's busy note (Public/busy_retry.h): clears it when the
// operation starts and when it ends, so that a call given up in one operation never shows in another.
class BusyNoteScope {
public:
    BusyNoteScope(int& errorCode, std::wstring& errorMessage);
    BusyNoteScope(const BusyNoteScope&) = delete;
    BusyNoteScope& operator=(const BusyNoteScope&) = delete;
    ~BusyNoteScope();

    // Returns `result`. When it is a failure and a call of the operation was given up on a busy
    // application, the message gains the localized note that the application stayed busy for the
    // timeout (before a final line feed); an operation that recorded nothing records its result and
    // the result's text first, so that the note never stands beside an older failure.
    int Finish(int result);

private:
    int& errorCode_;
    std::wstring& errorMessage_;
    bool watching_;  // the busy policy is on: only then can a note appear
    int codeBefore_ = 0;
    std::wstring messageBefore_;
};

// Runs `body` (returning int) as an operation of an object owned by thread `owner`: from another
// thread RPC_E_WRONG_THREAD is recorded and returned and nothing runs; otherwise body's result, with
// the busy note added to a failure.
template <class Body>
int RunHostOperation(DWORD owner, const wchar_t* operation, int& errorCode, std::wstring& errorMessage,
                     Body&& body) {
    const TraceSpan span;
    int result = 0;
    if (owner != GetCurrentThreadId()) {
        result = RecordWrongThread(operation, errorCode, errorMessage);
    } else {
        BusyNoteScope scope(errorCode, errorMessage);
        result = scope.Finish(body());
    }
    TraceHostOperation({"command", operation, &errorCode, result, errorCode, &errorMessage, span});
    return result;
}

// The note itself, for `milliseconds` of waiting: "The CAD application stayed busy for 2.5 s." in
// the user's language.
std::wstring BusyNoteText(unsigned long milliseconds);

}  // namespace qar
