// The connector and its command against the simulated CAD application across the process boundary,
// with things going wrong on the far side: every entry the connect sequence and the command
// operations call fails in turn, answers null or answers a bad out-value; calls are slow; a machine
// fault hits the connect sequence; the outside world hands in bad input. Each time
// the operation reports what it documents (messages as the English table has them), the process
// goes on, and the simulator's objects are given back.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "Public/busy_policy.h"
#include "Public/dispatch_invoke.h"
#include "sim_test_support.h"
#include "sldw/sldw_command.h"
#include "sldw/sldw_connector.h"

using qar::ComErrorMessage;

using qar::ComPtr;
using qar::UniqueVariant;

namespace QARCAX {
// The connector's application reference, for the machine-fault test only.
struct SldwConnectorInternals {
    static ComPtr<ISldWorks>& App(SldwConnector& c) { return c.appObject; }
};
}  // namespace QARCAX

using QARCAX::CaxCommand;
using QARCAX::SldwConnector;

namespace {

const std::wstring kVersion = L"SolidWorks 2016";
constexpr HRESULT kFault = E_ACCESSDENIED;  // has a system text under Wine and Windows alike

struct Outcome {
    int result = 0;
    int code = 0;
    std::wstring message;
};
using Inject = std::function<HRESULT(ISimControl*)>;
using Op = std::function<int(CaxCommand&)>;  // null: the connect sequence itself

// Connects to the registered simulator, opens `document` and runs `op` with `inject` in force; for
// the connect sequence `inject` comes first. The command is deleted (saying "Disconnect") at the end.
Outcome Session(ISimControl* control, const std::wstring& document, const Op& op, const Inject& inject) {
    SldwConnector connector(3, kVersion, L"", L"");
    CaxCommand* made = nullptr;
    if (!op) {
        EXPECT_EQ(S_OK, inject(control));
    }
    const int connected = connector.NewCommand(nullptr, made);
    const std::unique_ptr<CaxCommand> command(made);
    if (!op) return {connected, connector.errorCode, connector.errorMessage};
    EXPECT_TRUE(command && command->OpenFile(document) == 0)
        << "no session: " << connector.errorMessage.c_str();
    if (!command) return {};
    EXPECT_EQ(S_OK, inject(control));
    const int result = op(*command);
    return {result, command->errorCode, command->errorMessage};
}

Inject Fail(const wchar_t* entry) {
    return [entry](ISimControl* c) { return c->FailEntry(Bstr(entry).Get(), kFault, SimAlways); };
}
Inject Null(const wchar_t* entry) {
    return [entry](ISimControl* c) { return c->NullResult(Bstr(entry).Get(), SimAlways); };
}
Inject AddInFails(const wchar_t* method, long number, const wchar_t* text) {
    return [=](ISimControl* c) {
        return c->FailAddInMethod(Bstr(method).Get(), kFault, number, Bstr(text).Get(), SimAlways);
    };
}
Inject LoadStatus(long status) {
    return [status](ISimControl* c) { return c->SetLoadAddInStatus(status, SimAlways); };
}
// Dependencies answers an array of numbers.
HRESULT NumbersAsDependencies(ISimControl* control) {
    UniqueVariant value;
    V_VT(value.Ptr()) = VT_ARRAY | VT_I4;
    V_ARRAY(value.Ptr()) = SafeArrayCreateVector(VT_I4, 0, 4);
    return control->SetDependencies(value.Get(), SimAlways);
}

// A session's setting: COM joined, the registered simulator reached through its control, the
// references clients hold on it noted as the baseline, a scratch copy of the sample documents.
class Reliability : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        CLSID id;
        ASSERT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &id));
        ASSERT_EQ(S_OK, CoCreateInstance(id, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                         reinterpret_cast<void**>(control.Put())));
        // Across processes COM's stub for the application keeps one reference per interface it has
        // handed out while this test's control keeps it alive: the baseline is taken after one
        // plain connect, when every interface the library asks for has been handed out once.
        ASSERT_EQ(0, Session(control.Get(), L"", nullptr, [](ISimControl*) { return S_OK; }).result);
        ASSERT_EQ(S_OK, control->Reset());
        baseline = ClientReferences(control.Get());
    }
    void TearDown() override {
        if (control) control->Reset();
        control.Reset();
        CoUninitialize();
    }
    // Everything the library took is back: the references clients hold are the baseline's.
    void ExpectNothingHeld(const std::string& what) {
        ASSERT_EQ(S_OK, control->Reset());
        EXPECT_EQ(baseline, ClientReferences(control.Get())) << what;
    }

    // One row of an entry table: the operation that reaches the entry, what is injected there, and
    // what the operation reports (IsConnected: result 1 true, 0 false).
    struct Row {
        const char* what;
        Op op;
        Inject inject;
        int result;
        int code;
        std::wstring message;
    };
    void RunTable(std::initializer_list<Row> rows) {
        for (const Row& row : rows) {
            ASSERT_EQ(S_OK, control->Reset());
            const Outcome outcome = Session(control.Get(), assembly, row.op, row.inject);
            EXPECT_EQ(row.result, outcome.result) << row.what;
            EXPECT_EQ(row.code, outcome.code) << row.what;
            EXPECT_EQ(row.message, outcome.message) << row.what;
            ExpectNothingHeld(row.what);
        }
    }

    ComPtr<ISimControl> control;
    std::wstring baseline;
    SampleFolder folder;
    const std::wstring assembly = folder.File(L"clamp.sldasm");
    std::wstring text;  // the text an operation hands back
    const Op connect = nullptr, none = [](CaxCommand&) { return 0; };
    const Op probe = [](CaxCommand& c) { return c.IsConnected() ? 1 : 0; };
    const Op open = [this](CaxCommand& c) { return c.OpenFile(assembly); };
    const Op closeFile = [](CaxCommand& c) { return c.CloseFile(); };
    const Op saveFile = [this](CaxCommand& c) { return c.SaveFile(text); };
    const Op dependencies = [this](CaxCommand& c) { return c.GetDependencies(text); };
};

