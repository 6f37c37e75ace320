// The library's message functions built as a module of their own, carrying the library's string
// table: the host test program loads it and so sees the same split between "the host executable" and
// "this library" as a real host loading QarSldwInterface_x64.dll. A result stays valid until the next
// call.
#include <string>

#include "sldw/localized_messages.h"

using qar::LoadLanguageXml;
using qar::LoadLocalizedString;

static std::wstring result;

extern "C" __declspec(dllexport) const wchar_t* ProbeLoadLocalizedString(int id) {
    return (result = LoadLocalizedString(static_cast<unsigned>(id))).c_str();
}

extern "C" __declspec(dllexport) const wchar_t* ProbeLoadLanguageXml(int cadType) {
    return (result = LoadLanguageXml(cadType)).c_str();
}
