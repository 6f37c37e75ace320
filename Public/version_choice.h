// Which installed version of a CAD application a host uses when it is not told: the user's current
// version, else the latest installed; and the installed versions, each once. The host programs built
// here (qarsldw, the automation server) choose alike through these; hosts of the DLL do not see them.
// Also the one place that makes a version object for a CAD type.
//
//   const std::wstring version = ChosenVersion(3, requested);  // requested "" = choose
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Public/cax_version.h"

namespace qar {

// A new version object for a CAD type (1 AutoCAD, 2 Pro/ENGINEER, 3 SolidWorks); null for any other
// type. Kept here rather than beside the base class, so that the base does not name its subclasses.
std::unique_ptr<CCaxVersion> CreateCaxVersion(int cadType);

namespace detail {
// The application's ProgID for a CAD type and version; false when the type has no version objects.
bool ApplicationProgId(int cadType, const std::wstring& cadVersion, std::wstring& progId);
}  // namespace detail

// The user's stored current version of `family`, "" when none is stored. Unlike
// CCaxVersion::GetCurrentVersion this never writes the user's choice: looking is not choosing.
std::wstring StoredCurrentVersion(CCaxVersion& family);

// The installed versions of `family` in registry order, each once (the registry is read in both
// views, which are one and the same for a 64-bit process, so the scan lists each twice).
std::vector<std::wstring> InstalledVersions(CCaxVersion& family);

// `requested` when it is not empty; else the user's stored version of family `cadType`, else the
// latest installed one; "" when there is none (or `cadType` names no family).
std::wstring ChosenVersion(int cadType, const std::wstring& requested);

// The application's ProgID for `version`, "" for a text too short to be a version name.
std::wstring ProgIdOf(CCaxVersion& family, const std::wstring& version);

}  // namespace qar
