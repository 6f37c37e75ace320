// AutoCAD releases: release keys and product names, ProgIDs, and the path of acad.exe.
#include <gtest/gtest.h>

#include "Public/acad_version.h"
#include "registry_redirect.h"

TEST(AcadVersion, ReleaseKeysProductNamesAndProgIds) {
    CAcadVersion acad;
    EXPECT_EQ(L"AutoCAD 2011", acad.VersionFromRegKey(L"r18.1"));
    EXPECT_EQ(L"", acad.VersionFromRegKey(L"R21.0"));
    EXPECT_EQ(L"R20.0", acad.RegKeyFromVersion(L"autocad 2015"));
    EXPECT_EQ(L"AutoCAD.Application.16", acad.GetProgId(L"AutoCAD 2004"));
    EXPECT_EQ(L"AutoCAD.Application.20.1", acad.GetProgId(L"autocad 2016"));
    EXPECT_EQ(L"", acad.GetProgId(L"AutoCAD 2017"));
}

class AcadVersionTest : public RegistryRedirect {
protected:
    // Release keys as AutoCAD writes them (one with a lower-case "r"), each with product subkeys that
    // carry "Location", next to a key that is not a release.
    static void Install() {
        for (const auto& [product, location] : {std::pair{L"R17.2\\ACAD-7001:409", L"C:\\Acad2009"},
                                                {L"r18.0\\ACAD-8001:409", L"C:\\AutoCAD"},
                                                {L"r18.0\\ACAD-8001:804", L"D:\\AutoCAD zh"}})
            SetText(HKEY_LOCAL_MACHINE, kKey + product, L"Location", location);
        AddKey(HKEY_LOCAL_MACHINE, kKey + L"Settings");
    }
    static void SetCurrent(const wchar_t* version) {
        SetText(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"AutoCAD", version);
    }
    inline static const std::wstring kKey = L"SOFTWARE\\Autodesk\\AutoCAD\\";
    CAcadVersion acad;
};

TEST_F(AcadVersionTest, EmptyVersionTakesTheLatestInstalledRelease) {
    EXPECT_EQ(L"", acad.GetProgId(L""));
    Install();
    EXPECT_EQ(L"AutoCAD.Application.18", acad.GetProgId(L""));
}

TEST_F(AcadVersionTest, ExecutableIsInTheLocationOfTheFirstProductOfTheCurrentRelease) {
    Install();
    SetCurrent(L"AutoCAD 2009");
    EXPECT_EQ(L"C:\\Acad2009\\acad.exe", acad.GetCurrentAppPath());
    SetCurrent(L"");  // none chosen: the latest becomes current
    EXPECT_EQ(L"C:\\AutoCAD\\acad.exe", acad.GetCurrentAppPath());
    EXPECT_EQ(L"AutoCAD 2010", Text(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"AutoCAD"));
    // Location not text, release not installed, no release at all: never "\acad.exe" in a drive's root.
    const DWORD number = 1;
    SetRaw(HKEY_LOCAL_MACHINE, kKey + L"R17.2\\ACAD-7001:409", L"Location", REG_DWORD, &number, 4);
    for (const wchar_t* current : {L"AutoCAD 2009", L"AutoCAD 2012", L"AutoCAD 1999"}) {
        SetCurrent(current);
        EXPECT_EQ(L"", acad.GetCurrentAppPath()) << current;
    }
}
