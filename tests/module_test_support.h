// Test helpers for modules and scratch files next to the test program.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

// The directory of the running test program, with a trailing backslash.
inline std::wstring TestProgramDirectory() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Writes `bytes` to `path`, replacing the file; false on failure.
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    FILE* const file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

// `text` as UTF-16LE bytes (Windows' own byte order) after `mark`, normally the byte-order mark.
inline std::string Utf16Bytes(const std::wstring& text, const std::string& mark = "\xFF\xFE") {
    return mark + std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}
