// Diagnostics a host can switch on for its own process: the call trace (JSON Lines) and minidumps of
// the machine faults that the library turns into results. Both are off by default; an administrator
// switches them on without a new build through QARSLDW_TRACE / QARSLDW_DUMPS or the registry values
// Trace / Dumps under HKCU or HKLM Software\QarSldw (the user's value wins). These functions win over
// both, for the whole process.
//
//   QARCAX::SetTrace(L"C:\\logs\\qarsldw.jsonl");   // or a folder: qarsldw-trace.jsonl in it
//   QARCAX::SetDumps(L"C:\\dumps", 3);
//   QARCAX::SetTrace(L"");                           // off again
#pragma once

#include <string>

#include "Public/qar_api.h"

namespace QARCAX {

// Traces into `path` (a file, or a folder for qarsldw-trace.jsonl in it); "" or null switches the
// trace off. maxBytes caps the file before it is renamed to "<file>.1" (0 keeps the current cap,
// 16 MiB by default).
QAR_API void SetTrace(const wchar_t* path, unsigned long long maxBytes = 0);
// Writes a minidump into `folder` for each machine fault turned into a result, at most maxDumps per
// process (0 keeps the current limit, 3 by default); "" or null switches dumps off.
QAR_API void SetDumps(const wchar_t* folder, unsigned maxDumps = 0);

// Where the trace and the dumps stand in this process.
struct DiagnosticsStatus {
    bool traceOn;
    std::wstring tracePath;    // the file written
    std::wstring traceSource;  // "function", "environment", "HKCU", "HKLM"
    unsigned long long traceMaxBytes;
    unsigned long long traceSkipped;  // lines that could not be written
    bool dumpsOn;
    std::wstring dumpFolder;
    std::wstring dumpSource;
    unsigned maxDumps;
    unsigned dumpsWritten;
};
QAR_API DiagnosticsStatus GetDiagnosticsStatus();

}  // namespace QARCAX
