#include "Public/add_in_names.h"

#include <cwchar>

namespace qar::detail {

namespace {

constexpr int kAutoCad = 1;
constexpr int kSolidWorks = 3;

// The add-ins for AutoCAD, by release group. The object ProgIDs follow no single pattern.
struct AutoCadAddIn {
    const wchar_t* versions[3];
    const wchar_t* module;
    const wchar_t* objectProgId;
};
constexpr AutoCadAddIn kAutoCadAddIns[] = {
    {{L"AutoCAD 2004", L"AutoCAD 2005", L"AutoCAD 2006"},
     L"BrivexAcadArx16.arx",
     L"BrivexAcad16.BrivexLinkR16"},
    {{L"AutoCAD 2007", L"AutoCAD 2008", L"AutoCAD 2009"}, L"BrivexAcadArx17.arx", L"BrivexAcad17.BrivexLink"},
    {{L"AutoCAD 2010", L"AutoCAD 2011", L"AutoCAD 2012"},
     L"BrivexAcadArx18.arx",
     L"BrivexAcad18.BrivexLink18"},
    {{L"AutoCAD 2013", L"AutoCAD 2014", nullptr}, L"BrivexAcadArx19.arx", L"BrivexAcad19.BrivexLink19"},
    {{L"AutoCAD 2015", L"AutoCAD 2016", nullptr}, L"BrivexAcadArx20.arx", L"BrivexAcad20.BrivexLink20"},
};

const AutoCadAddIn* FindAutoCadAddIn(const std::wstring& cadVersion) {
    for (const AutoCadAddIn& group : kAutoCadAddIns) {
        for (const wchar_t* version : group.versions) {
            if (version != nullptr && _wcsicmp(version, cadVersion.c_str()) == 0) return &group;
        }
    }
    return nullptr;
}

}  // namespace

std::wstring AddInModuleFileName(int cadType, const std::wstring& cadVersion) {
    if (cadType == kSolidWorks) return L"BrivexSw18_x64.dll";
    if (cadType == kAutoCad) {
        if (const AutoCadAddIn* group = FindAutoCadAddIn(cadVersion)) return group->module;
    }
    return std::wstring();
}

std::wstring AddInObjectProgId(int cadType, const std::wstring& cadVersion) {
    if (cadType == kSolidWorks) return L"BrivexSw18.BrivexSw18";
    if (cadType == kAutoCad) {
        if (const AutoCadAddIn* group = FindAutoCadAddIn(cadVersion)) return group->objectProgId;
    }
    return std::wstring();
}

}  // namespace qar::detail
