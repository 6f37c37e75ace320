#include "Public/trace.h"

#include <cstdio>
#include <cwchar>
#include <string>

#include "Public/owners.h"
#include "Public/registry_key.h"
#include "Public/text_helpers.h"

#ifndef QAR_VERSION_TEXT
#error "QAR_VERSION_TEXT (the project's version) must be defined for this file"
#endif

namespace qar {

namespace detail {
std::atomic<int> traceState{-1};
}  // namespace detail

namespace {

constexpr uint64_t kDefaultMaxBytes = 16ull << 20;
constexpr const wchar_t* kDefaultFileName = L"qarsldw-trace.jsonl";
// After a failed open, lines are dropped (and counted) for this long before the file is tried again,
// so that an unwritable place costs one failed open a second, not one per event.
constexpr DWORD kReopenPauseMs = 1000;

// The sink: the file, its cap and what was dropped. Guarded by `lock`; one WriteFile per line on a
// handle opened for appending only, in turns with other processes writing the file (FileTurn).
struct Sink {
    SRWLOCK lock = SRWLOCK_INIT;
    std::wstring path;
    std::wstring source;
    bool explicitlySet = false;
    uint64_t maxBytes = kDefaultMaxBytes;
    UniqueHandle file;
    UniqueHandle turn;  // the file's writers' mutex, across processes (FileTurn)
    bool loadWritten = false;
    DWORD failedAt = 0;
    bool failed = false;
    std::atomic<uint64_t> skipped{0};
    std::atomic<uint64_t> nextSequence{0};
};

Sink& TheSink() {
    static Sink sink;  // never destroyed before the last event: a function-local static of trivial teardown
    return sink;
}

class Locked {
public:
    explicit Locked(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK& lock_;
};

thread_local uint64_t currentOperation = 0;

int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t TicksPerSecond() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return frequency;
}

// --- One JSON line --------------------------------------------------------------------------------

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A JSON string of UTF-16 text: quotes, backslashes and control characters escaped; a lone surrogate
// becomes U+FFFD so that the line stays valid UTF-8.
void AppendJsonString(std::string& out, const wchar_t* text, size_t length) {
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            AppendUtf8(out, c);
        }
    }
    out += '"';
}

class JsonLine {
public:
    explicit JsonLine(const char* event) {
        SYSTEMTIME now;
        GetSystemTime(&now);
        char stamp[40];
        std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                      now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
        out_ = "{\"t\":\"";
        out_ += stamp;
        out_ += "\",\"ev\":\"";
        out_ += event;
        out_ += '"';
        Number("pid", GetCurrentProcessId());
        Number("tid", GetCurrentThreadId());
    }
    JsonLine& Number(const char* key, int64_t value) {
        Key(key);
        out_ += std::to_string(value);
        return *this;
    }
    JsonLine& Unsigned(const char* key, uint64_t value) {
        Key(key);
        out_ += std::to_string(value);
        return *this;
    }
    // "0x" and at least `digits` hexadecimal digits, as a string (JSON numbers lose 64-bit addresses).
    JsonLine& Hex(const char* key, uint64_t value, int digits) {
        char text[24];
        std::snprintf(text, sizeof(text), "\"0x%0*llx\"", digits, static_cast<unsigned long long>(value));
        Key(key);
        out_ += text;
        return *this;
    }
    JsonLine& Text(const char* key, const std::wstring& value) {
        Key(key);
        AppendJsonString(out_, value.data(), value.size());
        return *this;
    }
    JsonLine& Ascii(const char* key, const char* value) {
        Key(key);
        out_ += '"';
        out_ += value;
        out_ += '"';
        return *this;
    }
    std::string Finish() {
        out_ += "}\n";
        return std::move(out_);
    }

private:
    void Key(const char* key) {
        out_ += ",\"";
        out_ += key;
        out_ += "\":";
    }
    std::string out_;
};

// --- Settings -------------------------------------------------------------------------------------

