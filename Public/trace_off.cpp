// The trace as the programs built here see it when they compile library code into themselves
// (qar_host_support): always off. The library module keeps the one real trace; a program switches it
// with QARCAX::SetTrace and must not write a second one of its own.
#include "Public/trace.h"

namespace qar {

namespace detail {
std::atomic<int> traceState{0};
bool ConfigureTrace() noexcept {
    return false;
}
}  // namespace detail

TraceSpan::TraceSpan() noexcept {}
TraceSpan::~TraceSpan() {}
uint64_t TraceSpan::ElapsedMicros() const noexcept {
    return 0;
}
void TraceFarCall(const FarCallTrace&) noexcept {}

}  // namespace qar
