#include "Public/busy_retry.h"

#include <objbase.h>

#include <algorithm>

#include "Public/busy_policy.h"

namespace {

thread_local unsigned long busyNote = 0;

constexpr DWORD kFirstPause = 50;
constexpr DWORD kLongestPause = 250;

// Waits `milliseconds` the way an outgoing COM call waits: in a single-threaded apartment incoming
// calls (the application calling back into the host's objects) are served meanwhile, while the host's
// own posted messages wait. No handle is ever signalled; the wait ends by its time-out.
void Pause(DWORD milliseconds) {
    static const HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD index = 0;
    if (never == nullptr || CoWaitForMultipleHandles(0, milliseconds, 1, const_cast<HANDLE*>(&never),
                                                     &index) != RPC_S_CALLPENDING) {
        Sleep(milliseconds);
    }
}

}  // namespace

namespace qar {

bool IsBusyRefusal(HRESULT hr) {
    return hr == RPC_E_CALL_REJECTED || hr == RPC_E_SERVERCALL_RETRYLATER;
}

// The timeout is read through the exported function, so that code compiled from this file into a
// host tool (which links the library's import library) follows the library's own setting.
BusyWait::BusyWait() : timeout_(QARCAX::GetBusyTimeout()), start_(GetTickCount()), pause_(kFirstPause) {}

bool BusyWait::PauseAfter(HRESULT hr) {
    if (!IsBusyRefusal(hr) || timeout_ == 0) return false;
    const DWORD waited = GetTickCount() - start_;
    if (waited >= timeout_) {
        busyNote = timeout_;
        return false;
    }
    Pause(std::min<DWORD>(pause_, timeout_ - waited));
    pause_ = std::min<DWORD>(pause_ * 2, kLongestPause);
    return true;
}

unsigned long BusyNote() {
    return busyNote;
}

void ClearBusyNote() {
    busyNote = 0;
}

}  // namespace qar
