// The busy policy: how long the library keeps calling a CAD application that refuses calls because
// it is busy (a rebuild, a long open, a modal dialog).
//
// A busy application refuses an incoming call with RPC_E_CALL_REJECTED or
// RPC_E_SERVERCALL_RETRYLATER. With a busy timeout set, every call the library makes to the
// application or the add-in (activation included) that is refused that way is made again after a
// short pause, until it is answered or the application has stayed busy for the timeout; then the
// operation fails as it would have, and its message adds that the application stayed busy for that
// long. The timeout belongs to the calling thread, as the COM apartment does; 0 (the default) turns
// the policy off, and every refused call fails at once.
//
//   QARCAX::SetBusyTimeout(60000);   // this thread waits up to a minute for a busy application
//
// A call that never returns (a hung application) is not covered: COM cannot cancel it. A host that
// must stay responsive waits for its operation from another thread with a time-out of its own.
#pragma once

#include "Public/qar_api.h"

namespace QARCAX {

// Sets the calling thread's busy timeout in milliseconds; 0 turns the policy off.
QAR_API void SetBusyTimeout(unsigned long milliseconds);
// The calling thread's busy timeout in milliseconds; 0 when the policy is off.
QAR_API unsigned long GetBusyTimeout();

}  // namespace QARCAX