std::wstring Expanded(const std::wstring& text) {
    const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (needed == 0) return text;
    std::wstring expanded(needed, L'\0');
    const DWORD written = ExpandEnvironmentStringsW(text.c_str(), &expanded[0], needed);
    if (written == 0 || written > needed) return text;
    expanded.resize(written - 1);
    return expanded;
}

// A folder (an existing one, or a path ending in a separator) holds the default file name.
std::wstring TraceFilePath(std::wstring path) {
    if (path.empty()) return path;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool folder = (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) ||
                        path.back() == L'\\' || path.back() == L'/';
    if (!folder) return path;
    if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
    return path + kDefaultFileName;
}

HMODULE ModuleAt(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<const wchar_t*>(address), &module);
    return module;
}

std::string LoadLine() {
    const HMODULE self = ModuleAt(reinterpret_cast<const void*>(&TheSink));
    const LCID locale = GetThreadLocale();
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = L"";
    LCIDToLocaleName(locale, name, LOCALE_NAME_MAX_LENGTH, 0);
    return JsonLine("load")
        .Ascii("version", QAR_VERSION_TEXT)
        .Text("module", ModuleFileName(self))
        .Hex("base", reinterpret_cast<uintptr_t>(self), 0)
        .Hex("lcid", locale, 4)
        .Text("locale", name)
        .Finish();
}

// --- Writing --------------------------------------------------------------------------------------

UniqueHandle OpenForAppending(const std::wstring& path) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file as it is then,
    // whoever else appends; the sharing lets other processes append, readers read and rotation rename.
    UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) file.Reset();
    return file;
}

uint64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool WriteWhole(HANDLE file, const std::string& line) {
    DWORD written = 0;
    return WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
           written == line.size();
}

