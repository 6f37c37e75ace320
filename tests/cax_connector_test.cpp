// NewCommand by where the connect sequence stops, and what the status record keeps.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "Public/cax_connector.h"
#include "counted_dispatch.h"

using QARCAX::CaxCommand;
using QARCAX::ConnectionRecord;

namespace {

const std::wstring kConnectPrefix = L"QARCAX::CaxConnector::Connect() error: ";

// A connector whose two application-specific steps are scripted by the test.
class ScriptedConnector : public QARCAX::CaxConnector {
public:
    ScriptedConnector() : CaxConnector(3, L"SolidWorks 2018", L"657330") {}

    std::function<int(std::wstring& handleText, void*& app)> load = [](std::wstring&, void*&) { return 0; };
    std::function<int(CaxCommand*& command)> create = [](CaxCommand*&) { return 0; };

    int createCalls = 0;
    ConnectionRecord seen;
    std::wstring loadVersion, loadHandle;
    IDispatch* loadHost = nullptr;

private:
    int CreateCommand(const void* info, CaxCommand*& command) override {
        ++createCalls;
        seen = *static_cast<const ConnectionRecord*>(info);
        return create(command);
    }
    int LoadApplication(const std::wstring& version, const std::wstring& handle, IDispatch* host,
                        std::wstring& handleText, void*& app) override {
        loadVersion = version;
        loadHandle = handle;
        loadHost = host;
        return load(handleText, app);
    }
};

CaxCommand* const kUntouched = reinterpret_cast<CaxCommand*>(0x1234);

}  // namespace

// An inner failure passes through unchanged: the inner operation writes the record, not Connect.
// Every exception inside the sequence ends as -1 with code 18000; only the library's own and standard
// exceptions carry Connect's prefix (Connect has no clause of its own for COM errors). A machine
// fault arrives as the library's own exception.
TEST(NewCommand, FailuresInTheSequenceBeforeTheCommandIsMade) {
    const struct {
        std::function<int()> load;
        int result, code;
        std::wstring expectedStart;
    } cases[] = {
        {[] { return 5; }, 5, 0, L""},
        {[]() -> int { throw std::runtime_error("x"); }, -1, 18000, kConnectPrefix + L"x\n"},
        {[]() -> int { throw _com_error(E_FAIL); }, -1, 18000, L"Unexpected error.\n"},
        {[] {
             volatile uintptr_t address = 0x10;
             return *reinterpret_cast<volatile int*>(address);
         },
         -1, 18000,
         kConnectPrefix + L"EXCEPTION_ACCESS_VIOLATION\n address:\t0x"},
    };
    for (const auto& c : cases) {
        ScriptedConnector connector;
        connector.load = [&](std::wstring&, void*&) { return c.load(); };
        CaxCommand* command = kUntouched;
        EXPECT_EQ(c.result, connector.NewCommand(nullptr, command));
        EXPECT_EQ(kUntouched, command);
        EXPECT_EQ(c.code, connector.errorCode);
        EXPECT_EQ(c.expectedStart, connector.errorMessage.substr(0, c.expectedStart.size()));
        EXPECT_EQ(c.expectedStart.empty(), connector.errorMessage.empty());
        EXPECT_EQ(0, connector.createCalls);
    }
}

// what() is ANSI text in the system code page; the record holds it converted, not byte by byte.
TEST(NewCommand, StandardExceptionTextIsConvertedFromTheAnsiCodePage) {
    const std::tuple<UINT, const char*, const wchar_t*> samples[] = {{1252, "caf\xE9", L"caf\u00E9"},
                                                                     {936, "\xC4\xE3\xBA\xC3", L"\u4F60\u597D"},
                                                                     {950, "\xA7\x41\xA6\x6E", L"\u4F60\u597D"},
                                                                     {65001, "caf\xC3\xA9", L"caf\u00E9"}};
    for (const auto& [codePage, ansi, wide] : samples) {
        if (codePage != GetACP()) continue;
        ScriptedConnector connector;
        connector.load = [ansi = ansi](std::wstring&, void*&) -> int { throw std::runtime_error(ansi); };
        CaxCommand* command = nullptr;
        EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
        EXPECT_EQ(kConnectPrefix + wide + L"\n", connector.errorMessage);
        return;
    }
    GTEST_SKIP() << "no sample text for code page " << GetACP();
}

// A success keeps an earlier failure in the record and hands the application on; the application's
// reference is given back after CreateCommand on every path: CreateCommand succeeds, fails or throws
// (its exception reaches the caller unguarded), or a step after the application was reached fails or
// throws.
TEST(NewCommand, SuccessHandsTheRecordOnAndEveryPathGivesTheApplicationBack) {
    ScriptedConnector connector;
    CountedDispatch app, host;
    connector.errorCode = 7;
    connector.errorMessage = L"earlier";
    auto reachApp = [&](int result) {
        return [&app, result](std::wstring& handleText, void*& out) -> int {
            app.AddRef();  // the reference that the record carries
            out = static_cast<IDispatch*>(&app);
            handleText = L"-1";
            if (result == -1) throw std::runtime_error("late");
            return result;
        };
    };
    connector.load = reachApp(0);
    connector.create = [&](CaxCommand*& made) {
        EXPECT_EQ(2u, app.references) << "the record's reference is still held during CreateCommand";
        made = kUntouched;
        return 0;
    };
    CaxCommand* command = nullptr;
    EXPECT_EQ(0, connector.NewCommand(&host, command));
    EXPECT_EQ(kUntouched, command);
    EXPECT_EQ(7, connector.errorCode);
    EXPECT_EQ(L"earlier", connector.errorMessage);
    EXPECT_EQ(L"SolidWorks 2018", connector.loadVersion);
    EXPECT_EQ(L"657330", connector.loadHandle);
    EXPECT_EQ(&host, connector.loadHost);
    EXPECT_EQ(3, connector.seen.cadType);
    EXPECT_EQ(L"SolidWorks 2018", connector.seen.cadVersion);
    EXPECT_EQ(static_cast<IDispatch*>(&app), connector.seen.appObject);
    EXPECT_EQ(L"-1", connector.seen.appHandleText);
    EXPECT_EQ(1u, app.references);

    connector.errorCode = 0;
    connector.create = [](CaxCommand*&) { return 9; };
    EXPECT_EQ(9, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);
    connector.create = [](CaxCommand*&) -> int { throw std::runtime_error("unguarded"); };
    EXPECT_THROW(connector.NewCommand(nullptr, command), std::runtime_error);
    EXPECT_EQ(1u, app.references);
    EXPECT_EQ(0, connector.errorCode) << "CreateCommand runs outside the guard";
    for (int result : {-255, -1}) {
        connector.load = reachApp(result);
        EXPECT_EQ(result, connector.NewCommand(nullptr, command));
        EXPECT_EQ(1u, app.references) << result;
    }
}
