// CProeVersion: the Wildfire releases of Pro/ENGINEER (CAD type 2), recorded as subkeys of
// HKEY_LOCAL_MACHINE\SOFTWARE\PTC\Pro/ENGINEER named exactly "Wildfire 2.0" ... "Wildfire 5.0", each
// with a date-code subkey that carries the installation directory in "InstallDir". Pro/ENGINEER has
// no ProgID. Choosing a current version also points the machine environment value PRO_COMM_MSG_EXE at
// that release's message server.
//   CProeVersion().GetAppPath(L"Wildfire 4.0") == InstallDir + L"\\bin\\proe1.bat"
#pragma once

#include "Public/cax_version.h"

namespace qar {

class CProeVersion : public CCaxVersion {
public:
    CProeVersion();

    // The start-up script of `version` (of the latest installed one when empty; that choice is not
    // stored); "" when the release has no installation directory.
    std::wstring GetAppPath(const std::wstring& version) override;
    // The start-up script of the current version; when none is stored, the latest installed version
    // becomes the current one (environment value included).
    std::wstring GetCurrentAppPath() override;
    // Stores `version` under the vendor key, then writes PRO_COMM_MSG_EXE for it. false when either
    // write fails; the vendor key then may already hold `version`.
    bool SetCurrentVersion(const std::wstring& version) override;
    // "Pro/Engineer": the value name under the vendor key (the registry key itself is "Pro/ENGINEER").
    std::wstring GetCaxName() override;
    int GetCaxType() override;
    // `subKeyName` when it is exactly one of the Wildfire releases (case-sensitive), otherwise "".
    std::wstring VersionFromRegKey(const std::wstring& subKeyName) override;

    // The installation directory of `version` ("InstallDir" of the first subkey of its release key);
    // "" when it is not recorded.
    std::wstring GetInstallDir(const std::wstring& version);
    // Sets the machine environment value PRO_COMM_MSG_EXE to the message server of `version`. Running
    // programs are not notified. false when the release has no installation directory or the value
    // could not be written.
    bool SetProCommMsgExe(const std::wstring& version);
};

}  // namespace qar
