// Test helpers for modules and scratch files next to the test program.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct ModuleFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

// The directory of the running test program, with a trailing backslash.
inline std::wstring TestProgramDirectory() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Loads a module that the build put beside the test program.
inline UniqueModule LoadModuleBesideTest(const wchar_t* name) {
    return UniqueModule(LoadLibraryW((TestProgramDirectory() + name).c_str()));
}

// Writes `bytes` to `path`, replacing the file; false on failure.
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    const HANDLE raw =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    const UniqueHandle file(raw);
    DWORD written = 0;
    return WriteFile(raw, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// A UTF-16LE byte sequence of `text`, preceded by `mark` (normally the 2-byte byte-order mark).
inline std::string Utf16Bytes(const std::wstring& text, const std::string& mark = "\xFF\xFE") {
    std::string bytes = mark;
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}
