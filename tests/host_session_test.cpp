// A host program built only against the installed headers and the import library, loading the DLL
// from its own folder, as a host developer's program would.
#include <windows.h>

#include <gtest/gtest.h>

#include <QarSldwInterface.h>

#include <memory>
#include <string>

namespace {

// The system's text for `hr` without its final line break.
std::wstring SystemText(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                        nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    if (text.empty()) {
        wchar_t fallback[32];
        swprintf(fallback, 32, L"Unknown error 0x%lX", static_cast<unsigned long>(hr));
        text = fallback;
    }
    return text;
}

}  // namespace

// An installation nobody registered: activation fails and the message, in the user's language, names
// the ProgID tried and the system's text for the failure.
TEST(HostSession, UnregisteredVersionReportsStartFailedInTheUsersLanguage) {
    QARCAX::SldwConnector connector(3, L"SolidWorks 2030", L"", L"");
    QARCAX::CaxCommand* command = nullptr;
    const int result = connector.NewCommand(nullptr, command);
    EXPECT_EQ(nullptr, command);
    EXPECT_LT(result, 0);
    EXPECT_EQ(-1, connector.errorCode);
    const std::wstring progId = L"SldWorks.Application.38";
    const std::wstring expected = PRIMARYLANGID(GetUserDefaultLangID()) == LANG_CHINESE
                                      ? L"\u542F\u52A8 " + progId + L" \u5931\u8D25, " + SystemText(result)
                                      : L"Start " + progId + L" failed," + SystemText(result);
    EXPECT_EQ(expected, connector.errorMessage);
}
