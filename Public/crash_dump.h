// Minidumps of the machine faults that the guards turn into results, when a dump folder is set:
// QARSLDW_DUMPS, the registry value Dumps under HKCU or HKLM Software\QarSldw (the user's value wins),
// or QARCAX::SetDumps / qar_set_dumps. At most MaxDumps (default 3) per process, so that a fault in a
// loop cannot fill the disk. dbghelp.dll is loaded only while a dump is written.
#pragma once

#include <windows.h>

#include <string>

namespace qar {

// Called on the faulting thread, before the fault is thrown as a C++ exception: writes the dump when
// dumps are on, then the trace's fault event. Never changes what the guard records.
void OnMachineFault(const EXCEPTION_RECORD& record, const CONTEXT& context) noexcept;

// Explicit settings, winning over the environment and the registry; an empty folder switches dumps
// off, maxDumps 0 keeps the current limit.
void SetDumps(const std::wstring& folder, unsigned maxDumps) noexcept;

struct DumpStatus {
    bool on;
    std::wstring folder;
    std::wstring source;  // "function", "environment", "HKCU", "HKLM" or ""
    unsigned maxDumps;
    unsigned written;        // by this process
    std::wstring lastError;  // why the last dump was not written, "" when it was
};
DumpStatus GetDumpStatus();

}  // namespace qar
