// Messages and the add-in's language file as a host sees them. This program is the host, with a string
// table of its own (host_strings.rc); message_probe.dll is a build of the library's message code with
// the library's string table; the shipped module lies beside the program. HostMessages runs once per
// user language (LC_ALL under Wine; see tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Public/owners.h"
#include "module_test_support.h"
// After windows.h (pulled in above).
#include <psapi.h>
#include "Public/text_helpers.h"
#include "sldw/localized_messages.h"

using qar::ReadUtf16File;
using qar::detail::LanguageXmlPathFor;
using qar::detail::SameConversions;

namespace {

// Scratch names unique to this process: tests of different programs run in parallel.
std::wstring ScratchPath(const std::wstring& name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + L"qar-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

std::wstring Probe(HMODULE probe, const char* name, int argument) {
    const auto function =
        reinterpret_cast<const wchar_t* (*)(int)>(reinterpret_cast<void (*)()>(GetProcAddress(probe, name)));
    return function != nullptr ? function(argument) : L"<no probe function>";
}

constexpr LANGID kEnglishUS = 0x0409, kChineseSimplified = 0x0804, kChineseTraditional = 0x0404;

// The library's messages as users must see them (US English, Simplified and Traditional Chinese),
// written out unit by unit (full-width punctuation as escapes) so that a slip in the resource script
// or in its code page shows up as a difference.
const struct {
    unsigned id;
    const wchar_t* text[3];
} kLibraryStrings[] = {
    {5500,
     {L"Start %s failed,%s", L"\x542F\x52A8 %s \x5931\x8D25, %s", L"\x555F\x52D5 %s \x5931\x6557\xFF0C%s"}},
    {5501,
     {L"LoadAddin %s failed.", L"\x52A0\x8F7D\x63D2\x4EF6 %s \x5931\x8D25\x3002",
      L"\x52A0\x8F09\x63D2\x4EF6 %s \x5931\x6557\x3002"}},
    {5502, {L"Get %s failed", L"\x83B7\x53D6 %s \x5931\x8D25", L"\x7372\x53D6 %s \x5931\x6557"}},
    {5510,
     {L"%s, GetDocumentCount() error", L"%s, GetDocumentCount() \x9519\x8BEF",
      L"%s, GetDocumentCount() \x932F\x8AA4"}},
    {5511,
     {L"open file failed,maybe this document is created by later version.",
      L"\x6253\x5F00\x6587\x6863\x5931\x8D25,"
      L"\x4E5F\x8BB8\x8BE5\x6587\x6863\x4E3A\x66F4\x9AD8\x7248\x672C\x521B\x5EFA\x3002",
      L"\x6253\x958B\x6587\x6A94\x5931\x6557\xFF0C\x4E5F\x8A31\x8A72\x6587\x6A94\x70BA\x66F4\x9AD8\x7248"
      L"\x672C\x5275\x5EFA\x3002"}},
    {5512,
     {L"close file failed, %s. ", L"\x5173\x95ED\x6587\x6863\x5931\x8D25\xFF0C %s. ",
      L"\x95DC\x9589\x6587\x6A94\x5931\x6557\xFF0C %s. "}},
    {5513,
     {L"Save file failed, %s. ", L"\x4FDD\x5B58\x6587\x6863\x5931\x8D25, %s. ",
      L"\x4FDD\x5B58\x6587\x6A94\x5931\x6557, %s. "}},
    {5514,
     {L"Get Dependencies file failed, %s,", L"\x83B7\x53D6\x4F9D\x8D56\x6587\x4EF6\x51FA\x9519, %s,",
      L"\x7372\x5F97\x4F9D\x8CF4\x6587\x4EF6\x51FA\x932F, %s,"}},
    {5515,
     {L"The CAD application stayed busy for %s s.",
      L"CAD \x5E94\x7528\x7A0B\x5E8F\x6301\x7EED\x7E41\x5FD9 %s \x79D2\x3002",
      L"CAD \x61C9\x7528\x7A0B\x5F0F\x6301\x7E8C\x5FD9\x788C %s \x79D2\x3002"}},
};

// The library's text for `id` in `language` (one of the three above); "" when it has none.
std::wstring LibraryText(unsigned id, LANGID language) {
    for (const auto& entry : kLibraryStrings) {
        if (entry.id == id)
            return entry.text[language == kChineseSimplified ? 1 : language == kChineseTraditional ? 2 : 0];
    }
    return L"";
}

}  // namespace

// The host texts that replace the library's for a user of that language are those that take the
// library's arguments, and those for ids the library lacks, which take none. In English the host's
// blocks hold 5502 and 5511 with count 0, which must not suppress the library's text; its 5501 takes
// an argument more (other unusable conversions: StringTable below). A German user gets the host's
// German text where the library has none in German. 1054076's block number would wrap around to 344
// (resource names are 16 bits), which holds 5500. The language file's folder follows the thread's
// locale, not the user's: the en_US run shows the difference.
TEST(HostMessages, HostTextReplacesTheLibrarysOnlyWhenItTakesTheSameArguments) {
    if (const char* expected = std::getenv("QAR_EXPECTED_LANGID")) {  // the harness's LC_ALL took effect
        const LANGID language = static_cast<LANGID>(std::strtoul(expected, nullptr, 16));
        ASSERT_EQ(GetUserDefaultLangID(), language);
        ASSERT_EQ(GetUserDefaultUILanguage(), language);
        ASSERT_EQ(GetThreadLocale(), MAKELCID(language, SORT_DEFAULT));
    }
    const qar::UniqueModule probe(LoadLibraryW((TestProgramDirectory() + L"message_probe.dll").c_str()));
    ASSERT_TRUE(probe) << "the build puts message_probe.dll beside this program";
    const std::tuple<LANGID, unsigned, const wchar_t*> usable[] = {
        {kEnglishUS, 1, L"Host text for id one"},
        {kEnglishUS, 5500, L"Host: starting %s failed (%s)"},
        {kEnglishUS, 5505, L"Host text for an id the library lacks"},
        {kEnglishUS, 5513, L"Host: 100%% of %ls not saved. "},
        {kChineseSimplified, 5502, L"\x5BBF\x4E3B\xFF1A\x83B7\x53D6 %s \x5931\x8D25"},
        {0x0407, 5502, L"Abrufen von %s fehlgeschlagen"},
    };
    // The loader picks the user's UI language among the library's three, else US English.
    const LANGID ui = GetUserDefaultUILanguage();
    const LANGID loaded = ui == kChineseSimplified || ui == kChineseTraditional ? ui : kEnglishUS;
    // Every id of the two blocks that hold the library's texts, so that a text the table above lacks
    // shows as a difference too.
    std::vector<unsigned> ids{1, 1054076};
    for (unsigned id = 5488; id < 5520; ++id) ids.push_back(id);
    for (const unsigned id : ids) {
        std::wstring expected = LibraryText(id, loaded);
        for (const auto& [language, overridden, text] : usable) {
            if (language == GetUserDefaultLangID() && overridden == id) expected = text;
        }
        EXPECT_EQ(Probe(probe.Get(), "ProbeLoadLocalizedString", static_cast<int>(id)), expected) << id;
    }

    // The process id as cadType keeps parallel runs apart; they share the folder, so it stays.
    const int cadType = static_cast<int>(GetCurrentProcessId());
    const std::wstring folder = TestProgramDirectory() + L"zh-cn";
    const std::wstring file = folder + L"\\dd_" + std::to_wstring(cadType) + L".xml";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(L"<language>\x4E2D\x6587</language>")));
    const LCID old = GetThreadLocale();
    SetThreadLocale(0x0804);
    const std::wstring chinese = Probe(probe.Get(), "ProbeLoadLanguageXml", cadType);
    SetThreadLocale(old);
    DeleteFileW(file.c_str());
    EXPECT_EQ(chinese, L"<language>\x4E2D\x6587</language>");
}

