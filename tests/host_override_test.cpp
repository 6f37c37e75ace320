// Messages as a host sees them: this program is the host, with a string table of its own
// (host_strings.rc); message_probe.dll is a build of the library's message code with the library's
// string table. Run once per user language (LC_ALL under Wine; see tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Public/text_helpers.h"
#include "library_strings.h"
#include "module_test_support.h"

namespace {

using ProbeFunction = int (*)(unsigned, wchar_t*, int);

constexpr LANGID kGerman = 0x0407;

class Probe {
public:
    Probe() : module_(LoadModuleBesideTest(L"message_probe.dll")) {}
    bool Loaded() const { return module_ != nullptr; }
    std::wstring Call(const char* name, unsigned argument) const {
        const auto function = reinterpret_cast<ProbeFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_.get(), name)));
        if (function == nullptr) return L"<no " + std::wstring(name, name + strlen(name)) + L">";
        std::wstring buffer(1 << 16, L'\0');
        const int length = function(argument, &buffer[0], static_cast<int>(buffer.size()));
        return length < 0 ? L"<too long>" : buffer.substr(0, static_cast<size_t>(length));
    }
    std::wstring Message(unsigned id) const { return Call("ProbeLoadLocalizedString", id); }

private:
    UniqueModule module_;
};

class HostMessages : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(probe_.Loaded()) << "the build puts message_probe.dll beside this program";
    }
    // What the library gives for `id` without a usable override.
    static std::wstring Library(unsigned id) { return LibraryText(id, LoaderLanguage()); }
    static LANGID User() { return GetUserDefaultLangID(); }
    Probe probe_;
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

TEST_F(HostMessages, FilledGetMessageNamesTheAddIn) {
    const std::wstring text = probe_.Message(5502);
    const std::wstring filled = FormatBuffered(text.c_str(), L"BrivexSw18.BrivexSw18");
    if (User() == kChineseSimplified) {
        EXPECT_EQ(filled, L"\x5BBF\x4E3B\xFF1A\x83B7\x53D6 BrivexSw18.BrivexSw18 \x5931\x8D25")
            << "host override";
    } else if (User() == kGerman) {
        EXPECT_EQ(filled, L"Abrufen von BrivexSw18.BrivexSw18 fehlgeschlagen") << "host override";
    } else if (LoaderLanguage() == kEnglishUS) {
        // The host's English block holds 5502 with count 0: that does not suppress the message.
        EXPECT_EQ(filled, L"Get BrivexSw18.BrivexSw18 failed");
    } else {
        EXPECT_EQ(filled, FormatBuffered(Library(5502).c_str(), L"BrivexSw18.BrivexSw18"));
    }
}

TEST_F(HostMessages, OpenMessageHasNoPlaceholders) {
    const std::wstring text = probe_.Message(5511);
    // In English the host's block holds 5511 with count 0; in Traditional Chinese the host's 5511 has
    // a conversion. Neither replaces the library's text.
    EXPECT_EQ(text, Library(5511));
    EXPECT_EQ(text.find(L'%'), std::wstring::npos);
    if (LoaderLanguage() == kEnglishUS) {
        EXPECT_EQ(text, L"open file failed,maybe this document is created by later version.");
    }
}

TEST_F(HostMessages, OverrideIsUsedOnlyWithTheLibrarysConversions) {
    // The host's English texts for these differ in count or kind, or carry %n; its Traditional
    // Chinese 5511 has a conversion where the library's has none. Other languages: no override.
    for (const unsigned id : {5501u, 5510u, 5512u}) EXPECT_EQ(probe_.Message(id), Library(id)) << id;
    const bool english = User() == kEnglishUS;
    EXPECT_EQ(probe_.Message(5500), english ? L"Host: starting %s failed (%s)" : Library(5500));
    EXPECT_EQ(probe_.Message(5513), english ? L"Host: 100%% of %ls not saved. " : Library(5513));
    // Ids the library lacks: an override without conversions stands alone.
    EXPECT_EQ(probe_.Message(1), english ? L"Host text for id one" : L"");
    EXPECT_EQ(probe_.Message(5505), english ? L"Host text for an id the library lacks" : L"");
    EXPECT_EQ(probe_.Message(5503), L"");
    // Block numbers are 16 bits: this id's block would wrap around to 344, which holds 5500.
    EXPECT_EQ(probe_.Message(1054076), L"");
}

TEST_F(HostMessages, LanguageFileBesideTheLibrary) {
    // cadType is part of the file name: the process id keeps parallel runs apart.
    const int cadType = static_cast<int>(GetCurrentProcessId());
    const std::wstring folder = TestProgramDirectory() + L"zh-cn";
    const std::wstring file = folder + L"\\dd_" + std::to_wstring(cadType) + L".xml";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"<language>\x4E2D\x6587</language>")));

    const LCID old = GetThreadLocale();
    SetThreadLocale(0x0804);
    const std::wstring path = probe_.Call("ProbeLanguageXmlPath", static_cast<unsigned>(cadType));
    const std::wstring chinese = probe_.Call("ProbeLoadLanguageXml", static_cast<unsigned>(cadType));
    SetThreadLocale(0x0409);
    const std::wstring english = probe_.Call("ProbeLoadLanguageXml", static_cast<unsigned>(cadType));
    SetThreadLocale(old);
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());

    EXPECT_EQ(CompareStringOrdinal(path.c_str(), -1, file.c_str(), -1, TRUE), CSTR_EQUAL) << path.size();
    EXPECT_EQ(chinese, L"<language>\x4E2D\x6587</language>");
    EXPECT_EQ(english, L"") << "no en-us file: the add-in gets an empty text";
}
