// Every PE module the project builds carries the project's one version in its VERSIONINFO resource,
// read as Windows reads it (GetFileVersionInfoW, VerQueryValueW), and names itself.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module_test_support.h"

namespace {

// The strings of the US English, Unicode block the resources are written with.
std::wstring VersionString(const std::vector<BYTE>& data, const std::wstring& name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904b0\\" + name;
    if (!VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
        return L"(none)";
    return value;
}

}  // namespace

TEST(ModuleVersions, EveryModuleCarriesTheProjectVersion) {
    // Relative to this program's folder (build/mingw/tests).
    const wchar_t* const modules[] = {L"..\\QarSldwInterface_x64.dll", L"..\\QarSldwAutomation_x64.dll",
                                      L"..\\qarsldw.exe", L"..\\simulator\\qarcadsim.exe",
                                      L"..\\BrivexSw18_x64.dll"};
    const DWORD major = QAR_VERSION_MAJOR, minor = QAR_VERSION_MINOR, patch = QAR_VERSION_PATCH;
    const std::wstring text =
        std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(patch);
    for (const wchar_t* module : modules) {
        SCOPED_TRACE(testing::Message() << module);
        const std::wstring path = TestProgramDirectory() + module;
        DWORD ignored = 0;
        std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
        ASSERT_FALSE(data.empty()) << GetLastError();
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
        EXPECT_EQ(MAKELONG(minor, major), fixed->dwFileVersionMS);
        EXPECT_EQ(MAKELONG(0, patch), fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
        EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
        const std::wstring file = std::wstring(module).substr(std::wstring(module).find_last_of(L'\\') + 1);
        const bool program = file.size() > 4 && file.compare(file.size() - 4, 4, L".exe") == 0;
        EXPECT_EQ(program ? VFT_APP : VFT_DLL, fixed->dwFileType);
        EXPECT_EQ(text, VersionString(data, L"FileVersion"));
        EXPECT_EQ(text, VersionString(data, L"ProductVersion"));
        EXPECT_EQ(L"QarSldwInterface", VersionString(data, L"ProductName"));
        EXPECT_EQ(file, VersionString(data, L"OriginalFilename"));
        EXPECT_NE(L"(none)", VersionString(data, L"FileDescription"));
    }
}
