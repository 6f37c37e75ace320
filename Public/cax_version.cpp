#include "Public/cax_version.h"

#include <cwchar>

#include "Public/registry_key.h"

namespace qar {

CCaxVersion::CCaxVersion(const std::wstring& regKey, const std::wstring& subKeyPrefix)
    : regKey(regKey), subKeyPrefix(subKeyPrefix) {}

CCaxVersion::~CCaxVersion() = default;

std::wstring CCaxVersion::GetLatestVersion(std::vector<std::wstring>& versions) {
    if (versions.empty()) ScanInstalledVersions(versions);
    return versions.empty() ? std::wstring() : versions.back();
}

std::wstring CCaxVersion::GetAppPath(const std::wstring&) {
    return std::wstring();
}

std::wstring CCaxVersion::GetCurrentAppPath() {
    return std::wstring();
}

std::wstring CCaxVersion::GetProgId(const std::wstring&) {
    return std::wstring();
}

std::wstring CCaxVersion::SelectVersion(const std::wstring& requested) {
    std::vector<std::wstring> versions;
    ScanInstalledVersions(versions);
    if (versions.empty()) return std::wstring();
    if (!requested.empty()) {
        for (const std::wstring& version : versions) {
            if (version == requested) return requested;
        }
    }
    return GetLatestVersion(versions);
}

std::wstring CCaxVersion::GetCurrentVersion() {
    std::wstring current;
    RegistryKey vendor;
    if (vendor.Open(HKEY_CURRENT_USER, kCaxVersionVendorKey, KEY_READ) == ERROR_SUCCESS) {
        vendor.QueryText(GetCaxName().c_str(), current);
        vendor.Reset();
    }
    if (!current.empty()) return current;

    std::vector<std::wstring> versions;
    const std::wstring latest = GetLatestVersion(versions);
    return SetCurrentVersion(latest) ? latest : std::wstring();
}

bool CCaxVersion::SetCurrentVersion(const std::wstring& version) {
    RegistryKey vendor;
    if (vendor.Open(HKEY_CURRENT_USER, kCaxVersionVendorKey, KEY_WRITE) != ERROR_SUCCESS &&
        vendor.Create(HKEY_CURRENT_USER, kCaxVersionVendorKey, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
        return false;
    }
    return vendor.SetText(GetCaxName().c_str(), version) == ERROR_SUCCESS;
}

std::wstring CCaxVersion::VersionFromRegKey(const std::wstring& subKeyName) {
    return subKeyName;
}

std::wstring CCaxVersion::RegKeyFromVersion(const std::wstring& version) {
    return version;
}

void CCaxVersion::ScanInstalledVersions(std::vector<std::wstring>& versions) {
    versions.clear();
    for (const REGSAM access :
         {static_cast<REGSAM>(KEY_READ | KEY_WOW64_64KEY), static_cast<REGSAM>(KEY_READ)}) {
        RegistryKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, regKey, access) != ERROR_SUCCESS) continue;
        std::wstring name;
        for (DWORD index = 0; key.SubKeyName(index, name) == ERROR_SUCCESS; ++index) {
            if (!subKeyPrefix.empty() &&
                _wcsnicmp(name.c_str(), subKeyPrefix.c_str(), subKeyPrefix.size()) != 0) {
                continue;
            }
            std::wstring version = VersionFromRegKey(name);
            if (!version.empty()) versions.push_back(std::move(version));
        }
    }
}

std::wstring CCaxVersion::TextOfFirstSubKey(const std::wstring& path, REGSAM enumAccess, REGSAM queryAccess,
                                            const wchar_t* valueName) {
    std::wstring firstSubKey;
    {
        RegistryKey key;
        if (key.OpenOrIn64BitView(HKEY_LOCAL_MACHINE, path, enumAccess) != ERROR_SUCCESS)
            return std::wstring();
        if (key.SubKeyName(0, firstSubKey) != ERROR_SUCCESS || firstSubKey.empty()) return std::wstring();
    }
    RegistryKey key;
    if (key.OpenOrIn64BitView(HKEY_LOCAL_MACHINE, path + L"\\" + firstSubKey, queryAccess) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring text;
    key.QueryText(valueName, text);
    return text;
}

}  // namespace qar
