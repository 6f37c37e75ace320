// CSwVersion: the versions of SolidWorks (CAD type 3), recorded as subkeys of
// HKEY_LOCAL_MACHINE\SOFTWARE\SolidWorks named like "SolidWorks 2014" or "SOLIDWORKS 2016". A
// version name is its subkey name, in the registry's own letter case.
//   CSwVersion().GetProgId(L"SOLIDWORKS 2016") == L"SldWorks.Application.24"
#pragma once

#include "Public/cax_version.h"

namespace qar {

class CSwVersion : public CCaxVersion {
public:
    CSwVersion();

    // "SldWorks.Application." followed by the year at the end of `version` minus 1992, for any text
    // that ends in four digits ("2012" and "SolidWorks 2017" included). "" for an empty version and
    // for one whose last four characters are not all digits. A non-empty version of fewer than four
    // characters throws std::out_of_range, which the connector's guard reports.
    std::wstring GetProgId(const std::wstring& version) override;
    std::wstring GetCaxName() override;
    int GetCaxType() override;
    // `subKeyName` unchanged when it names a supported version in any letter case, otherwise "".
    std::wstring VersionFromRegKey(const std::wstring& subKeyName) override;
};

}  // namespace qar