// Tables of every entry the connect sequence and the command operations call on the far side, each
// failing, answering null, or answering a bad out-value, with the operation that reaches it and what
// that operation reports. A new call on the far side needs a row in one of them.

// The connect sequence. Showing the window is a request whose answer the sequence ignores; the
// user-control answer is the step's result, reported by value alone.
TEST_F(Reliability, ConnectSequenceEntriesFailingOrAnsweringNull) {
    const std::wstring loadFailed = L"LoadAddin " + TestProgramDirectory() + L"BrivexSw18_x64.dll failed.";
    const std::wstring noAddIn = L"QARCAX::SldwConnector::GetAddInObj():Get BrivexSw18.BrivexSw18 failed";
    // Windows carries the add-in's error information back with a failed early-bound call; Wine 8 does
    // not (GetErrorInfo gives S_FALSE), so there the message holds only the guard's separator.
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    const std::wstring configure =
        L"[QARCAX::SldwConnector::GetAddInObj()]: " + std::wstring(wine ? L", \n" : L"");
    RunTable({
        {"Visible.put fails", connect, Fail(L"ISldWorks.Visible.put"), 0, 0, L""},
        {"UserControl.put fails", connect, Fail(L"ISldWorks.UserControl.put"), kFault, 0, L""},
        // A failed load without a status is reported by its code only; a bad status by its message;
        // 2 (already loaded) goes on.
        {"LoadAddIn fails", connect, Fail(L"ISldWorks.LoadAddIn"), kFault, 0, L""},
        {"LoadAddIn status 1", connect, LoadStatus(1), -1, 1, loadFailed},
        {"LoadAddIn status 2", connect, LoadStatus(2), 0, 0, L""},
        // Without the window handle the add-in is told "0" and the sequence goes on.
        {"Frame fails", connect, Fail(L"ISldWorks.Frame"), 0, 0, L""},
        {"Frame null", connect, Null(L"ISldWorks.Frame"), 0, 0, L""},
        {"GetHWnd fails", connect, Fail(L"IFrame.GetHWnd"), 0, 0, L""},
        {"AddInObject fails", connect, Fail(L"ISldWorks.AddInObject"), -1, -255, noAddIn},
        {"AddInObject null", connect, Null(L"ISldWorks.AddInObject"), -1, -255, noAddIn},
        {"SetLanguageXml fails", connect, Fail(L"ISwAddIn.SetLanguageXml"), -1, -1, configure},
        {"SetHostObject fails", connect, Fail(L"ISwAddIn.SetHostObject"), -1, -1, configure},
        {"SetAppHandle fails", connect, Fail(L"ISwAddIn.SetAppHandle"), -1, -1, configure},
        {"SetAddInArgument fails", connect, Fail(L"ISwAddIn.SetAddInArgument"), -1, -1, configure},
    });
}

