// qar::RegistryKey: the owner of one open registry key (a UniqueAny closing it with RegCloseKey), with
// the reads and writes the library makes. No early return or exception leaves a key open. The predefined root
// keys (HKEY_LOCAL_MACHINE, ...) are only ever passed as parents, never owned.
//
//   RegistryKey key;
//   if (key.Open(HKEY_CURRENT_USER, L"SOFTWARE\\qasoft", KEY_READ) == ERROR_SUCCESS) {
//       std::wstring text;
//       if (key.QueryText(L"Name", text)) ...
//   }
#pragma once

#include <windows.h>

#include <string>

#include "Public/owners.h"

namespace qar {

class RegistryKey : public UniqueAny<HKEY, NullMeansNone<HKEY, RegCloseKey>> {
public:
    // Registry key names are at most 255 characters; subkey names and text values are read into
    // buffers of this many characters, terminator included.
    static constexpr DWORD kBufferChars = 260;

    using UniqueAny::UniqueAny;

    // Opens parent\path; closes the key held before. Returns the Win32 error code.
    LONG Open(HKEY parent, const std::wstring& path, REGSAM access) {
        HKEY opened = nullptr;
        const LONG status = RegOpenKeyExW(parent, path.c_str(), 0, access, &opened);
        Reset(status == ERROR_SUCCESS ? opened : nullptr);
        return status;
    }

    // Opens parent\path with `access`; when that key is not found, tries once more in the 64-bit
    // registry view (the flag that lets a 32-bit caller reach 64-bit installations).
    LONG OpenOrIn64BitView(HKEY parent, const std::wstring& path, REGSAM access) {
        const LONG status = Open(parent, path, access);
        return status == ERROR_FILE_NOT_FOUND ? Open(parent, path, access | KEY_WOW64_64KEY) : status;
    }

    // Creates (or opens) parent\path as a non-volatile key. Returns the Win32 error code.
    LONG Create(HKEY parent, const std::wstring& path, REGSAM access) {
        HKEY created = nullptr;
        const LONG status = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                            nullptr, &created, nullptr);
        Reset(status == ERROR_SUCCESS ? created : nullptr);
        return status;
    }

    // The name of subkey `index`; ERROR_NO_MORE_ITEMS past the last one. `name` is "" on failure.
    LONG SubKeyName(DWORD index, std::wstring& name) const {
        wchar_t buffer[kBufferChars];
        DWORD length = kBufferChars;
        const LONG status = RegEnumKeyExW(Get(), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        name.assign(buffer, status == ERROR_SUCCESS && length < kBufferChars ? length : 0);
        return status;
    }

    // The text of value `name` when it is a well-formed string (see TextFromData) that fits a buffer
    // of kBufferChars characters; false otherwise, with `text` "".
    bool QueryText(const wchar_t* name, std::wstring& text) const {
        wchar_t buffer[kBufferChars];
        DWORD type = REG_NONE;
        DWORD size = sizeof(buffer);
        const LONG status =
            RegQueryValueExW(Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        if (status != ERROR_SUCCESS || size > sizeof(buffer)) {
            text.clear();
            return false;
        }
        return TextFromData(type, buffer, size, text);
    }

    // Stores `text` as REG_SZ, terminator included. Returns the Win32 error code.
    LONG SetText(const wchar_t* name, const std::wstring& text) const {
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        if (bytes > MAXDWORD) return ERROR_INVALID_PARAMETER;
        return RegSetValueExW(Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(bytes));
    }

    // Registry data of `size` bytes counts as text only when its type is REG_SZ or REG_EXPAND_SZ
    // (not expanded), its size is even and its last character is a NUL, or its size is 0. The text
    // is then the characters before the first NUL. The registry does not enforce any of this: a
    // program may store a string without its terminator, or an odd number of bytes.
    static bool TextFromData(DWORD type, const wchar_t* data, DWORD size, std::wstring& text) {
        text.clear();
        if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
        if (size == 0) return true;
        const size_t chars = size / sizeof(wchar_t);
        if (size % sizeof(wchar_t) != 0 || data[chars - 1] != L'\0') return false;
        text.assign(data, wcsnlen(data, chars));
        return true;
    }
};

}  // namespace qar
