// Messages as a host sees them: this program is the host, with a string table of its own
// (host_strings.rc); message_probe.dll is a build of the library's message code with the library's
// string table. Run once per user language (LC_ALL under Wine; see tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "library_strings.h"
#include "module_test_support.h"

namespace {

// The host texts that replace the library's for a user of that language: those that take the library's
// arguments, and those for ids the library lacks that take none.
const std::tuple<LANGID, unsigned, const wchar_t*> kUsableOverrides[] = {
    {kEnglishUS, 1, L"Host text for id one"},
    {kEnglishUS, 5500, L"Host: starting %s failed (%s)"},
    {kEnglishUS, 5505, L"Host text for an id the library lacks"},
    {kEnglishUS, 5513, L"Host: 100%% of %ls not saved. "},
    {kChineseSimplified, 5502, L"\x5BBF\x4E3B\xFF1A\x83B7\x53D6 %s \x5931\x8D25"},
    {0x0407, 5502, L"Abrufen von %s fehlgeschlagen"},
};

// The language the resource loader picks among the library's three for a language-neutral request:
// the user's UI language when the library carries it, otherwise US English (Windows' last fallback
// before "any"; Wine picks English too).
LANGID LoaderLanguage() {
    const LANGID ui = GetUserDefaultUILanguage();
    return ui == kChineseSimplified || ui == kChineseTraditional ? ui : kEnglishUS;
}

class HostMessages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(probe_) << "the build puts message_probe.dll beside this program"; }
    std::wstring Call(const char* name, int argument) const {
        const auto function = reinterpret_cast<const wchar_t* (*)(int)>(
            reinterpret_cast<void (*)()>(GetProcAddress(probe_.get(), name)));
        return function != nullptr ? function(argument) : L"<no probe function>";
    }
    const UniqueModule probe_{LoadLibraryW((TestProgramDirectory() + L"message_probe.dll").c_str())};
};

}  // namespace

TEST(UserLanguage, WineTakesItFromLcAll) {
    // The harness runs this program under LC_ALL=<locale> and names the language it expects.
    const char* expected = std::getenv("QAR_EXPECTED_LANGID");
    if (expected == nullptr) GTEST_SKIP() << "not one of the per-language runs";
    const LANGID language = static_cast<LANGID>(std::strtoul(expected, nullptr, 16));
    EXPECT_EQ(GetUserDefaultLangID(), language);
    EXPECT_EQ(GetUserDefaultUILanguage(), language);
    EXPECT_EQ(GetThreadLocale(), MAKELCID(language, SORT_DEFAULT));
}

TEST_F(HostMessages, HostTextReplacesTheLibrarysOnlyWhenItTakesTheSameArguments) {
    // In English the host's blocks hold 5502 and 5511 with count 0, which must not suppress the
    // library's text; its other English texts differ in count or kind of conversions, or carry %n.
    // The Traditional Chinese 5511 has a conversion where the library's text has none. 1054076's block
    // number would wrap around to 344 (resource names are 16 bits), which holds 5500.
    for (const unsigned id : {1u, 5500u, 5501u, 5502u, 5503u, 5505u, 5510u, 5511u, 5512u, 5513u, 1054076u}) {
        std::wstring expected = LibraryText(id, LoaderLanguage());
        for (const auto& [language, overridden, text] : kUsableOverrides) {
            if (language == GetUserDefaultLangID() && overridden == id) expected = text;
        }
        EXPECT_EQ(Call("ProbeLoadLocalizedString", static_cast<int>(id)), expected) << id;
    }
}

TEST_F(HostMessages, LanguageFileBesideTheLibraryByThreadLocale) {
    // cadType is part of the file name: the process id keeps parallel runs apart. They share the
    // folder, so it stays: removing it could pull it from under another run.
    const int cadType = static_cast<int>(GetCurrentProcessId());
    const std::wstring folder = TestProgramDirectory() + L"zh-cn";
    const std::wstring file = folder + L"\\dd_" + std::to_wstring(cadType) + L".xml";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"<language>\x4E2D\x6587</language>")));
    // The thread's locale picks the folder, not the user's: the en_US run shows the difference.
    const LCID old = GetThreadLocale();
    SetThreadLocale(0x0804);
    const std::wstring chinese = Call("ProbeLoadLanguageXml", cadType);
    SetThreadLocale(old);
    DeleteFileW(file.c_str());
    EXPECT_EQ(chinese, L"<language>\x4E2D\x6587</language>");
}