// The probe: an application that does not answer is not connected; one that answers without an
// add-in object is. Opening: only the open itself decides; closing same-named documents first is best
// effort.
TEST_F(Reliability, ProbeAndOpenEntriesFailingOrAnsweringNull) {
    const std::wstring openFailed = L"open file failed,maybe this document is created by later version.";
    RunTable({
        {"Visible.get fails", probe, Fail(L"ISldWorks.Visible.get"), 0, 0, L""},
        {"AddInObject fails (probe)", probe, Fail(L"ISldWorks.AddInObject"), 0, 0, L""},
        {"AddInObject null (probe)", probe, Null(L"ISldWorks.AddInObject"), 1, 0, L""},
        {"OpenDocument fails", open, Fail(L"ISldWorks.OpenDocument"), -1, -1, openFailed},
        {"OpenDocument null", open, Null(L"ISldWorks.OpenDocument"), -1, -1, openFailed},
        {"ActivateDocument null", open, Null(L"ISldWorks.ActivateDocument"), 0, 0, L""},
        {"ActiveDocument fails (open)", open, Fail(L"ISldWorks.ActiveDocument"), 0, 0, L""},
        {"EnumDocuments null", open, Null(L"ISldWorks.EnumDocuments"), 0, 0, L""},
        {"Next null", open, Null(L"IEnumCaxDocuments.Next"), 0, 0, L""},
        {"FullPath null (open)", open, Null(L"ICaxDocument.FullPath"), 0, 0, L""},
        {"PrepareClose fails", open, Fail(L"ICaxDocument.PrepareClose"), 0, 0, L""},
        {"CloseDocument fails (open)", open, Fail(L"ISldWorks.CloseDocument"), 0, 0, L""},
    });
}

// Closing, saving and the dependency list report the failing call's code in their message; with no
// active document the code is one that says so.
TEST_F(Reliability, CloseSaveAndDependencyEntriesReportTheFailingCallsCode) {
    const auto close = [](HRESULT hr) {
        return L"QARCAX::SldwCommand::CloseFile():close file failed, " + ComErrorMessage(hr) + L". ";
    };
    const auto save = [](HRESULT hr) {
        return L"QARCAX::SldwCommand::SaveFile():Save file failed, " + ComErrorMessage(hr) + L". ";
    };
    const auto deps = [](HRESULT hr) {
        return L"QARCAX::SldwCommand::GetDependencies():Get Dependencies file failed, " +
               ComErrorMessage(hr) + L",";
    };
    RunTable({
        {"ActiveDocument fails (close)", closeFile, Fail(L"ISldWorks.ActiveDocument"), -1, -1, close(kFault)},
        {"ActiveDocument null (close)", closeFile, Null(L"ISldWorks.ActiveDocument"), -1, -1,
         close(E_POINTER)},
        {"NameText fails", closeFile, Fail(L"ICaxDocument.NameText"), -1, -1, close(kFault)},
        {"NameText null", closeFile, Null(L"ICaxDocument.NameText"), -1, -1, close(E_INVALIDARG)},
        {"CloseDocument fails", closeFile, Fail(L"ISldWorks.CloseDocument"), -1, -1, close(kFault)},
        {"ActiveDocument fails (save)", saveFile, Fail(L"ISldWorks.ActiveDocument"), -1, -1, save(kFault)},
        {"ActiveDocument null (save)", saveFile, Null(L"ISldWorks.ActiveDocument"), -1, -1, save(E_POINTER)},
        {"Save fails", saveFile, Fail(L"ICaxDocument.Save"), -1, -1, save(kFault)},
        {"FullPath fails (save)", saveFile, Fail(L"ICaxDocument.FullPath"), 0, 0, L""},
        {"ActiveDocument fails (deps)", dependencies, Fail(L"ISldWorks.ActiveDocument"), -1, -1,
         deps(kFault)},
        {"ActiveDocument null (deps)", dependencies, Null(L"ISldWorks.ActiveDocument"), -1, -1,
         deps(E_POINTER)},
        {"Dependencies fails", dependencies, Fail(L"ICaxDocument.Dependencies"), -1, -1, deps(kFault)},
        {"Dependencies of numbers", dependencies, NumbersAsDependencies, -1, -1, deps(DISP_E_TYPEMISMATCH)},
    });
}

