// What every version object shares, with SolidWorks as the application: the scan of installed
// versions, choosing one, and the current version kept under the vendor key.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "Public/sw_version.h"
#include "registry_redirect.h"

using Versions = std::vector<std::wstring>;

class CaxVersionTest : public RegistryRedirect {
protected:
    // Shaped like a real machine: versions in mixed case among subkeys that are not versions, one of
    // which ("SOLIDWORKS PDM") enumerates after every version.
    static void Install() {
        for (const wchar_t* name : {L"AddIns", L"Security", L"SolidWorks 2009", L"solidworks 2012",
                                    L"SolidWorks 2014", L"SOLIDWORKS 2016", L"SOLIDWORKS PDM"})
            AddKey(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\SolidWorks\\") + name);
    }
    static std::wstring Stored() { return Text(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks"); }
    CSwVersion sw;
};

TEST_F(CaxVersionTest, NothingInstalled) {
    AddKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\Security");
    Versions versions;
    EXPECT_EQ(L"", sw.GetLatestVersion(versions));
    EXPECT_EQ(L"", sw.SelectVersion(L"SolidWorks 2014"));
    EXPECT_EQ(L"", sw.GetCurrentVersion());
    EXPECT_EQ(L"", Stored());  // stored as an empty string
}

TEST_F(CaxVersionTest, LatestIsTheLastRecognisedSubkeyAndOnlyAnExactNameIsSelected) {
    Install();
    Versions versions;
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetLatestVersion(versions));
    EXPECT_EQ((Versions{L"solidworks 2012", L"SolidWorks 2014", L"SOLIDWORKS 2016",    // 64-bit view
                        L"solidworks 2012", L"SolidWorks 2014", L"SOLIDWORKS 2016"}),  // default view
              versions);
    // A given list is taken as it is: its last element, not the highest number, and no new scan.
    versions = {L"SolidWorks 2016", L"SolidWorks 2010"};
    EXPECT_EQ(L"SolidWorks 2010", sw.GetLatestVersion(versions));
    EXPECT_EQ(2u, versions.size());
    EXPECT_EQ(L"solidworks 2012", sw.SelectVersion(L"solidworks 2012"));
    // Case differs; a subkey but no version; none asked for.
    for (const wchar_t* requested : {L"SolidWorks 2012", L"SolidWorks 2009", L""})
        EXPECT_EQ(L"SOLIDWORKS 2016", sw.SelectVersion(requested)) << requested;
}

TEST_F(CaxVersionTest, CurrentVersionIsTheStoredTextElseTheLatestWhichIsThenStored) {
    Install();
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetCurrentVersion());
    EXPECT_EQ(L"SOLIDWORKS 2016", Stored());
    ASSERT_TRUE(sw.SetCurrentVersion(L"SolidWorks 2008"));  // not installed, kept all the same
    EXPECT_EQ(L"SolidWorks 2008", sw.GetCurrentVersion());

    const DWORD number = 2014;
    const std::wstring tooLong(RegistryKey::kBufferChars, L'x');  // its NUL does not fit the buffer
    const std::tuple<DWORD, const void*, size_t> malformed[] = {
        {REG_DWORD, &number, 4},
        {REG_SZ, L"SolidWorks 2014", 5},
        {REG_SZ, L"", 2},
        {REG_SZ, tooLong.c_str(), tooLong.size() * 2 + 2}};
    for (const auto& [type, data, size] : malformed) {
        SCOPED_TRACE(testing::Message() << "type " << type << ", size " << size);
        SetRaw(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks", type, data, static_cast<DWORD>(size));
        EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetCurrentVersion());
        EXPECT_EQ(L"SOLIDWORKS 2016", Stored());
    }
}

TEST_F(CaxVersionTest, UnterminatedCurrentValueIsReplacedByLatest) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP()
            << "Wine's RegQueryValueExW appends the missing NUL of a REG_SZ (reporting two bytes more), "
               "so an unterminated value reads as well-formed there; Windows returns the stored bytes";
    }
    Install();
    SetRaw(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks", REG_SZ, L"SolidWorks 2014", 30);
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetCurrentVersion());
}

// The terminator check on raw data, which runs alike on Wine and Windows.
TEST(RegistryText, AcceptsOnlyTerminatedStringsOfEvenSize) {
    std::wstring text = L"previous";
    EXPECT_FALSE(RegistryKey::TextFromData(REG_SZ, L"Ab", 4, text));  // no terminator
    EXPECT_EQ(L"", text);
    EXPECT_FALSE(RegistryKey::TextFromData(REG_MULTI_SZ, L"Ab\0", 8, text));
    EXPECT_TRUE(RegistryKey::TextFromData(REG_SZ, L"Ab", 0, text));
    EXPECT_TRUE(RegistryKey::TextFromData(REG_EXPAND_SZ, L"%A%\0b", 12, text));
    EXPECT_EQ(L"%A%", text);  // up to the first NUL, not expanded
}

TEST(CreateCaxVersion, MakesTheClassOfEachCadType) {
    for (int cadType : {1, 2, 3})
        EXPECT_EQ(cadType, std::unique_ptr<CCaxVersion>(CreateCaxVersion(cadType))->GetCaxType());
    for (int cadType : {0, 4, -1}) EXPECT_EQ(nullptr, CreateCaxVersion(cadType));
}
