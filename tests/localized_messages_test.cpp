// Where the add-in's language file is looked for, how it is read, and system error texts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "module_test_support.h"
// After windows.h (pulled in above).
#include <psapi.h>
#include "sldw/localized_messages.h"

using localized_detail::LanguageXmlPathFor;

// Scratch names unique to this process: tests of different programs run in parallel.
static std::wstring ScratchPath(const std::wstring& name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + L"qar-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

TEST(LanguageFilePath, FolderByThreadLocaleBesideTheModule) {
    const std::wstring module = L"C:\\A\\B\\QarSldwInterface_x64.dll";
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0804, 3), L"C:\\A\\B\\zh-cn\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0404, 3), L"C:\\A\\B\\zh-tw\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0409, -12), L"C:\\A\\B\\en-us\\dd_-12.xml");
    // Unlisted locales, Simplified Chinese with stroke-count sorting among them, use English.
    EXPECT_EQ(LanguageXmlPathFor(module, 0x0407, 3), L"C:\\A\\B\\en-us\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(module, MAKELCID(0x0804, SORT_CHINESE_PRC), 3),
              L"C:\\A\\B\\en-us\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(L"C:/A/B/x.dll", 0x0804, 3), L"C:/A/B/zh-cn\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(L"C:\\A/B\\x.dll", 0x0804, 3), L"C:\\A/B\\zh-cn\\dd_3.xml");
    EXPECT_EQ(LanguageXmlPathFor(L"x.dll", 0x0804, 3), L"zh-cn\\dd_3.xml");
}

TEST(LanguageFilePath, ModulePathLongerThanMaxPathIsWhole) {
    // A copy of the shipped module at the end of a directory chain well past MAX_PATH.
    std::vector<std::wstring> directories{L"\\\\?\\" + ScratchPath(L"long")};
    while (directories.back().size() < 400)
        directories.push_back(directories.back() + L"\\" + std::wstring(60, L'd'));
    for (const std::wstring& directory : directories)
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    const std::wstring copy = directories.back() + L"\\QarSldwInterface_x64.dll";
    ASSERT_TRUE(
        CopyFileW((TestProgramDirectory() + L"QarSldwInterface_x64.dll").c_str(), copy.c_str(), FALSE));
    std::wstring loaded;
    if (const HMODULE module = LoadLibraryW(copy.c_str() + 4)) {
        loaded = localized_detail::ModuleFileName(module);
        FreeLibrary(module);
    }
    DeleteFileW(copy.c_str());
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) RemoveDirectoryW(it->c_str());
    if (loaded.empty()) GTEST_SKIP() << "this system does not load modules from paths past MAX_PATH";
    EXPECT_EQ(CompareStringOrdinal(loaded.c_str(), -1, copy.c_str() + 4, -1, TRUE), CSTR_EQUAL)
        << loaded.size();
}

class Utf16File : public ::testing::Test {
protected:
    void TearDown() override { DeleteFileW(path_.c_str()); }
    const std::wstring path_ = ScratchPath(L"lang.xml");
};

TEST_F(Utf16File, TextAfterTheMarkUpToTheFirstZeroUnit) {
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
        ASSERT_TRUE(WriteFileBytes(path_, bytes));
        text = L"stale";  // "" then shows that the text was replaced
        ReadUtf16File(path_, text);
        EXPECT_EQ(text, expected) << bytes.size() << " bytes";
    }
    // Someone may hold the file open for writing; a missing file reads as "".
    const HANDLE writer = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ReadUtf16File(path_, text);
    CloseHandle(writer);
    EXPECT_EQ(text, L"\u4E2DB");
    ReadUtf16File(ScratchPath(L"no-such-file.xml"), text);
    EXPECT_EQ(text, L"");
}

TEST_F(Utf16File, HundredMegabytesInLinearTimeAndAboutTheirSizeInMemory) {
    constexpr size_t kChunk = 1 << 20, kChunks = 100, kFileBytes = kChunk * kChunks + 2;
    FILE* const file = _wfopen(path_.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    const std::string chunk = Utf16Bytes(std::wstring(kChunk / 2, L'q'), "");
    fwrite("\xFF\xFE", 1, 2, file);
    for (size_t i = 0; i < kChunks; ++i) fwrite(chunk.data(), 1, kChunk, file);
    ASSERT_EQ(fclose(file), 0);

    PROCESS_MEMORY_COUNTERS before{}, after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));
    const auto start = std::chrono::steady_clock::now();
    std::wstring text;
    ReadUtf16File(path_, text);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));

    ASSERT_EQ(text.size(), (kFileBytes - 2) / 2);
    EXPECT_EQ(text.find_first_not_of(L'q'), std::wstring::npos);
    EXPECT_LT(seconds.count(), 20.0) << "a read that copies as it grows takes far longer";
    if (after.PeakPagefileUsage == 0) GTEST_SKIP() << "no commit figures on this system";
    const size_t peakGrowth = after.PeakPagefileUsage - before.PagefileUsage;
    EXPECT_LT(peakGrowth, kFileBytes * 9 / 4) << "peak commit grew by " << peakGrowth;
}

TEST(LastErrorText, SystemTextWithItsLineEndOrNothing) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::wstring text = GetLastErrorText();
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    SetLastError(0x2000ABCD);  // customer bit set: never a system message
    EXPECT_EQ(GetLastErrorText(), L"");
}
