#include "Public/busy_policy.h"

namespace {

// The calling thread's setting, as the COM apartment is the calling thread's.
thread_local unsigned long busyTimeout = 0;

}  // namespace

namespace QARCAX {

void SetBusyTimeout(unsigned long milliseconds) {
    busyTimeout = milliseconds;
}

unsigned long GetBusyTimeout() {
    return busyTimeout;
}

}  // namespace QARCAX
