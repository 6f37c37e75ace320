#include "Public/text_helpers.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "Public/owners.h"

namespace qar {

std::wstring FormatString(const wchar_t* format, ...) {
    std::wstring result;
    va_list args;
    va_start(args, format);
    va_list counting;
    va_copy(counting, args);
    const int count = _vscwprintf(format, counting);
    va_end(counting);
    if (count > 0) {
        result.resize(static_cast<size_t>(count));
        // A second pass that produces less (an argument the runtime cannot convert) must not leave
        // unwritten characters in the result.
        const int written = _vsnwprintf(&result[0], result.size(), format, args);
        result.resize(written > 0 ? std::min(static_cast<size_t>(written), result.size()) : 0);
    }
    va_end(args);
    return result;
}

std::wstring FormatBuffered(const wchar_t* format, ...) {
    // One spare, zeroed character: the runtime does not terminate a text it had to cut.
    std::vector<wchar_t> buffer(kFormatBufferChars + 1, L'\0');
    va_list args;
    va_start(args, format);
    const int written = _vsnwprintf(buffer.data(), kFormatBufferChars, format, args);
    va_end(args);
    // -1 means cut (or a malformed format); a C99-style runtime would report the uncut length.
    const size_t length = written >= 0 && static_cast<size_t>(written) <= kFormatBufferChars
                              ? static_cast<size_t>(written)
                              : wcsnlen(buffer.data(), kFormatBufferChars);
    return std::wstring(buffer.data(), length);
}

std::wstring ToUpper(const std::wstring& text) {
    std::wstring copy = text;
    if (!copy.empty()) _wcsupr(&copy[0]);
    return copy;
}

std::wstring DecimalText(int value) {
    return std::to_wstring(value);
}

std::wstring SystemMessageText(unsigned long code) {
    qar::UniqueLocal text;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(text.Put()), 0, nullptr);
    return length != 0 && text ? std::wstring(text.Get(), length) : std::wstring();
}

std::wstring ModuleFileName(HMODULE module) {
    // Paths may exceed MAX_PATH; a truncated path would name the wrong directory.
    constexpr size_t kLongestPath = 32768;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= kLongestPath) return std::wstring();
        path.resize(path.size() * 2);
    }
}

}  // namespace qar
