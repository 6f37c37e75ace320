// User-facing messages and the add-in's language file.
//
// A message is fetched by id (sldw/message_ids.h) and used as a printf-style format:
//   FormatBuffered(LoadLocalizedString(IDS_GET_FAILED).c_str(), progId.c_str())
// The host executable may override a message for the user's default language by carrying the same
// id in its own string table; otherwise the text comes from this library's table, in the language
// the resource loader picks. An override whose conversions differ from the library's own text is
// ignored, because the callers pass arguments that match the library's text.
#pragma once

#include "sldw/layer.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace qar {

// The message text for `id`, or "" when neither the host nor this library carries it.
std::wstring LoadLocalizedString(unsigned id);

// The system's text for the calling thread's last Win32 error, trailing CR LF included; "" when the
// system has none.
std::wstring GetLastErrorText();

// Language folders beside the library, by thread locale; ended by an entry with locale 0. A thread
// locale not listed (a non-default sort order included) uses kFallbackLanguageFolder.
struct LanguageFolder {
    const wchar_t* folder;
    LCID locale;
};
extern const LanguageFolder kLanguageFolders[];
extern const wchar_t* const kFallbackLanguageFolder;  // L"en-us"

// Full path of the add-in language file for `cadType` and the calling thread's locale:
//   <directory of this library>\zh-cn\dd_3.xml
// "" when this library's path cannot be determined.
std::wstring LanguageXmlPath(int cadType);

// Replaces `text` with the UTF-16LE contents of the file at `path` after its 2-byte mark, up to the
// first 0 unit. A missing or unreadable file gives "".
void ReadUtf16File(const std::wstring& path, std::wstring& text);

// `name` in the directory of this library's own file (however long its path is); "" when that path
// cannot be determined.
std::wstring PathBesideLibrary(const std::wstring& name);

// ReadUtf16File(LanguageXmlPath(cadType)).
std::wstring LoadLanguageXml(int cadType);

// The pieces the functions above are made of, exposed for tests.
namespace detail {

// Entry `index` (0-15) of a string-table block of `bytes` bytes: each entry is a 16-bit count followed
// by that many UTF-16 units. nullopt when the block ends (or its counts run past its end) before the
// entry is complete; an entry with count 0 gives "".
std::optional<std::wstring> StringTableEntry(const void* block, size_t bytes, unsigned index);

// String `id` from `module`'s table. With `exactLanguage` the block is looked up in `language`
// (FindResourceExW); without it, in the language the loader picks for a neutral request.
std::optional<std::wstring> ModuleString(HMODULE module, unsigned id, bool exactLanguage, LANGID language);

// Whether `candidate` takes the same arguments as `reference` when used as a wide printf format:
// the same number of conversions, of the same kinds and sizes, in the same order. A malformed
// directive or %n makes a format unsafe.
bool SameConversions(const std::wstring& candidate, const std::wstring& reference);

// LoadLocalizedString with its modules and language given: `host`'s table in `hostLanguage` first,
// then `library`'s table.
std::wstring LoadLocalizedStringFrom(HMODULE host, LANGID hostLanguage, HMODULE library, unsigned id);

// The languages in which `module` carries the library's messages (the string-table block that holds
// the first message id), in resource order.
std::vector<LANGID> StringTableLanguages(HMODULE module);

// `name` after the directory part of `modulePath`: cut behind its last "\", or, only when it has
// none, behind its last "/"; `name` alone when it has neither.
//   BesideModule(L"C:\\a\\b\\lib.dll", L"x.dll") == L"C:\\a\\b\\x.dll"
std::wstring BesideModule(const std::wstring& modulePath, const std::wstring& name);

// The language file's path for a library at `modulePath` and a thread locale.
std::wstring LanguageXmlPathFor(const std::wstring& modulePath, LCID threadLocale, int cadType);

}  // namespace detail

}  // namespace qar
