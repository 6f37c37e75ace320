// The shared behaviour of the version objects: the scan of installed versions, choosing a version,
// and the current version kept under the vendor key. SolidWorks serves as the application.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Public/registry_key.h"
#include "Public/sw_version.h"
#include "registry_redirect.h"

namespace {

using Versions = std::vector<std::wstring>;
const wchar_t* const kSwKey = L"SOFTWARE\\SolidWorks";

class CaxVersionTest : public RegistryRedirect {
protected:
    // A SolidWorks key shaped like a real machine's: versions in mixed case among subkeys that are not
    // versions, one of which ("SOLIDWORKS PDM") enumerates after every version.
    static void InstallSolidWorks() {
        for (const wchar_t* name :
             {L"AddIns", L"Applications", L"Security", L"SolidWorks 2009", L"solidworks 2012",
              L"SolidWorks 2014", L"SOLIDWORKS 2016", L"SOLIDWORKS PDM"}) {
            AddKey(HKEY_LOCAL_MACHINE, std::wstring(kSwKey) + L"\\" + name);
        }
    }
    static std::wstring StoredCurrent() {
        return Text(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks");
    }

    CSwVersion sw;
};

TEST_F(CaxVersionTest, ScanListsRecognisedSubkeysOfBothViewsInRegistryOrder) {
    InstallSolidWorks();
    Versions versions;
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetLatestVersion(versions));
    const Versions onePass{L"solidworks 2012", L"SolidWorks 2014", L"SOLIDWORKS 2016"};
    Versions twoPasses = onePass;
    twoPasses.insert(twoPasses.end(), onePass.begin(), onePass.end());
    EXPECT_EQ(twoPasses, versions);
}

TEST_F(CaxVersionTest, GivenListIsUsedWithoutScanning) {
    InstallSolidWorks();
    Versions versions{L"SolidWorks 2016", L"SolidWorks 2010"};
    EXPECT_EQ(L"SolidWorks 2010", sw.GetLatestVersion(versions));
    EXPECT_EQ(2u, versions.size());
}

TEST_F(CaxVersionTest, NothingInstalled) {
    AddKey(HKEY_LOCAL_MACHINE, std::wstring(kSwKey) + L"\\Security");
    Versions versions;
    EXPECT_EQ(L"", sw.GetLatestVersion(versions));
    EXPECT_TRUE(versions.empty());
    EXPECT_EQ(L"", sw.SelectVersion(L"SolidWorks 2014"));
    EXPECT_EQ(L"", sw.GetCurrentVersion());
    EXPECT_EQ(L"", StoredCurrent());  // stored as an empty string, not left absent
}

TEST_F(CaxVersionTest, SelectVersionTakesExactNameOrElseLatest) {
    InstallSolidWorks();
    EXPECT_EQ(L"solidworks 2012", sw.SelectVersion(L"solidworks 2012"));
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.SelectVersion(L"SolidWorks 2012"));  // case differs
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.SelectVersion(L"SolidWorks 2009"));  // present but not a version
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.SelectVersion(L""));
}

TEST_F(CaxVersionTest, CurrentVersionIsStoredOnFirstCallAndKeptAfterwards) {
    InstallSolidWorks();
    EXPECT_EQ(L"<absent>", StoredCurrent());
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetCurrentVersion());
    EXPECT_EQ(L"SOLIDWORKS 2016", StoredCurrent());

    ASSERT_TRUE(sw.SetCurrentVersion(L"SolidWorks 2008"));  // no longer installed: still kept
    EXPECT_EQ(L"SolidWorks 2008", sw.GetCurrentVersion());
    EXPECT_EQ(L"SolidWorks 2008", StoredCurrent());
}

TEST_F(CaxVersionTest, MalformedCurrentValueIsReplacedByLatest) {
    InstallSolidWorks();
    const DWORD number = 2014;
    const std::wstring tooLong(RegistryKey::kBufferChars, L'x');  // with its NUL one more than the buffer
    struct Case {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {"REG_DWORD", REG_DWORD, &number, sizeof(number)},
        {"odd size", REG_SZ, L"SolidWorks 2014", 5},
        {"REG_BINARY", REG_BINARY, L"SolidWorks 2014", 32},
        {"empty", REG_SZ, L"", 2},
        {"too long", REG_SZ, tooLong.c_str(), static_cast<DWORD>((tooLong.size() + 1) * 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetRaw(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks", c.type, c.data, c.size);
        EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetCurrentVersion());
        EXPECT_EQ(L"SOLIDWORKS 2016", StoredCurrent());
    }
}

TEST_F(CaxVersionTest, UnterminatedCurrentValueIsReplacedByLatest) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine's RegQueryValueExW appends the missing NUL to a REG_SZ (reporting two bytes "
                        "more), so the value reads as well-formed there; Windows returns the stored bytes";
    }
    InstallSolidWorks();
    SetRaw(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks", REG_SZ, L"SolidWorks 2014", 30);
    EXPECT_EQ(L"SOLIDWORKS 2016", sw.GetCurrentVersion());
}

TEST(RegistryText, AcceptsOnlyTerminatedStringsOfEvenSize) {
    std::wstring text = L"previous";
    EXPECT_FALSE(RegistryKey::TextFromData(REG_SZ, L"Ab", 4, text));  // no terminator
    EXPECT_EQ(L"", text);
    EXPECT_FALSE(RegistryKey::TextFromData(REG_SZ, L"Ab", 5, text));
    EXPECT_FALSE(RegistryKey::TextFromData(REG_MULTI_SZ, L"Ab\0", 8, text));
    EXPECT_TRUE(RegistryKey::TextFromData(REG_SZ, L"Ab", 0, text));
    EXPECT_EQ(L"", text);
    EXPECT_TRUE(RegistryKey::TextFromData(REG_EXPAND_SZ, L"%A%\0b", 12, text));
    EXPECT_EQ(L"%A%", text);  // up to the first NUL, not expanded
}

// A class with a subkey prefix: only subkeys starting with it (in any case) are considered.
class PrefixedVersion : public CCaxVersion {
public:
    PrefixedVersion() : CCaxVersion(L"SOFTWARE\\Prefixed", L"Rel-") {}
    std::wstring GetCaxName() override { return L"Prefixed"; }
    int GetCaxType() override { return 0; }
};

TEST_F(CaxVersionTest, SubkeyPrefixFiltersIgnoringCase) {
    for (const wchar_t* name : {L"Rel", L"REL-1", L"Other", L"rel-2", L"XRel-3"}) {
        AddKey(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\Prefixed\\") + name);
    }
    Versions versions;
    PrefixedVersion().GetLatestVersion(versions);
    EXPECT_EQ((Versions{L"REL-1", L"rel-2", L"REL-1", L"rel-2"}), versions);
}

TEST(CreateCaxVersion, MakesTheClassOfEachCadType) {
    for (int cadType : {1, 2, 3}) {
        std::unique_ptr<CCaxVersion> version(CreateCaxVersion(cadType));
        ASSERT_NE(nullptr, version);
        EXPECT_EQ(cadType, version->GetCaxType());
    }
    EXPECT_EQ(L"Pro/Engineer", std::unique_ptr<CCaxVersion>(CreateCaxVersion(2))->GetCaxName());
    for (int cadType : {0, 4, -1}) EXPECT_EQ(nullptr, CreateCaxVersion(cadType));
}

}  // namespace
