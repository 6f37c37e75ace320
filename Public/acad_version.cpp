#include "Public/acad_version.h"

#include <cwchar>

namespace qar {

namespace {

struct Release {
    const wchar_t* regKey;
    const wchar_t* productName;
};

const Release kReleases[] = {
    {L"R16.0", L"AutoCAD 2004"}, {L"R16.1", L"AutoCAD 2005"}, {L"R16.2", L"AutoCAD 2006"},
    {L"R17.0", L"AutoCAD 2007"}, {L"R17.1", L"AutoCAD 2008"}, {L"R17.2", L"AutoCAD 2009"},
    {L"R18.0", L"AutoCAD 2010"}, {L"R18.1", L"AutoCAD 2011"}, {L"R18.2", L"AutoCAD 2012"},
    {L"R19.0", L"AutoCAD 2013"}, {L"R19.1", L"AutoCAD 2014"}, {L"R20.0", L"AutoCAD 2015"},
    {L"R20.1", L"AutoCAD 2016"},
};

}  // namespace

CAcadVersion::CAcadVersion() : CCaxVersion(L"SOFTWARE\\Autodesk\\AutoCAD", L"") {}

std::wstring CAcadVersion::GetCurrentAppPath() {
    const std::wstring releaseKey = RegKeyFromVersion(GetCurrentVersion());
    // Without a release key the path would name the AutoCAD key itself and read a foreign subkey.
    if (releaseKey.empty()) return std::wstring();
    const std::wstring location =
        TextOfFirstSubKey(regKey + L"\\" + releaseKey, KEY_ENUMERATE_SUB_KEYS, KEY_QUERY_VALUE, L"Location");
    // A bare "\acad.exe" would name a file in the root of whatever drive is current.
    if (location.empty()) return std::wstring();
    return location + L"\\acad.exe";
}

std::wstring CAcadVersion::GetProgId(const std::wstring& version) {
    const std::wstring releaseKey = RegKeyFromVersion(version.empty() ? SelectVersion(L"") : version);
    if (releaseKey.empty()) return std::wstring();
    std::wstring progId = L"AutoCAD.Application." + releaseKey.substr(1);
    // Release keys carry ".0" for a major release; its ProgID does not ("R17.0" is ...Application.17).
    if (releaseKey.size() >= 2 && _wcsicmp(releaseKey.c_str() + releaseKey.size() - 2, L".0") == 0) {
        progId.resize(progId.size() - 2);
    }
    return progId;
}

std::wstring CAcadVersion::GetCaxName() {
    return L"AutoCAD";
}

int CAcadVersion::GetCaxType() {
    return 1;
}

std::wstring CAcadVersion::VersionFromRegKey(const std::wstring& subKeyName) {
    for (const Release& release : kReleases) {
        if (_wcsicmp(subKeyName.c_str(), release.regKey) == 0) return release.productName;
    }
    return std::wstring();
}

std::wstring CAcadVersion::RegKeyFromVersion(const std::wstring& version) {
    for (const Release& release : kReleases) {
        if (_wcsicmp(version.c_str(), release.productName) == 0) return release.regKey;
    }
    return std::wstring();
}

}  // namespace qar