// A host's string table is outside data: whatever its counts say, the walk stays inside the block.
TEST(StringTable, TheWalkStaysInsideABlock) {
    // Each block is copied to end where an inaccessible page begins, so any read past it faults.
    constexpr size_t kPage = 4096;
    auto* const memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ASSERT_TRUE(memory != nullptr && VirtualProtect(memory + kPage, kPage, PAGE_NOACCESS, &old));
    const std::tuple<std::vector<WORD>, unsigned, std::optional<std::wstring>, bool> cases[] = {
        {{0, 2, 'h', 'i', 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 3, L"abc", false},
        {{1, 'x', 0, 0}, 2, L"", false},               // count 0 is an empty entry, not a missing one
        {{1, 'x', 0, 0}, 3, std::nullopt, false},      // the block ends first
        {{0, 9, 'a', 'b'}, 1, std::nullopt, false},    // the entry claims more units than are left
        {{0xFFFF, 'a', 'b'}, 1, std::nullopt, false},  // a huge count on the way is not followed
        {{1, 'a', 1}, 1, std::nullopt, true},          // a stray last byte, which is no unit
    };
    for (const auto& [units, index, expected, oddByte] : cases) {
        const size_t size = units.size() * 2 + (oddByte ? 1 : 0);
        unsigned char* const start = memory + kPage - size;
        memcpy(start, units.data(), units.size() * 2);
        if (oddByte) start[size - 1] = 'b';
        EXPECT_EQ(qar::detail::StringTableEntry(start, size, index), expected)
            << units.size() << " " << index;
    }
    VirtualFree(memory, 0, MEM_RELEASE);

    // A host text matches only with the same arguments in the same order; %n and malformed ones never.
    using qar::detail::SameConversions;
    EXPECT_TRUE(SameConversions(L"%-20.5s|%5d|%08.3f|%c", L"%s %i %g %lc"));
    EXPECT_TRUE(SameConversions(L"%ws", L"%s"));
    for (const auto& [a, b] :
         {std::pair{L"%S", L"%s"}, {L"%*s", L"%s"}, {L"%I64d", L"%d"}, {L"%d %s", L"%s %d"}})
        EXPECT_FALSE(SameConversions(a, b)) << a;
    for (const wchar_t* format : {L"%n", L"%s %", L"%1$s", L"%Z", L"%y"})
        EXPECT_FALSE(SameConversions(format, format));
}

// The language file: beside the module in the folder of the thread's locale, English for unlisted
// locales (Simplified Chinese with stroke-count sorting among them); a module path past MAX_PATH whole.
TEST(LanguageFile, PathByThreadLocaleBesideTheModule) {
    const std::wstring module = L"C:\\A\\B\\QarSldwInterface_x64.dll";
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0804, 3), L"C:\\A\\B\\zh-cn\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0404, 3), L"C:\\A\\B\\zh-tw\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0409, -12), L"C:\\A\\B\\en-us\\dd_-12.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0407, 3), L"C:\\A\\B\\en-us\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, MAKELCID(0x0804, SORT_CHINESE_PRC), 3),
              L"C:\\A\\B\\en-us\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(L"C:/A/B/x.dll", 0x0804, 3), L"C:/A/B/zh-cn\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(L"C:\\A\\B/x.dll", 0x0804, 3), L"C:\\A\\zh-cn\\dd_3.xml");  // a "\" first
    EXPECT_EQ(LanguageXmlPathFor(L"x.dll", 0x0804, 3), L"zh-cn\\dd_3.xml");

    // One folder of a name near the longest a name may be makes the module's path longer than MAX_PATH.
    const std::wstring folder = L"\\\\?\\" + ScratchPath(std::wstring(240, L'd'));
    const std::wstring copy = folder + L"\\QarSldwInterface_x64.dll";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(
        CopyFileW((TestProgramDirectory() + L"QarSldwInterface_x64.dll").c_str(), copy.c_str(), FALSE));
    std::wstring loaded;
    if (const qar::UniqueModule copied{LoadLibraryW(copy.c_str() + 4)})
        loaded = qar::ModuleFileName(copied.Get());
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    if (loaded.empty()) GTEST_SKIP() << "this system does not load modules from paths past MAX_PATH";
    EXPECT_EQ(CompareStringOrdinal(loaded.c_str(), -1, copy.c_str() + 4, -1, TRUE), CSTR_EQUAL)
        << loaded.size();
}

