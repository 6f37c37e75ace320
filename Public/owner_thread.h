// The thread a connector or a command belongs to. COM references are usable only in the apartment that
// took them, and a proxy used from another thread answers RPC_E_WRONG_THREAD for calls but does not
// check AddRef, Release or QueryInterface; so every operation a host calls checks the thread first
// and, on the wrong one, touches no reference at all.
//
// The exported connector classes cannot grow a member without breaking hosts built against their
// header, so the owner of every connector and command (and how its thread joined COM) is kept here,
// keyed by the object's address: registered by its constructor, removed by its destructor.
//   qar::RegisterOwner(this, GetCurrentThreadId());        // constructor
//   if (!qar::OnOwnerThread(this)) { /* touch nothing */ }  // any operation
//   qar::ForgetOwner(this);                                 // destructor
#pragma once

#include <windows.h>

#include <string>

#include "Public/status_record.h"

namespace qar {

struct OwnerHome {
    DWORD thread = 0;          // 0 for an object not registered
    HRESULT apartment = S_OK;  // what joining a single-threaded apartment gave on that thread
};

// `home.apartment` is RPC_E_CHANGED_MODE when the thread was already in a multithreaded apartment; a
// copy registers the original's home.
void RegisterOwner(const void* object, OwnerHome home);
void ForgetOwner(const void* object);
OwnerHome HomeOf(const void* object);
void SetOwnerApartment(const void* object, HRESULT joined);
inline bool OnOwnerThread(const void* object) {
    return HomeOf(object).thread == GetCurrentThreadId();
}

// Records a call from a thread other than the owner's: code RPC_E_WRONG_THREAD, message `operation` +
// "():" + the code's text. Returns RPC_E_WRONG_THREAD.
int RecordWrongThread(const wchar_t* operation, StatusRecord record);

}  // namespace qar
