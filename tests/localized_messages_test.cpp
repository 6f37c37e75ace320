// Where the add-in's language file is looked for, how it is read, and system error texts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "module_test_support.h"
// After windows.h (pulled in above).
#include <psapi.h>
#include "sldw/localized_messages.h"

using localized_detail::LanguageXmlPathFor;
using localized_detail::ModuleFileName;

namespace {

// Scratch names unique to this process: tests of different programs run in parallel.
std::wstring ScratchPath(const std::wstring& name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + L"qar-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

}  // namespace

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
    // A directory chain well past MAX_PATH holding a copy of the shipped module.
    std::wstring directory = L"\\\\?\\" + ScratchPath(L"long");
    std::vector<std::wstring> created;
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    created.push_back(directory);
    while (directory.size() < 400) {
        directory += L"\\" + std::wstring(60, L'd');
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        created.push_back(directory);
    }
    const std::wstring copy = directory + L"\\QarSldwInterface_x64.dll";
    ASSERT_TRUE(
        CopyFileW((TestProgramDirectory() + L"QarSldwInterface_x64.dll").c_str(), copy.c_str(), FALSE));
    std::wstring loadedPath;
    {
        const UniqueModule module(LoadLibraryW(copy.substr(4).c_str()));
        if (module) loadedPath = ModuleFileName(module.get());
    }
    DeleteFileW(copy.c_str());
    for (auto it = created.rbegin(); it != created.rend(); ++it) RemoveDirectoryW(it->c_str());
    if (loadedPath.empty()) GTEST_SKIP() << "this system does not load modules from paths past MAX_PATH";
    EXPECT_GT(loadedPath.size(), static_cast<size_t>(MAX_PATH));
    EXPECT_EQ(CompareStringOrdinal(loadedPath.c_str(), -1, copy.c_str() + 4, -1, TRUE), CSTR_EQUAL)
        << loadedPath.size();
}

class Utf16File : public ::testing::Test {
protected:
    void TearDown() override { DeleteFileW(path_.c_str()); }
    // Writes `bytes` to the scratch file and reads it back; `text` starts out non-empty so that
    // a result of "" shows that it was replaced.
    std::wstring WriteAndRead(const std::string& bytes) {
        EXPECT_TRUE(WriteFileBytes(path_, bytes));
        std::wstring text = L"stale";
        ReadUtf16File(path_, text);
        return text;
    }
    const std::wstring path_ = ScratchPath(L"lang.xml");
};

TEST_F(Utf16File, ShortFilesGiveEmptyText) {
    EXPECT_EQ(WriteAndRead(""), L"");
    EXPECT_EQ(WriteAndRead("\xFF"), L"");
    EXPECT_EQ(WriteAndRead("\xFF\xFE"), L"");
    std::wstring text = L"stale";
    ReadUtf16File(ScratchPath(L"no-such-file.xml"), text);
    EXPECT_EQ(text, L"");
}

TEST_F(Utf16File, TextAfterTheMarkUpToTheFirstZeroUnit) {
    EXPECT_EQ(WriteAndRead(Utf16Bytes(L"<lang>\x4E2D\x6587</lang>")), L"<lang>\x4E2D\x6587</lang>");
    EXPECT_EQ(WriteAndRead(Utf16Bytes(std::wstring(L"ab\0cd", 5))), L"ab");
    EXPECT_EQ(WriteAndRead(Utf16Bytes(L"xy", "AB")), L"xy") << "the mark is skipped, not checked";
}

TEST_F(Utf16File, AnOddLastByteIsAUnitWithHighByteZero) {
    EXPECT_EQ(WriteAndRead(std::string("\xFF\xFE", 2) + "A"), L"A");
    EXPECT_EQ(WriteAndRead(Utf16Bytes(L"\x4E2D") + "B"),
              L"\x4E2D"
              L"B");
}

TEST_F(Utf16File, ReadsWhileAnotherHandleWritesIt) {
    ASSERT_TRUE(WriteFileBytes(path_, Utf16Bytes(L"shared")));
    const UniqueHandle writer(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                          nullptr));
    ASSERT_NE(writer.get(), INVALID_HANDLE_VALUE);
    std::wstring text;
    ReadUtf16File(path_, text);
    EXPECT_EQ(text, L"shared");
}

TEST_F(Utf16File, HundredMegabytesInLinearTimeAndAboutTheirSizeInMemory) {
    constexpr size_t kChunk = 1 << 20;
    constexpr size_t kChunks = 100;
    {
        const UniqueHandle file(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
        const std::string chunk = Utf16Bytes(std::wstring(kChunk / 2, L'q'), "");
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), "\xFF\xFE", 2, &written, nullptr));
        for (size_t i = 0; i < kChunks; ++i)
            ASSERT_TRUE(WriteFile(file.get(), chunk.data(), kChunk, &written, nullptr));
    }
    PROCESS_MEMORY_COUNTERS before{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));

    const auto start = std::chrono::steady_clock::now();
    std::wstring text;
    ReadUtf16File(path_, text);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    PROCESS_MEMORY_COUNTERS after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));
    ASSERT_EQ(text.size(), kChunk / 2 * kChunks);
    EXPECT_EQ(text.find_first_not_of(L'q'), std::wstring::npos);
    EXPECT_LT(seconds, 20.0) << "a read that copies as it grows takes far longer";
    const size_t fileBytes = kChunk * kChunks + 2;
    const size_t peakGrowth = after.PeakPagefileUsage - before.PagefileUsage;
    if (after.PeakPagefileUsage == 0) GTEST_SKIP() << "no commit figures on this system";
    EXPECT_LT(peakGrowth, fileBytes * 2 + fileBytes / 4) << "peak commit grew by " << peakGrowth;
    std::printf("read %zu bytes in %.2f s, peak commit +%zu MB\n", fileBytes, seconds, peakGrowth >> 20);
}

TEST(LastErrorText, SystemTextWithItsLineEndOrNothing) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::wstring text = GetLastErrorText();
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
    SetLastError(0x2000ABCD);  // customer bit set: never a system message
    EXPECT_EQ(GetLastErrorText(), L"");
}
