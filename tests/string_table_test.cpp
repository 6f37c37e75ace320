// The string table as compiled into the shipped module, and how a block is read.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "library_strings.h"
#include "module_test_support.h"
#include "sldw/localized_messages.h"

using localized_detail::SameConversions;
using localized_detail::StringTableEntry;

namespace {

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
    reinterpret_cast<std::set<LANGID>*>(found)->insert(language);
    return TRUE;
}

// The raw 16 entries of a block, read independently of the library: nullopt entries are absent
// (count 0). Fails the test when the block is not exactly 16 entries long.
std::vector<std::wstring> RawBlock(HMODULE module, unsigned block, LANGID language) {
    std::vector<std::wstring> entries;
    const HRSRC resource = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), language);
    EXPECT_NE(resource, nullptr) << "block " << block << " language " << std::hex << language;
    if (resource == nullptr) return entries;
    const auto* units = static_cast<const WORD*>(LockResource(LoadResource(module, resource)));
    const DWORD bytes = SizeofResource(module, resource);
    EXPECT_EQ(bytes % 2, 0u);
    size_t at = 0;
    const size_t total = bytes / 2;
    while (entries.size() < 16 && at < total) {
        const size_t count = units[at];
        EXPECT_LE(at + 1 + count, total);
        entries.emplace_back(reinterpret_cast<const wchar_t*>(units + at + 1), count);
        at += 1 + count;
    }
    EXPECT_EQ(entries.size(), 16u);
    EXPECT_EQ(at, total) << "bytes after the 16th entry";
    return entries;
}

}  // namespace

TEST(CompiledStringTable, BlocksHoldExactlyTheMessagesInThreeLanguages) {
    const UniqueModule module = LoadModuleBesideTest(L"QarSldwInterface_x64.dll");
    ASSERT_TRUE(module) << "the build copies the module beside the test program";

    for (const unsigned block : {344u, 345u}) {
        std::set<LANGID> languages;
        EnumResourceLanguagesW(module.get(), RT_STRING, MAKEINTRESOURCEW(block), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(languages, (std::set<LANGID>{kEnglishUS, kChineseSimplified, kChineseTraditional}));

        for (const LANGID language : languages) {
            const std::vector<std::wstring> entries = RawBlock(module.get(), block, language);
            for (size_t index = 0; index < entries.size(); ++index) {
                const unsigned id = (block - 1) * 16 + static_cast<unsigned>(index);
                EXPECT_EQ(entries[index], LibraryText(id, language))
                    << "id " << id << " language " << std::hex << language;
            }
        }
    }
}

// A block placed at the very end of readable memory: any read past it faults.
class StringTableBlock : public ::testing::Test {
protected:
    void SetUp() override {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        memory_ = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        ASSERT_NE(memory_, nullptr);
        DWORD old = 0;
        ASSERT_TRUE(VirtualProtect(memory_ + page_, page_, PAGE_NOACCESS, &old));
    }
    void TearDown() override {
        if (memory_ != nullptr) VirtualFree(memory_, 0, MEM_RELEASE);
    }
    // Copies `units` (and `extraByte` when not negative) so that they end at the guard page.
    const void* Place(const std::vector<WORD>& units, int extraByte = -1) {
        size_ = units.size() * 2 + (extraByte >= 0 ? 1 : 0);
        unsigned char* start = memory_ + page_ - size_;
        memcpy(start, units.data(), units.size() * 2);
        if (extraByte >= 0) start[size_ - 1] = static_cast<unsigned char>(extraByte);
        return start;
    }
    size_t size_ = 0;

private:
    unsigned char* memory_ = nullptr;
    size_t page_ = 0;
};

TEST_F(StringTableBlock, EntriesAreFoundByWalkingTheCounts) {
    const void* block = Place({0, 2, 'h', 'i', 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(StringTableEntry(block, size_, 1), L"hi");
    EXPECT_EQ(StringTableEntry(block, size_, 3), L"abc");
    EXPECT_EQ(StringTableEntry(block, size_, 0), L"") << "count 0 is an empty entry, not a missing one";
    EXPECT_EQ(StringTableEntry(block, size_, 15), L"");
    EXPECT_EQ(StringTableEntry(block, size_, 16), std::nullopt);
}

TEST_F(StringTableBlock, CountsRunningPastTheEndMeanMissing) {
    // A short block: the walk ends before index 5.
    const void* shortBlock = Place({1, 'x', 0, 0});
    EXPECT_EQ(StringTableEntry(shortBlock, size_, 2), L"");
    EXPECT_EQ(StringTableEntry(shortBlock, size_, 3), std::nullopt);
    EXPECT_EQ(StringTableEntry(shortBlock, size_, 5), std::nullopt);

    // The wanted entry claims more units than are left.
    const void* longEntry = Place({0, 9, 'a', 'b'});
    EXPECT_EQ(StringTableEntry(longEntry, size_, 1), std::nullopt);

    // A huge count on the way must not be followed; a stray odd byte is not a unit.
    const void* hugeSkip = Place({0xFFFF, 'a', 'b'});
    EXPECT_EQ(StringTableEntry(hugeSkip, size_, 1), std::nullopt);
    EXPECT_EQ(StringTableEntry(hugeSkip, size_, 0), std::nullopt);
    const void* oddEnd = Place({1, 'a', 1}, 'b');
    EXPECT_EQ(StringTableEntry(oddEnd, size_, 0), L"a");
    EXPECT_EQ(StringTableEntry(oddEnd, size_, 1), std::nullopt);
}

TEST(MessageFormats, OnlyTheSameArgumentsInTheSameOrderMatch) {
    EXPECT_TRUE(SameConversions(L"Obtaining %s failed!", L"Get %s failed"));
    EXPECT_TRUE(SameConversions(L"100%% of %ls, %ws", L"%s, %s"))
        << "%ls and %ws are wide like %s; %% is text";
    EXPECT_TRUE(SameConversions(L"%-20.5s|%5d|%08.3f|%c", L"%s %i %g %lc"));
    EXPECT_FALSE(SameConversions(L"%s %s", L"%s"));
    EXPECT_FALSE(SameConversions(L"%d", L"%s"));
    EXPECT_FALSE(SameConversions(L"%S", L"%s")) << "%S reads a narrow string in a wide format";
    EXPECT_FALSE(SameConversions(L"%*s", L"%s")) << "a * width takes an argument of its own";
    EXPECT_FALSE(SameConversions(L"%I64d", L"%d"));
    EXPECT_FALSE(SameConversions(L"%d %s", L"%s %d"));
    // Unsafe or malformed directives never match, not even themselves.
    for (const wchar_t* format : {L"%n", L"%s %", L"%1$s", L"%Z", L"%y"})
        EXPECT_FALSE(SameConversions(format, format));
}
