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
// exceptions carry Connect's prefix (Connect has no clause of its own for COM errors).
TEST(NewCommand, ExceptionsInTheSequenceAreRecordedAs18000) {
    const std::function<int()> throwers[] = {
        []() -> int { throw std::runtime_error("x"); },
        []() -> int { throw 42; },
        []() -> int { throw _com_error(E_FAIL); },
    };
    const std::wstring expected[] = {kConnectPrefix + L"x\n", L"Unexpected error.\n", L"Unexpected error.\n"};
    for (size_t i = 0; i < 3; ++i) {
        ScriptedConnector connector;
        connector.load = [&](std::wstring&, void*&) { return throwers[i](); };
        CaxCommand* command = kUntouched;
        EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
        EXPECT_EQ(kUntouched, command);
        EXPECT_EQ(18000, connector.errorCode);
        EXPECT_EQ(expected[i], connector.errorMessage);
        EXPECT_EQ(0, connector.createCalls);
    }
}

// what() is ANSI text in the system code page; the record holds it converted, not byte by byte.
TEST(NewCommand, StandardExceptionTextIsConvertedFromTheAnsiCodePage) {
    std::string ansi;
    std::wstring wide;
    switch (GetACP()) {
        case 1252:
            ansi = "caf\xE9";
            wide = L"caf\u00E9";
            break;
        case 936:
            ansi = "\xC4\xE3\xBA\xC3";
            wide = L"\u4F60\u597D";
            break;
        case 950:
            ansi = "\xA7\x41\xA6\x6E";
            wide = L"\u4F60\u597D";
            break;
        case 65001:
            ansi = "caf\xC3\xA9";
            wide = L"caf\u00E9";
            break;
        default:
            GTEST_SKIP() << "no sample text for code page " << GetACP();
    }
    ScriptedConnector connector;
    connector.load = [&](std::wstring&, void*&) -> int { throw std::runtime_error(ansi); };
    CaxCommand* command = nullptr;
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(kConnectPrefix + wide + L"\n", connector.errorMessage);
}

TEST(NewCommand, MachineFaultInTheSequenceIsRecorded) {
    ScriptedConnector connector;
    connector.load = [](std::wstring&, void*&) -> int {
        volatile uintptr_t address = 0x10;
        return *reinterpret_cast<volatile int*>(address);
    };
    CaxCommand* command = nullptr;
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(18000, connector.errorCode);
    EXPECT_EQ(0u, connector.errorMessage.find(kConnectPrefix + L"EXCEPTION_ACCESS_VIOLATION\n address:\t0x"));
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

TEST(NewCommand, CreateCommandResultAndExceptionsReachTheCaller) {
    ScriptedConnector connector;
    CountedDispatch app;
    connector.load = [&](std::wstring&, void*& out) {
        app.AddRef();
        out = static_cast<IDispatch*>(&app);
        return 0;
    };
    connector.create = [](CaxCommand*&) { return 9; };
    CaxCommand* command = kUntouched;
    EXPECT_EQ(9, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);

    connector.create = [](CaxCommand*&) -> int { throw std::runtime_error("unguarded"); };
    EXPECT_THROW(connector.NewCommand(nullptr, command), std::runtime_error);
    EXPECT_EQ(1u, app.references) << "no reference leaks when CreateCommand throws";
    EXPECT_EQ(0, connector.errorCode) << "CreateCommand runs outside the guard";
}

// A step after the application was reached fails: its reference must not leak.
TEST(NewCommand, ApplicationReferenceIsGivenBackWhenALaterStepFails) {
    ScriptedConnector connector;
    CountedDispatch app;
    connector.load = [&](std::wstring&, void*& out) {
        app.AddRef();
        out = static_cast<IDispatch*>(&app);
        return -255;
    };
    CaxCommand* command = nullptr;
    EXPECT_EQ(-255, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);

    connector.load = [&](std::wstring&, void*& out) -> int {
        app.AddRef();
        out = static_cast<IDispatch*>(&app);
        throw std::runtime_error("late");
    };
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);
}
