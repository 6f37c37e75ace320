// Small wide-string helpers shared by the whole library. Formats follow the Microsoft C runtime:
// in a wide format `%s` takes a wide string.
#pragma once

#include <windows.h>

#include <string>

namespace qar {

// The text that `format` and the arguments produce, of exactly the produced length; "" when the
// format produces nothing or is malformed.
//   FormatString(L"%s%d", L"SldWorks.Application.", 18) == L"SldWorks.Application.18"
std::wstring FormatString(const wchar_t* format, ...);

// The same formatting through a fixed buffer of kFormatBufferChars characters: longer output is cut
// to its first kFormatBufferChars characters. Never reads or returns past the buffer.
std::wstring FormatBuffered(const wchar_t* format, ...);
constexpr size_t kFormatBufferChars = 4096;

// A copy of `text` upper-cased with the runtime's current locale (a-z only under the default one).
std::wstring ToUpper(const std::wstring& text);

// `value` as signed decimal text: DecimalText(-1) == L"-1", DecimalText(0) == L"0".
std::wstring DecimalText(int value);

// The system's message text for a Win32 error or HRESULT `code` in the user's default language, as
// the system gives it (trailing CR LF included); "" when the system has none.
std::wstring SystemMessageText(unsigned long code);

// The full path of `module` (null: the program), however long; "" on failure.
std::wstring ModuleFileName(HMODULE module);

}  // namespace qar