// Called with the lock held once the handle's file has reached the cap. The file under `path` is
// renamed to "<path>.1" (replacing an older one) only when it is itself full: another process may
// have rotated already, and then this handle merely follows the name to the new file.
void Rotate(Sink& sink) {
    sink.file.Reset();
    if (SizeOf(sink.path) >= sink.maxBytes) {
        MoveFileExW(sink.path.c_str(), (sink.path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

// Whole lines from several processes: measured under Wine 8, two host processes appending to one file
// through FILE_APPEND_DATA handles overwrote the starts of each other's lines (Windows appends each
// write atomically). A mutex named after the file's path makes its writers take turns on both.
class FileTurn {
public:
    explicit FileTurn(HANDLE mutex) : mutex_(mutex) {
        const DWORD wait = mutex != nullptr ? WaitForSingleObject(mutex, 2000) : WAIT_FAILED;
        held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
    FileTurn(const FileTurn&) = delete;
    FileTurn& operator=(const FileTurn&) = delete;
    ~FileTurn() {
        if (held_) ReleaseMutex(mutex_);
    }
    // Whether this writer may write: it holds the turn, or there is no mutex to take turns by.
    bool MayWrite() const { return held_ || mutex_ == nullptr; }

    // The mutex of the file `path` names; none when it cannot be made (then lines are written without
    // taking turns, as before).
    static UniqueHandle For(const std::wstring& path) noexcept {
        try {
            std::wstring key = path;
            CharLowerBuffW(&key[0], static_cast<DWORD>(key.size()));
            const std::wstring name =
                L"Local\\QarSldwTrace-" + std::to_wstring(std::hash<std::wstring>()(key));
            return UniqueHandle(CreateMutexW(nullptr, FALSE, name.c_str()));
        } catch (...) {
            return UniqueHandle();
        }
    }

private:
    HANDLE mutex_;
    bool held_ = false;
};

void Write(const std::string& line) noexcept {
    Sink& sink = TheSink();
    Locked locked(sink.lock);
    if (!sink.path.empty() && !sink.turn) sink.turn = FileTurn::For(sink.path);
    const FileTurn turn(sink.turn.Get());
    if (!turn.MayWrite()) {
        ++sink.skipped;
        return;
    }
    if (sink.path.empty()) return;
    if (!sink.file) {
        if (sink.failed && GetTickCount() - sink.failedAt < kReopenPauseMs) {
            ++sink.skipped;
            return;
        }
        sink.file = OpenForAppending(sink.path);
        sink.failed = !sink.file;
        if (sink.failed) {
            sink.failedAt = GetTickCount();
            ++sink.skipped;
            return;
        }
        if (!sink.loadWritten) {
            try {
                sink.loadWritten = WriteWhole(sink.file.Get(), LoadLine());
            } catch (...) {
                ++sink.skipped;
            }
        }
    }
    if (!WriteWhole(sink.file.Get(), line)) {
        ++sink.skipped;
        sink.file.Reset();
        return;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(sink.file.Get(), &size) && static_cast<uint64_t>(size.QuadPart) >= sink.maxBytes) {
        Rotate(sink);
    }
}

// Builds a line and writes it; a line that cannot be built (no memory) is counted as skipped.
template <class Build>
void Emit(Build&& build) noexcept {
    try {
        Write(build());
    } catch (...) {
        ++TheSink().skipped;
    }
}

std::wstring Utf16(const char* text) {
    std::wstring wide;
    for (; text != nullptr && *text != '\0'; ++text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return wide;
}

std::wstring BaseName(const char* file) {
    const char* base = file;
    for (const char* p = file; p != nullptr && *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return Utf16(base);
}

}  // namespace

namespace detail {

bool ConfigureTrace() noexcept {
    Sink& sink = TheSink();
    Locked locked(sink.lock);
    int now = traceState.load(std::memory_order_relaxed);
    if (now >= 0) return now > 0;
    try {
        if (!sink.explicitlySet) {
            sink.path = TraceFilePath(ReadDiagnosticsText(L"QARSLDW_TRACE", L"Trace", sink.source));
            sink.maxBytes = ReadDiagnosticsNumber(L"TraceMaxBytes", kDefaultMaxBytes);
            if (sink.maxBytes == 0) sink.maxBytes = kDefaultMaxBytes;
        }
    } catch (...) {
        sink.path.clear();
    }
    now = sink.path.empty() ? 0 : 1;
    traceState.store(now, std::memory_order_relaxed);
    return now > 0;
}

}  // namespace detail

TraceSpan::TraceSpan() noexcept {
    if (!TraceOn()) return;
    start_ = Ticks();
    sequence_ = ++TheSink().nextSequence;
    outer_ = currentOperation;
    currentOperation = sequence_;
}

TraceSpan::~TraceSpan() {
    if (start_ != 0) currentOperation = outer_;
}

uint64_t TraceSpan::ElapsedMicros() const noexcept {
    if (start_ == 0) return 0;
    return static_cast<uint64_t>((Ticks() - start_) * 1000000 / TicksPerSecond());
}

void TraceHostOperation(const HostOperationTrace& operation) noexcept {
    if (!operation.span.Running() || !TraceOn()) return;
    Emit([&] {
        JsonLine line("op");
        line.Unsigned("seq", operation.span.Sequence())
            .Ascii("kind", operation.kind)
            .Text("name", operation.name)
            .Hex("object", reinterpret_cast<uintptr_t>(operation.object), 0)
            .Number("result", operation.result)
            .Unsigned("us", operation.span.ElapsedMicros());
        if (operation.result != 0) {
            line.Number("code", operation.code);
            if (operation.message != nullptr) line.Text("message", *operation.message);
        }
        return line.Finish();
    });
}

void TraceFarCall(const FarCallTrace& call) noexcept {
    if (!call.span.Running() || !TraceOn()) return;
    Emit([&] {
        std::wstring name =
            call.name != nullptr ? Utf16(call.name) : BaseName(call.file) + L":" + std::to_wstring(call.line);
        if (call.member != nullptr) name += std::wstring(L" ") + call.member;
        JsonLine line("call");
        line.Unsigned("seq", call.span.Sequence())
            .Unsigned("op", call.span.Outer())
            .Text("name", name)
            .Hex("hr", static_cast<uint32_t>(call.hr), 8)
            .Unsigned("us", call.span.ElapsedMicros())
            .Unsigned("retries", call.retries);
        if (call.argumentLength >= 0) line.Number("argumentLength", call.argumentLength);
        return line.Finish();
    });
}

void TraceFault(const EXCEPTION_RECORD& record, const std::wstring& dumpPath) noexcept {
    if (!TraceOn()) return;
    Emit([&] {
        const HMODULE module = ModuleAt(record.ExceptionAddress);
        const uintptr_t address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
        JsonLine line("fault");
        line.Unsigned("op", currentOperation).Hex("code", record.ExceptionCode, 8).Hex("address", address, 0);
        if (module != nullptr) {
            const std::wstring path = ModuleFileName(module);
            line.Text("module", path.substr(path.find_last_of(L"\\/") + 1))
                .Hex("offset", address - reinterpret_cast<uintptr_t>(module), 0);
        }
        if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2) {
            line.Ascii("access", record.ExceptionInformation[0] == 0   ? "read"
                                 : record.ExceptionInformation[0] == 8 ? "execute"
                                                                       : "write")
                .Hex("data", record.ExceptionInformation[1], 0);
        }
        if (!dumpPath.empty()) line.Text("dump", dumpPath);
        return line.Finish();
    });
}

void SetTrace(const std::wstring& path, uint64_t maxBytes) noexcept {
    Sink& sink = TheSink();
    Locked locked(sink.lock);
    try {
        sink.path = TraceFilePath(path);
        sink.source = sink.path.empty() ? L"" : L"function";
    } catch (...) {
        sink.path.clear();
    }
    if (maxBytes != 0) sink.maxBytes = maxBytes;
    sink.explicitlySet = true;
    sink.file.Reset();
    sink.turn.Reset();
    sink.failed = false;
    detail::traceState.store(sink.path.empty() ? 0 : 1, std::memory_order_relaxed);
}

void ReloadTraceSettings() noexcept {
    Sink& sink = TheSink();
    Locked locked(sink.lock);
    sink.explicitlySet = false;
    sink.path.clear();
    sink.file.Reset();
    sink.turn.Reset();
    sink.failed = false;
    detail::traceState.store(-1, std::memory_order_relaxed);
}

TraceStatus GetTraceStatus() {
    const bool on = TraceOn();
    Sink& sink = TheSink();
    Locked locked(sink.lock);
    return TraceStatus{on, sink.path, sink.source, sink.maxBytes, sink.skipped.load()};
}

std::wstring ReadDiagnosticsText(const wchar_t* environment, const wchar_t* value, std::wstring& source) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(environment, buffer, 1024);
    if (length > 0 && length < 1024) {
        source = L"environment";
        return Expanded(buffer);
    }
    for (const auto& root :
         {std::make_pair(HKEY_CURRENT_USER, L"HKCU"), std::make_pair(HKEY_LOCAL_MACHINE, L"HKLM")}) {
        RegistryKey key;
        std::wstring text;
        if (key.Open(root.first, L"Software\\QarSldw", KEY_QUERY_VALUE) == ERROR_SUCCESS &&
            key.QueryText(value, text)) {
            // The user's value wins even when it is empty: a user may switch off what the machine sets.
            source = text.empty() ? L"" : root.second;
            return Expanded(text);
        }
    }
    source.clear();
    return std::wstring();
}

uint64_t ReadDiagnosticsNumber(const wchar_t* value, uint64_t fallback) {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        uint64_t number = 0;
        DWORD size = sizeof(number);
        if (RegGetValueW(root, L"Software\\QarSldw", value, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, nullptr,
                         &number, &size) == ERROR_SUCCESS) {
            return size == sizeof(DWORD) ? static_cast<uint32_t>(number) : number;
        }
    }
    return fallback;
}

}  // namespace qar
