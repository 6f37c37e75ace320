// Installed versions of a CAD application, read from the registry, and the version the current user
// chose, kept per user under the vendor key.
//
// A version object stands for one application. It knows the HKEY_LOCAL_MACHINE key whose subkeys are
// the application's installed versions, which of those subkeys it recognises, and how a version name
// maps to the application's ProgID and start-up file. It holds nothing but two strings: every
// operation reads the registry afresh, and failures give "" or false, never an exception (except where
// a derived class says otherwise).
//
//   std::unique_ptr<CCaxVersion> sw = CreateCaxVersion(3);  // Public/version_choice.h
//   std::wstring progId = sw->GetProgId(L"SolidWorks 2014");   // L"SldWorks.Application.22"
//
// Hosts bind to the function table, so the order of the virtual operations below is part of the
// binary interface; the destructor comes last so that it does not shift any operation.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qar {

class CCaxVersion {
public:
    // regKey: path under HKEY_LOCAL_MACHINE whose subkeys are the installed versions.
    // subKeyPrefix: a subkey counts only when it starts with this text (ignoring case); "" = all.
    CCaxVersion(const std::wstring& regKey, const std::wstring& subKeyPrefix);

    // The last element of `versions`; when `versions` is empty, it is first filled with the installed
    // versions in registry order. "" when nothing is installed. The latest version is therefore the
    // last recognised subkey in enumeration order, not the highest number.
    virtual std::wstring GetLatestVersion(std::vector<std::wstring>& versions);
    // The application's start-up file for `version`; "" where the application has none.
    virtual std::wstring GetAppPath(const std::wstring& version);
    // The start-up file of the current version; "" where the application has none.
    virtual std::wstring GetCurrentAppPath();
    // The ProgID of the application object of `version`; "" where there is none.
    virtual std::wstring GetProgId(const std::wstring& version);
    // `requested` when it is installed under exactly that name (case-sensitive), otherwise the latest
    // installed version; "" when nothing is installed.
    virtual std::wstring SelectVersion(const std::wstring& requested);
    // The version stored for the current user; when none is stored (or the stored data is not a
    // well-formed string), the latest installed version, which is then stored.
    virtual std::wstring GetCurrentVersion();
    // Stores `version` as the current user's choice; true when it was written.
    virtual bool SetCurrentVersion(const std::wstring& version);
    // The application's name, also the name of its value under the vendor key.
    virtual std::wstring GetCaxName() = 0;
    // 1 AutoCAD, 2 Pro/ENGINEER, 3 SolidWorks.
    virtual int GetCaxType() = 0;
    // The version name for a subkey name of regKey; "" when the subkey is not a recognised version.
    virtual std::wstring VersionFromRegKey(const std::wstring& subKeyName);
    // The subkey name for a version name; "" when there is none.
    virtual std::wstring RegKeyFromVersion(const std::wstring& version);

    virtual ~CCaxVersion();

protected:
    // Fills `versions` (emptied first) with the recognised subkeys of regKey, in enumeration order.
    // Both registry views are read, the 64-bit one first; in a 64-bit process they are the same
    // view, so each version is listed twice.
    void ScanInstalledVersions(std::vector<std::wstring>& versions);

    // Text value `valueName` of the first subkey of HKEY_LOCAL_MACHINE\path: the key is opened with
    // `enumAccess`, its first subkey with `queryAccess` (each retried in the 64-bit view when not
    // found). "" when a key or the value is missing or the value is not well-formed text.
    static std::wstring TextOfFirstSubKey(const std::wstring& path, REGSAM enumAccess, REGSAM queryAccess,
                                          const wchar_t* valueName);

    std::wstring regKey;
    std::wstring subKeyPrefix;
};

// HKEY_CURRENT_USER path of the vendor key that holds each application's current version.
inline constexpr const wchar_t* kCaxVersionVendorKey = L"SOFTWARE\\qasoft\\plmbridge\\CaxVer";

}  // namespace qar
