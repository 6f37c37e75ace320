#include "Public/version_choice.h"

#include <memory>
#include <stdexcept>
#include <unordered_set>

#include "Public/acad_version.h"
#include "Public/proe_version.h"
#include "Public/registry_key.h"
#include "Public/sw_version.h"

namespace qar {

std::unique_ptr<CCaxVersion> CreateCaxVersion(int cadType) {
    switch (cadType) {
        case 1:
            return std::make_unique<CAcadVersion>();
        case 2:
            return std::make_unique<CProeVersion>();
        case 3:
            return std::make_unique<CSwVersion>();
        default:
            return nullptr;
    }
}

namespace detail {

bool ApplicationProgId(int cadType, const std::wstring& cadVersion, std::wstring& progId) {
    const std::unique_ptr<CCaxVersion> version = CreateCaxVersion(cadType);
    if (!version) return false;
    progId = version->GetProgId(cadVersion);
    return true;
}

}  // namespace detail

std::wstring StoredCurrentVersion(CCaxVersion& family) {
    RegistryKey vendor;
    std::wstring current;
    if (vendor.Open(HKEY_CURRENT_USER, kCaxVersionVendorKey, KEY_READ) == ERROR_SUCCESS) {
        vendor.QueryText(family.GetCaxName().c_str(), current);
    }
    return current;
}

std::vector<std::wstring> InstalledVersions(CCaxVersion& family) {
    std::vector<std::wstring> all, distinct;
    family.GetLatestVersion(all);
    std::unordered_set<std::wstring> seen;
    for (const std::wstring& version : all) {
        if (seen.insert(version).second) distinct.push_back(version);
    }
    return distinct;
}

std::wstring ChosenVersion(int cadType, const std::wstring& requested) {
    if (!requested.empty()) return requested;
    const std::unique_ptr<CCaxVersion> family(CreateCaxVersion(cadType));
    if (!family) return std::wstring();
    const std::wstring stored = StoredCurrentVersion(*family);
    if (!stored.empty()) return stored;
    const std::vector<std::wstring> installed = InstalledVersions(*family);
    return installed.empty() ? std::wstring() : installed.back();
}

std::wstring ProgIdOf(CCaxVersion& family, const std::wstring& version) {
    try {
        return family.GetProgId(version);
    } catch (const std::out_of_range&) {
        return std::wstring();
    }
}

}  // namespace qar
