// A test build of the library's message functions as a module of their own, carrying the library's
// string table: a host test program loads it and sees the same split between "the host executable"
// and "this library" as a real host loading QarSldwInterface_x64.dll.
#include <windows.h>

#include <cwchar>
#include <string>

#include "sldw/localized_messages.h"

namespace {

// Copies `text` into the caller's buffer; returns its length, or -1 when it does not fit.
int Give(const std::wstring& text, wchar_t* buffer, int capacity) {
    if (capacity <= 0 || text.size() >= static_cast<size_t>(capacity)) return -1;
    wmemcpy(buffer, text.data(), text.size());
    buffer[text.size()] = L'\0';
    return static_cast<int>(text.size());
}

}  // namespace

extern "C" __declspec(dllexport) int ProbeLoadLocalizedString(unsigned id, wchar_t* buffer, int capacity) {
    return Give(LoadLocalizedString(id), buffer, capacity);
}

extern "C" __declspec(dllexport) int ProbeLanguageXmlPath(int cadType, wchar_t* buffer, int capacity) {
    return Give(LanguageXmlPath(cadType), buffer, capacity);
}

extern "C" __declspec(dllexport) int ProbeLoadLanguageXml(int cadType, wchar_t* buffer, int capacity) {
    return Give(LoadLanguageXml(cadType), buffer, capacity);
}
