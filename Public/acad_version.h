// CAcadVersion: the releases of AutoCAD (CAD type 1). AutoCAD records each installed release as a
// subkey of HKEY_LOCAL_MACHINE\SOFTWARE\Autodesk\AutoCAD named by its release key ("R17.2"), with one
// subkey per installed product that carries the installation directory in "Location". The rest of the
// system uses product names ("AutoCAD 2009").
//   CAcadVersion().GetProgId(L"AutoCAD 2010") == L"AutoCAD.Application.18"
#pragma once

#include "Public/cax_version.h"

namespace qar {

class CAcadVersion : public CCaxVersion {
public:
    CAcadVersion();

    // The current version's acad.exe in the "Location" of the first product subkey of its release
    // key; "" when the current version is unknown or no well-formed location is recorded.
    std::wstring GetCurrentAppPath() override;
    // "AutoCAD.Application." followed by the release number, without a trailing ".0"; an empty
    // version means the latest installed one. "" for a version that is not a known product name.
    std::wstring GetProgId(const std::wstring& version) override;
    std::wstring GetCaxName() override;
    int GetCaxType() override;
    // Release key (any letter case) to product name; "" for an unknown release.
    std::wstring VersionFromRegKey(const std::wstring& subKeyName) override;
    // Product name (any letter case) to release key; "" for an unknown product.
    std::wstring RegKeyFromVersion(const std::wstring& version) override;
};

}  // namespace qar
