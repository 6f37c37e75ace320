#include "Public/crash_dump.h"

#include <dbghelp.h>

#include <atomic>

#include "Public/owners.h"
#include "Public/trace.h"

namespace qar {

namespace {

constexpr unsigned kDefaultMaxDumps = 3;

struct DumpSettings {
    SRWLOCK lock = SRWLOCK_INIT;
    bool configured = false;
    bool explicitlySet = false;
    std::wstring folder;
    std::wstring source;
    unsigned maxDumps = kDefaultMaxDumps;
    std::atomic<unsigned> written{0};
    std::wstring lastError;
};

DumpSettings& Settings() {
    static DumpSettings settings;
    return settings;
}

void ConfigureLocked(DumpSettings& settings) {
    if (settings.configured) return;
    settings.configured = true;
    if (settings.explicitlySet) return;
    settings.folder = ReadDiagnosticsText(L"QARSLDW_DUMPS", L"Dumps", settings.source);
    settings.maxDumps = static_cast<unsigned>(ReadDiagnosticsNumber(L"MaxDumps", kDefaultMaxDumps));
}

std::wstring DumpPath(const std::wstring& folder, unsigned number) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[96];
    _snwprintf(name, 96, L"QarSldw-%lu-%04u%02u%02u-%02u%02u%02u-%u.dmp", GetCurrentProcessId(), now.wYear,
               now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, number);
    name[95] = L'\0';
    std::wstring path = folder;
    if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
    return path + name;
}

using WriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// Writes one dump of this process with the fault's record and context; "" on success, else why not.
std::wstring Write(const std::wstring& path, const EXCEPTION_RECORD& record, const CONTEXT& context) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"no system folder";
    // From the system folder only: a dbghelp.dll beside the host must not be picked up.
    const UniqueModule dbghelp(LoadLibraryW((std::wstring(system) + L"\\dbghelp.dll").c_str()));
    if (!dbghelp) return L"dbghelp.dll not loaded";
    const auto write = reinterpret_cast<WriteDump>(
        reinterpret_cast<void*>(GetProcAddress(dbghelp.Get(), "MiniDumpWriteDump")));
    if (write == nullptr) return L"MiniDumpWriteDump missing";
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        file.Reset();
        return L"cannot create the file (error " + std::to_wstring(GetLastError()) + L")";
    }
    EXCEPTION_RECORD recordCopy = record;
    CONTEXT contextCopy = context;
    EXCEPTION_POINTERS pointers{&recordCopy, &contextCopy};
    MINIDUMP_EXCEPTION_INFORMATION exception{GetCurrentThreadId(), &pointers, FALSE};
    const auto type = static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
    if (!write(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), type, &exception, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        file.Reset();
        DeleteFileW(path.c_str());
        return L"MiniDumpWriteDump failed (error " + std::to_wstring(error) + L")";
    }
    return std::wstring();
}

}  // namespace

void OnMachineFault(const EXCEPTION_RECORD& record, const CONTEXT& context) noexcept {
    std::wstring dumpPath;
    try {
        DumpSettings& settings = Settings();
        std::wstring folder;
        unsigned number = 0;
        AcquireSRWLockExclusive(&settings.lock);
        try {
            ConfigureLocked(settings);
            if (!settings.folder.empty() && settings.written < settings.maxDumps) {
                number = ++settings.written;
                folder = settings.folder;
            }
        } catch (...) {
        }
        ReleaseSRWLockExclusive(&settings.lock);
        if (!folder.empty()) {
            dumpPath = DumpPath(folder, number);
            const std::wstring error = Write(dumpPath, record, context);
            AcquireSRWLockExclusive(&settings.lock);
            settings.lastError = error;
            ReleaseSRWLockExclusive(&settings.lock);
            if (!error.empty()) dumpPath.clear();
        }
    } catch (...) {
        dumpPath.clear();
    }
    TraceFault(record, dumpPath);
}

void SetDumps(const std::wstring& folder, unsigned maxDumps) noexcept {
    DumpSettings& settings = Settings();
    AcquireSRWLockExclusive(&settings.lock);
    try {
        settings.folder = folder;
        settings.source = folder.empty() ? L"" : L"function";
    } catch (...) {
        settings.folder.clear();
    }
    if (maxDumps != 0) settings.maxDumps = maxDumps;
    settings.explicitlySet = true;
    settings.configured = true;
    ReleaseSRWLockExclusive(&settings.lock);
}

DumpStatus GetDumpStatus() {
    DumpSettings& settings = Settings();
    AcquireSRWLockExclusive(&settings.lock);
    ScopeExit release([&] { ReleaseSRWLockExclusive(&settings.lock); });
    ConfigureLocked(settings);
    return DumpStatus{!settings.folder.empty(), settings.folder,         settings.source,
                      settings.maxDumps,        settings.written.load(), settings.lastError};
}

}  // namespace qar
