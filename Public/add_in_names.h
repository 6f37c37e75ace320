// The vendor's add-ins by CAD type and version: the module a connector asks the application to load
// and the ProgID of the automation object it then asks for. The connector's exported members answer
// with these; host programs built here (the doctor) ask them directly.
//   AddInModuleFileName(3, L"SolidWorks 2016") == L"BrivexSw18_x64.dll"
#pragma once

#include <string>

namespace qar::detail {

// The add-in module's file name (no directory), "" when there is none.
std::wstring AddInModuleFileName(int cadType, const std::wstring& cadVersion);
// The ProgID of the add-in's automation object, "" when there is none.
std::wstring AddInObjectProgId(int cadType, const std::wstring& cadVersion);

}  // namespace qar::detail
