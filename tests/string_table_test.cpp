// The string table as compiled into the shipped module, and how a block is read.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <vector>

#include "library_strings.h"
#include "module_test_support.h"
#include "sldw/localized_messages.h"

using localized_detail::SameConversions;
using localized_detail::StringTableEntry;

TEST(CompiledStringTable, BlocksHoldExactlyTheMessagesInThreeLanguages) {
    const UniqueModule module(LoadLibraryW((TestProgramDirectory() + L"QarSldwInterface_x64.dll").c_str()));
    ASSERT_TRUE(module) << "the build copies the module beside the test program";
    for (const unsigned block : {344u, 345u}) {
        std::set<LANGID> languages;
        EnumResourceLanguagesW(
            module.get(), RT_STRING, MAKEINTRESOURCEW(block),
            [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) -> BOOL {
                return reinterpret_cast<std::set<LANGID>*>(found)->insert(language), TRUE;
            },
            reinterpret_cast<LONG_PTR>(&languages));
        EXPECT_EQ(languages, (std::set<LANGID>{kEnglishUS, kChineseSimplified, kChineseTraditional}));

        for (const LANGID language : languages) {
            // Read independently of the library: 16 entries, each a count and that many units, and
            // nothing after the last one.
            std::wstring expected;
            for (unsigned id = (block - 1) * 16; id < block * 16; ++id) {
                const std::wstring text = LibraryText(id, language);
                expected += static_cast<wchar_t>(text.size()) + text;
            }
            const HRSRC resource =
                FindResourceExW(module.get(), RT_STRING, MAKEINTRESOURCEW(block), language);
            ASSERT_NE(resource, nullptr);
            const auto* units =
                static_cast<const wchar_t*>(LockResource(LoadResource(module.get(), resource)));
            EXPECT_EQ(std::wstring(units, SizeofResource(module.get(), resource) / 2), expected)
                << "block " << block << " language " << std::hex << language;
        }
    }
}

// A host's string table is outside data: whatever its counts say, the walk stays inside the block.
// Each block is copied to end where an inaccessible page begins, so any read past it faults.
TEST(StringTableEntry, WalksTheCountsWithoutReadingPastTheBlock) {
    constexpr size_t kPage = 4096;
    auto* const memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ASSERT_TRUE(memory != nullptr && VirtualProtect(memory + kPage, kPage, PAGE_NOACCESS, &old));
    const struct {
        std::vector<WORD> units;
        unsigned index;
        std::optional<std::wstring> expected;
        bool oddByte = false;  // a stray last byte, which is no unit
    } cases[] = {
        {{0, 2, 'h', 'i', 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 3, L"abc"},
        {{1, 'x', 0, 0}, 2, L""},               // count 0 is an empty entry, not a missing one
        {{1, 'x', 0, 0}, 3, std::nullopt},      // the block ends first
        {{0, 9, 'a', 'b'}, 1, std::nullopt},    // the entry claims more units than are left
        {{0xFFFF, 'a', 'b'}, 1, std::nullopt},  // a huge count on the way is not followed
        {{1, 'a', 1}, 1, std::nullopt, true},
    };
    for (const auto& c : cases) {
        const size_t size = c.units.size() * 2 + (c.oddByte ? 1 : 0);
        unsigned char* const start = memory + kPage - size;
        memcpy(start, c.units.data(), c.units.size() * 2);
        if (c.oddByte) start[size - 1] = 'b';
        EXPECT_EQ(StringTableEntry(start, size, c.index), c.expected) << "case " << &c - cases;
    }
    VirtualFree(memory, 0, MEM_RELEASE);
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