// The add-in's methods by name: its own number and text when it gives a text, else the code's. A
// late-bound failure arrives as DISP_E_EXCEPTION (an injected entry failure sets number and text too).
// Deleting the command says "Disconnect"; its failure is nobody's to report.
TEST_F(Reliability, AddInMethodsReportTheAddInsNumberAndTextAndDisconnectFailsQuietly) {
    const Op menu = [](CaxCommand& c) { return c.CreateMenu(L"PLM"); };
    const Op refresh = [](CaxCommand& c) { return c.RefreshTable(L"parts", L"1"); };
    const Op update = [](CaxCommand& c) { return c.UpdateTable(L"parts", L"2"); };
    RunTable({
        {"CreateMenu fails with its text", menu, AddInFails(L"CreateMenu", 42, L"no menu"), DISP_E_EXCEPTION,
         42, L"no menu"},
        {"RefreshTable fails", refresh, Fail(L"ISwAddIn.RefreshTable"), DISP_E_EXCEPTION, kFault,
         L"ISwAddIn.RefreshTable failed with 0x80070005 (injected)"},
        {"UpdateTable fails with its text", update, AddInFails(L"UpdateTable", 9, L"stale"), DISP_E_EXCEPTION,
         9, L"stale"},
        {"Disconnect fails", none, Fail(L"ISwAddIn.Disconnect"), 0, 0, L""},
    });
}

// Bad window handles: the add-in is told each as signed decimal text, whatever its value.
TEST_F(Reliability, BadWindowHandlesAreToldAsSignedDecimalText) {
    for (const LONG handle : {0L, -1L, static_cast<LONG>(0x80000000UL), 0x7FFFFFFFL}) {
        ASSERT_EQ(S_OK, control->Reset());
        const std::wstring expected = L"ISwAddIn.SetAppHandle('" + std::to_wstring(handle) + L"')";
        const Inject setHandle = [&](ISimControl* c) { return c->SetWindowHandle(handle, SimAlways); };
        EXPECT_EQ(0, Session(control.Get(), L"", nullptr, setHandle).result);
        EXPECT_NE(std::wstring::npos, CallLog(control.Get()).find(expected)) << handle;
        ExpectNothingHeld("window handle " + std::to_string(handle));
    }
}

// A slow application: the library waits for every answer however long it takes (here a call to the
// application and one to the add-in, both in the connect sequence).
TEST_F(Reliability, SlowCallsAreAwaitedAndSucceed) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = Session(control.Get(), L"", nullptr, [](ISimControl* c) {
        const HRESULT hr = c->DelayEntry(Bstr(L"ISldWorks.LoadAddIn").Get(), 1500, SimOnce);
        return FAILED(hr) ? hr : c->DelayEntry(Bstr(L"ISwAddIn.SetAppHandle").Get(), 1500, SimOnce);
    });
    EXPECT_EQ(0, outcome.result) << outcome.message.c_str();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000)) << "really delayed";
    ExpectNothingHeld("after the slow calls");
}

