#include "Public/proe_version.h"

#include "Public/registry_key.h"

namespace qar {

namespace {

const wchar_t* const kReleases[] = {L"Wildfire 2.0", L"Wildfire 3.0", L"Wildfire 4.0", L"Wildfire 5.0"};

constexpr const wchar_t* kStartScript = L"\\bin\\proe1.bat";
constexpr const wchar_t* kMessageServer = L"\\i486_nt\\obj\\pro_comm_msg.exe";
constexpr const wchar_t* kMachineEnvironmentKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

}  // namespace

CProeVersion::CProeVersion() : CCaxVersion(L"SOFTWARE\\PTC\\Pro/ENGINEER", L"") {}

std::wstring CProeVersion::GetAppPath(const std::wstring& version) {
    std::wstring chosen = version;
    if (chosen.empty()) {
        std::vector<std::wstring> versions;
        chosen = GetLatestVersion(versions);
    }
    const std::wstring dir = GetInstallDir(chosen);
    return dir.empty() ? std::wstring() : dir + kStartScript;
}

std::wstring CProeVersion::GetCurrentAppPath() {
    std::wstring current = GetCurrentVersion();
    if (current.empty()) {
        std::vector<std::wstring> versions;
        current = GetLatestVersion(versions);
        if (!current.empty()) SetCurrentVersion(current);
    }
    const std::wstring dir = GetInstallDir(current);
    return dir.empty() ? std::wstring() : dir + kStartScript;
}

bool CProeVersion::SetCurrentVersion(const std::wstring& version) {
    if (!CCaxVersion::SetCurrentVersion(version)) return false;
    return SetProCommMsgExe(version);
}

std::wstring CProeVersion::GetCaxName() {
    return L"Pro/Engineer";
}

int CProeVersion::GetCaxType() {
    return 2;
}

std::wstring CProeVersion::VersionFromRegKey(const std::wstring& subKeyName) {
    for (const wchar_t* release : kReleases) {
        if (subKeyName == release) return subKeyName;
    }
    return std::wstring();
}

std::wstring CProeVersion::GetInstallDir(const std::wstring& version) {
    if (version.empty()) return std::wstring();
    return TextOfFirstSubKey(regKey + L"\\" + version, KEY_READ, KEY_READ, L"InstallDir");
}

bool CProeVersion::SetProCommMsgExe(const std::wstring& version) {
    const std::wstring dir = GetInstallDir(version);
    if (dir.empty()) return false;
    RegistryKey environment;
    if (environment.Open(HKEY_LOCAL_MACHINE, kMachineEnvironmentKey, KEY_SET_VALUE) != ERROR_SUCCESS)
        return false;
    return environment.SetText(L"PRO_COMM_MSG_EXE", dir + kMessageServer) == ERROR_SUCCESS;
}

}  // namespace qar
