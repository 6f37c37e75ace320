// AutoCAD releases: release keys and product names, ProgIDs, and the path of acad.exe.
#include <gtest/gtest.h>

#include "Public/acad_version.h"
#include "registry_redirect.h"

namespace {

const std::wstring kAcadKey = L"SOFTWARE\\Autodesk\\AutoCAD";

class AcadVersionTest : public RegistryRedirect {
protected:
    // Release keys as AutoCAD writes them (one with a lower-case "r"), each with product subkeys that
    // carry "Location", next to a key that is not a release.
    static void InstallAcad() {
        SetText(HKEY_LOCAL_MACHINE, kAcadKey + L"\\R17.2\\ACAD-7001:409", L"Location", L"C:\\Acad2009");
        SetText(HKEY_LOCAL_MACHINE, kAcadKey + L"\\r18.0\\ACAD-8001:409", L"Location", L"C:\\AutoCAD");
        SetText(HKEY_LOCAL_MACHINE, kAcadKey + L"\\r18.0\\ACAD-8001:804", L"Location", L"D:\\AutoCAD zh");
        AddKey(HKEY_LOCAL_MACHINE, kAcadKey + L"\\Settings");
    }
    static void SetCurrent(const std::wstring& version) {
        SetText(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"AutoCAD", version);
    }

    CAcadVersion acad;
};

TEST(AcadVersion, ReleaseKeysProductNamesAndProgIds) {
    CAcadVersion acad;
    EXPECT_EQ(L"AutoCAD 2011", acad.VersionFromRegKey(L"r18.1"));
    EXPECT_EQ(L"", acad.VersionFromRegKey(L"R21.0"));
    EXPECT_EQ(L"R20.0", acad.RegKeyFromVersion(L"autocad 2015"));
    EXPECT_EQ(L"AutoCAD.Application.16", acad.GetProgId(L"AutoCAD 2004"));
    EXPECT_EQ(L"AutoCAD.Application.16.1", acad.GetProgId(L"AutoCAD 2005"));
    EXPECT_EQ(L"AutoCAD.Application.19", acad.GetProgId(L"AutoCAD 2013"));
    EXPECT_EQ(L"AutoCAD.Application.20.1", acad.GetProgId(L"autocad 2016"));
    EXPECT_EQ(L"", acad.GetProgId(L"AutoCAD 2017"));
}

TEST_F(AcadVersionTest, EmptyVersionTakesTheLatestInstalledRelease) {
    EXPECT_EQ(L"", acad.GetProgId(L""));
    InstallAcad();
    EXPECT_EQ(L"AutoCAD.Application.18", acad.GetProgId(L""));
}

TEST_F(AcadVersionTest, ExecutableIsInTheLocationOfTheFirstProductOfTheCurrentRelease) {
    InstallAcad();
    SetCurrent(L"AutoCAD 2009");
    EXPECT_EQ(L"C:\\Acad2009\\acad.exe", acad.GetCurrentAppPath());
    SetCurrent(L"");  // none chosen: the latest becomes current
    EXPECT_EQ(L"C:\\AutoCAD\\acad.exe", acad.GetCurrentAppPath());
    EXPECT_EQ(L"AutoCAD 2010", Text(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"AutoCAD"));
}

TEST_F(AcadVersionTest, NoExecutableWithoutAWellFormedLocation) {
    InstallAcad();
    const DWORD number = 1;
    SetRaw(HKEY_LOCAL_MACHINE, kAcadKey + L"\\R17.2\\ACAD-7001:409", L"Location", REG_DWORD, &number, 4);
    for (const wchar_t* current : {L"AutoCAD 2009", L"AutoCAD 2012", L"AutoCAD 1999"}) {
        SetCurrent(current);  // Location not text, release not installed, no release at all
        EXPECT_EQ(L"", acad.GetCurrentAppPath()) << current;  // not "\acad.exe" in a drive's root
    }
}

}  // namespace
