#include "Public/diagnostics.h"

#include "Public/crash_dump.h"
#include "Public/trace.h"

namespace QARCAX {

void SetTrace(const wchar_t* path, unsigned long long maxBytes) {
    qar::SetTrace(path != nullptr ? path : L"", maxBytes);
}

void SetDumps(const wchar_t* folder, unsigned maxDumps) {
    qar::SetDumps(folder != nullptr ? folder : L"", maxDumps);
}

DiagnosticsStatus GetDiagnosticsStatus() {
    const qar::TraceStatus trace = qar::GetTraceStatus();
    const qar::DumpStatus dumps = qar::GetDumpStatus();
    return DiagnosticsStatus{trace.on, trace.path,   trace.source, trace.maxBytes, trace.skipped,
                             dumps.on, dumps.folder, dumps.source, dumps.maxDumps, dumps.written};
}

}  // namespace QARCAX
