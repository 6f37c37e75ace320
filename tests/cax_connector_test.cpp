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

    std::function<int(void*& app)> load = [](void*&) { return 0; };
    std::function<int(const ConnectionRecord& record, CaxCommand*& command)> create;
    int createCalls = 0;

private:
    int CreateCommand(const void* info, CaxCommand*& command) override {
        ++createCalls;
        return create(*static_cast<const ConnectionRecord*>(info), command);
    }
    int LoadApplication(const std::wstring&, const std::wstring&, IDispatch*, std::wstring& handleText,
                        void*& app) override {
        handleText = L"-1";
        return load(app);
    }
};

CaxCommand* const kUntouched = reinterpret_cast<CaxCommand*>(0x1234);

}  // namespace

// An inner failure passes through unchanged: the inner operation writes the record, not Connect.
// Every exception inside the sequence ends as -1 with code 18000; only the library's own and standard
// exceptions carry Connect's prefix (Connect has no clause of its own for COM errors). A machine
// fault arrives as the library's own exception. what() is ANSI text in the system code page: the
// record holds it converted, not byte by byte.
TEST(NewCommand, FailuresInTheSequenceBeforeTheCommandIsMade) {
    const std::tuple<UINT, const char*, const wchar_t*> samples[] = {{1252, "caf\xE9", L"caf\u00E9"},
                                                                     {936, "\xC4\xE3\xBA\xC3", L"\u4F60\u597D"},
                                                                     {950, "\xA7\x41\xA6\x6E", L"\u4F60\u597D"},
                                                                     {65001, "caf\xC3\xA9", L"caf\u00E9"}};
    const char* ansi = "x";
    std::wstring wide = L"x";
    for (const auto& [codePage, bytes, text] : samples) {
        if (codePage == GetACP()) ansi = bytes, wide = text;
    }
    const struct {
        std::function<int()> load;
        int result, code;
        std::wstring expectedStart;
    } cases[] = {
        {[] { return 5; }, 5, 0, L""},
        {[&]() -> int { throw std::runtime_error(ansi); }, -1, 18000, kConnectPrefix + wide + L"\n"},
        {[]() -> int { throw _com_error(E_FAIL); }, -1, 18000, L"Unexpected error.\n"},
        {[] {
             volatile uintptr_t address = 0x10;  // unmapped (a constant would be flagged at compile time)
             return *reinterpret_cast<volatile int*>(address);
         },
         -1, 18000, kConnectPrefix + L"EXCEPTION_ACCESS_VIOLATION\n address:\t0x"},
    };
    for (const auto& c : cases) {
        ScriptedConnector connector;
        connector.load = [&](void*&) { return c.load(); };
        CaxCommand* command = kUntouched;
        EXPECT_EQ(c.result, connector.NewCommand(nullptr, command));
        EXPECT_EQ(kUntouched, command);
        EXPECT_EQ(c.code, connector.errorCode);
        EXPECT_EQ(c.expectedStart, connector.errorMessage.substr(0, c.expectedStart.size()));
        EXPECT_EQ(c.expectedStart.empty(), connector.errorMessage.empty());
        EXPECT_EQ(0, connector.createCalls);
    }
}

// A success keeps an earlier failure in the record and hands the application on in the record, whose
// reference is held while CreateCommand runs. That reference is given back however CreateCommand ends
// (its exception reaches the caller unguarded) and when a step after the application was reached fails
// or throws.
TEST(NewCommand, SuccessHandsTheRecordOnAndEveryPathGivesTheApplicationBack) {
    ScriptedConnector connector;
    CountedDispatch app;
    connector.errorCode = 7;
    connector.errorMessage = L"earlier";
    int loadResult = 0;
    connector.load = [&](void*& out) -> int {
        app.AddRef();  // the reference that the record carries
        out = static_cast<IDispatch*>(&app);
        if (loadResult == -1) throw std::runtime_error("late");
        return loadResult;
    };
    connector.create = [&](const ConnectionRecord& record, CaxCommand*& made) {
        EXPECT_EQ(2u, app.references) << "the record's reference is still held during CreateCommand";
        EXPECT_EQ(static_cast<IDispatch*>(&app), record.appObject);
        EXPECT_EQ(L"3 SolidWorks 2018 -1", std::to_wstring(record.cadType) + L" " + record.cadVersion + L" " +
                                               record.appHandleText);
        made = kUntouched;
        return 0;
    };
    CaxCommand* command = nullptr;
    EXPECT_EQ(0, connector.NewCommand(nullptr, command));
    EXPECT_EQ(kUntouched, command);
    EXPECT_EQ(7, connector.errorCode);
    EXPECT_EQ(L"earlier", connector.errorMessage);
    EXPECT_EQ(1u, app.references);

    connector.errorCode = 0;
    connector.create = [](const ConnectionRecord&, CaxCommand*&) { return 9; };
    EXPECT_EQ(9, connector.NewCommand(nullptr, command));
    EXPECT_EQ(1u, app.references);
    connector.create = [](const ConnectionRecord&, CaxCommand*&) -> int { throw std::runtime_error("unguarded"); };
    EXPECT_THROW(connector.NewCommand(nullptr, command), std::runtime_error);
    EXPECT_EQ(1u, app.references);
    EXPECT_EQ(0, connector.errorCode) << "CreateCommand runs outside the guard";
    for (int result : {-255, -1}) {
        loadResult = result;
        EXPECT_EQ(result, connector.NewCommand(nullptr, command));
        EXPECT_EQ(1u, app.references) << result;
    }
}