// The text after the 2-byte mark up to the first zero unit; a file held open for writing is read (a
// missing one reads as "": the connector's language-file test). A hundred megabytes in linear time
// and about their size in memory.
TEST(LanguageFile, Utf16ContentsWhateverTheirShapeAndSize) {
    const std::wstring path = ScratchPath(L"lang.xml");
    const std::pair<std::string, std::wstring> cases[] = {
        {"", L""},
        {"\xFF", L""},
        {"\xFF\xFE", L""},
        {Utf16Bytes(L"<lang>\u4E2D\u6587</lang>"), L"<lang>\u4E2D\u6587</lang>"},
        {Utf16Bytes(std::wstring(L"ab\0cd", 5)), L"ab"},
        {Utf16Bytes(L"xy", "AB"), L"xy"},           // the mark is skipped, not checked
        {Utf16Bytes(L"\u4E2D") + "B", L"\u4E2DB"},  // an odd last byte is a unit with high byte 0
    };
    std::wstring text;
    for (const auto& [bytes, expected] : cases) {
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        text = L"stale";
        ReadUtf16File(path, text);
        EXPECT_EQ(text, expected) << bytes.size() << " bytes";
    }
    const HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ReadUtf16File(path, text);
    CloseHandle(writer);
    EXPECT_EQ(text, L"\u4E2DB");

    constexpr size_t kChunk = 1 << 20, kChunks = 100, kFileBytes = kChunk * kChunks + 2;
    FILE* const file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    const std::string chunk = Utf16Bytes(std::wstring(kChunk / 2, L'q'), "");
    fwrite("\xFF\xFE", 1, 2, file);
    for (size_t i = 0; i < kChunks; ++i) fwrite(chunk.data(), 1, kChunk, file);
    ASSERT_EQ(fclose(file), 0);
    PROCESS_MEMORY_COUNTERS before{}, after{};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
    const auto start = std::chrono::steady_clock::now();
    ReadUtf16File(path, text);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
    DeleteFileW(path.c_str());
    ASSERT_EQ(text.size(), (kFileBytes - 2) / 2);
    EXPECT_EQ(text.find_first_not_of(L'q'), std::wstring::npos);
    EXPECT_LT(seconds.count(), 20.0) << "a read that copies as it grows takes far longer";
    if (after.PeakPagefileUsage != 0) {  // else no commit figures on this system
        EXPECT_LT(after.PeakPagefileUsage - before.PagefileUsage, kFileBytes * 9 / 4) << "peak commit";
    }
}