// A busy application across processes: its message filter refuses every call for about a second.
// With a timeout a whole session waits it out; without one the first call, the activation, fails at
// once with RPC_E_CALL_REJECTED and its text.
TEST_F(Reliability, ABusyApplicationIsWaitedForOnlyWithATimeout) {
    for (const unsigned long timeout : {5000ul, 0ul}) {
        ASSERT_EQ(S_OK, control->SetBusy(1000, -1, SimBusyRejected));
        QARCAX::SetBusyTimeout(timeout);
        const auto start = std::chrono::steady_clock::now();
        {
            SldwConnector connector(3, kVersion, L"", L"");
            CaxCommand* made = nullptr;
            const int result = connector.NewCommand(nullptr, made);
            const std::unique_ptr<CaxCommand> command(made);
            std::wstring dependencies;
            if (timeout != 0) {
                ASSERT_EQ(0, result) << connector.errorMessage.c_str();
                EXPECT_EQ(0, command->OpenFile(assembly));
                EXPECT_EQ(0, command->GetDependencies(dependencies));
                EXPECT_EQ(folder.File(L"plate.sldprt") + L"|" + folder.File(L"bolt.sldprt"), dependencies);
                EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
            } else {
                EXPECT_EQ(RPC_E_CALL_REJECTED, result);
                EXPECT_EQ(-1, connector.errorCode);
                EXPECT_EQ(L"Start SldWorks.Application.24 failed," + ComErrorMessage(RPC_E_CALL_REJECTED),
                          connector.errorMessage);
                EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
            }
        }
        QARCAX::SetBusyTimeout(0);
        ASSERT_EQ(S_OK, control->SetBusy(0, 0, SimBusyRejected));
        ExpectNothingHeld(timeout != 0 ? "waited for" : "given up at once");
    }
}

// A machine fault inside the connect sequence is reported by the step it hit, the host goes on, and a
// plain connect works afterwards. (Many faults in a row leaking nothing is the guard's own test.)
TEST_F(Reliability, MachineFaultInsideGetAppObjectIsReportedThere) {
    SldwConnector connector(3, kVersion, L"", L"");
    CaxCommand* made = nullptr;
    ASSERT_EQ(0, connector.NewCommand(nullptr, made));
    delete made;
    // GetAppObject first gives back the application it holds: a broken object faults in its Release.
    // The step clears the pointer before it releases, so the broken one is never released twice.
    static void* const brokenTable[3] = {nullptr, nullptr, reinterpret_cast<void*>(0x10)};
    static void* const broken = const_cast<void**>(brokenTable);
    ComPtr<ISldWorks>& app = QARCAX::SldwConnectorInternals::App(connector);
    app = ComPtr<ISldWorks>::Adopt(reinterpret_cast<ISldWorks*>(const_cast<void**>(&broken)));
    made = nullptr;
    EXPECT_EQ(-1, connector.NewCommand(nullptr, made));
    EXPECT_EQ(nullptr, made);
    EXPECT_EQ(-1, connector.errorCode);
    const std::wstring expected = L"[QARCAX::SldwConnector::GetAppObject()]: EXCEPTION_ACCESS_VIOLATION";
    EXPECT_EQ(expected, connector.errorMessage.substr(0, expected.size()));
    if (app.Get() == reinterpret_cast<ISldWorks*>(const_cast<void**>(&broken))) app.Detach();
    ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
    delete made;
}

// Bad paths from the host: each fails clearly (or, where the rule accepts it, works), and nothing is
// written past a buffer (the long texts would overrun any fixed one). Version texts of any shape are
// the version registry's and the guard's tests.
TEST_F(Reliability, BadInputFromTheHost) {
    const std::wstring percent = folder.File(L"100%s%n%d.sldprt");
    ASSERT_TRUE(CopyFileW(folder.File(L"plate.sldprt").c_str(), percent.c_str(), FALSE));
    const std::pair<std::wstring, int> paths[] = {
        {std::wstring(10000, L'a') + L".sldprt", -1},
        {L"C:\\" + std::wstring(9990, L'b') + L".sldasm", -1},
        {folder.File(L"missing%s%n.sldprt"), -1},
        {percent, 0},
    };
    for (const auto& [path, result] : paths) {
        const Outcome outcome = Session(
            control.Get(), assembly, [&](CaxCommand& c) { return c.OpenFile(path); },
            [](ISimControl*) { return S_OK; });
        EXPECT_EQ(result, outcome.result) << path.size();
        EXPECT_EQ(result == 0, outcome.message.empty()) << "a failure says why";
    }
    DeleteFileW(percent.c_str());

    ExpectNothingHeld("after the bad input");
}

}  // namespace
