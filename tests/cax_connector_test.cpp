// NewCommand by where the connect sequence stops, and what the status record keeps.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

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

TEST(NewCommand, InnerFailurePassesThroughUnchanged) {
    ScriptedConnector connector;
    connector.load = [](std::wstring&, void*&) { return 5; };
    CaxCommand* command = kUntouched;
    EXPECT_EQ(5, connector.NewCommand(nullptr, command));
    EXPECT_EQ(kUntouched, command);
    EXPECT_EQ(0, connector.createCalls);
    EXPECT_EQ(0, connector.errorCode) << "the inner operation writes the record, not Connect";
    EXPECT_EQ(L"", connector.errorMessage);
}

// Every exception inside the sequence ends as -1 with code 18000; only the library's own and standard
// exceptions carry Connect's prefix (Connect has no clause of its own for COM errors). A machine
// fault arrives as the library's own exception.
TEST(NewCommand, ExceptionsInTheSequenceAreRecordedAs18000) {
    const struct {
        std::function<int()> thrower;
        std::wstring expectedStart;
    } cases[] = {
        {[]() -> int { throw std::runtime_error("x"); }, kConnectPrefix + L"x\n"},
        {[]() -> int { throw 42; }, L"Unexpected error.\n"},
        {[]() -> int { throw _com_error(E_FAIL); }, L"Unexpected error.\n"},
        {[]() -> int {
             volatile uintptr_t address = 0x10;
             return *reinterpret_cast<volatile int*>(address);
         },
         kConnectPrefix + L"EXCEPTION_ACCESS_VIOLATION\n address:\t0x"},
    };
    for (const auto& c : cases) {
        ScriptedConnector connector;
        connector.load = [&](std::wstring&, void*&) { return c.thrower(); };
        CaxCommand* command = kUntouched;
        EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
        EXPECT_EQ(kUntouched, command);
        EXPECT_EQ(18000, connector.errorCode);
        EXPECT_EQ(c.expectedStart, connector.errorMessage.substr(0, c.expectedStart.size()));
        EXPECT_EQ(0, connector.createCalls);
    }
}

// what() is ANSI text in the system code page; the record holds it converted, not byte by byte.
TEST(NewCommand, StandardExceptionTextIsConvertedFromTheAnsiCodePage) {
    const struct {
        UINT codePage;
        const char* ansi;
        const wchar_t* wide;
    } samples[] = {{1252, "caf\xE9", L"caf\u00E9"},
                   {936, "\xC4\xE3\xBA\xC3", L"\u4F60\u597D"},
                   {950, "\xA7\x41\xA6\x6E", L"\u4F60\u597D"},
                   {65001, "caf\xC3\xA9", L"caf\u00E9"}};
    for (const auto& sample : samples) {
        if (sample.codePage != GetACP()) continue;
        ScriptedConnector connector;
        connector.load = [&](std::wstring&, void*&) -> int { throw std::runtime_error(sample.ansi); };
        CaxCommand* command = nullptr;
        EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
        EXPECT_EQ(kConnectPrefix + sample.wide + L"\n", connector.errorMessage);
        return;
    }
    GTEST_SKIP() << "no sample text for code page " << GetACP();
}

TEST(NewCommand, SuccessKeepsAnEarlierFailureAndHandsTheRecordOn) {
    ScriptedConnector connector;
    CountedDispatch app, host;
    connector.load = [](std::wstring&, void*&) { return 7; };
    CaxCommand* command = nullptr;
    ASSERT_EQ(7, connector.NewCommand(&host, command));
    connector.errorCode = 7;
    connector.errorMessage = L"earlier";

    connector.load = [&](std::wstring& handleText, void*& out) {
        app.AddRef();  // the reference that the record carries
        out = static_cast<IDispatch*>(&app);
        handleText = L"-1";
        return 0;
    };
    connector.create = [&](CaxCommand*& made) {
        EXPECT_EQ(2u, app.references) << "the record's reference is still held during CreateCommand";
        made = kUntouched;
        return 0;
    };
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
    EXPECT_EQ(1u, app.references) << "the record's reference is given back after CreateCommand";
}

// The application's reference that the sequence hands on is given back on every other path too:
// CreateCommand fails or throws (its exception reaches the caller unguarded), or a step after the
// application was reached fails or throws.
TEST(NewCommand, ApplicationReferenceIsGivenBackOnEveryPath) {
    CountedDispatch app;
    auto reachApp = [&](int result) {
        return [&app, result](std::wstring&, void*& out) -> int {
            app.AddRef();
            out = static_cast<IDispatch*>(&app);
            if (result == -1) throw std::runtime_error("late");
            return result;
        };
    };
    ScriptedConnector connector;
    CaxCommand* command = nullptr;
    connector.load = reachApp(0);
    connector.create = [](CaxCommand*&) { return 9; };
    EXPECT_EQ(9, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);

    connector.create = [](CaxCommand*&) -> int { throw std::runtime_error("unguarded"); };
    EXPECT_THROW(connector.NewCommand(nullptr, command), std::runtime_error);
    EXPECT_EQ(1u, app.references);
    EXPECT_EQ(0, connector.errorCode) << "CreateCommand runs outside the guard";

    connector.load = reachApp(-255);
    EXPECT_EQ(-255, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);

    connector.load = reachApp(-1);
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);
}
