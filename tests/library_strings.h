// The library's messages as users must see them, written out unit by unit (full-width punctuation as
// escapes) so that a slip in the resource script or in its code page shows up as a difference.
#pragma once

#include <windows.h>

#include <string>

constexpr LANGID kEnglishUS = 0x0409;
constexpr LANGID kChineseSimplified = 0x0804;
constexpr LANGID kChineseTraditional = 0x0404;

// clang-format off
inline const struct { unsigned id; const wchar_t* enUS; const wchar_t* zhCN; const wchar_t* zhTW; } kLibraryStrings[] = {
    {5500, L"Start %s failed,%s", L"\x542F\x52A8 %s \x5931\x8D25, %s", L"\x555F\x52D5 %s \x5931\x6557\xFF0C%s"},
    {5501, L"LoadAddin %s failed.", L"\x52A0\x8F7D\x63D2\x4EF6 %s \x5931\x8D25\x3002", L"\x52A0\x8F09\x63D2\x4EF6 %s \x5931\x6557\x3002"},
    {5502, L"Get %s failed", L"\x83B7\x53D6 %s \x5931\x8D25", L"\x7372\x53D6 %s \x5931\x6557"},
    {5510, L"%s, GetDocumentCount() error", L"%s, GetDocumentCount() \x9519\x8BEF", L"%s, GetDocumentCount() \x932F\x8AA4"},
    {5511, L"open file failed,maybe this document is created by later version.",
           L"\x6253\x5F00\x6587\x6863\x5931\x8D25,\x4E5F\x8BB8\x8BE5\x6587\x6863\x4E3A\x66F4\x9AD8\x7248\x672C\x521B\x5EFA\x3002",
           L"\x6253\x958B\x6587\x6A94\x5931\x6557\xFF0C\x4E5F\x8A31\x8A72\x6587\x6A94\x70BA\x66F4\x9AD8\x7248\x672C\x5275\x5EFA\x3002"},
    {5512, L"close file failed, %s. ", L"\x5173\x95ED\x6587\x6863\x5931\x8D25\xFF0C %s. ", L"\x95DC\x9589\x6587\x6A94\x5931\x6557\xFF0C %s. "},
    {5513, L"Save file failed, %s. ", L"\x4FDD\x5B58\x6587\x6863\x5931\x8D25, %s. ", L"\x4FDD\x5B58\x6587\x6A94\x5931\x6557, %s. "},
    {5514, L"Get Dependencies file failed, %s,", L"\x83B7\x53D6\x4F9D\x8D56\x6587\x4EF6\x51FA\x9519, %s,", L"\x7372\x5F97\x4F9D\x8CF4\x6587\x4EF6\x51FA\x932F, %s,"},
};
// clang-format on

// The library's text for `id` in `language` (one of the three above); "" when it has none.
inline std::wstring LibraryText(unsigned id, LANGID language) {
    for (const auto& entry : kLibraryStrings) {
        if (entry.id == id)
            return language == kChineseSimplified    ? entry.zhCN
                   : language == kChineseTraditional ? entry.zhTW
                                                     : entry.enUS;
    }
    return L"";
}
