// The connector and its command against the simulated CAD application across the process boundary,
// with things going wrong on the far side: every entry the connect sequence and the command
// operations call fails in turn, answers null or answers a bad out-value; calls are slow; a machine
// fault hits the connect sequence again and again; the outside world hands in bad input. Each time
// the operation reports what it documents, the process goes on, and the simulator's objects are
// given back.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "sim_test_support.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"
#include "sldw/sldw_command.h"
#include "sldw/sldw_connector.h"

namespace QARCAX {
// The connector's application reference, for the machine-fault test only.
struct SldwConnectorInternals {
    static ComPtr<ISldWorks>& App(SldwConnector& c) { return c.appObject; }
};
}  // namespace QARCAX

using QARCAX::CaxCommand;
using QARCAX::SldwConnector;

namespace {

// Handles this process holds. Measured: Wine 8's GetProcessHandleCount succeeds with a count of 0;
// there the value of a fresh handle stands in, which climbs when handles leak because both systems
// hand out the lowest free slot first.
DWORD HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
    const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const DWORD value = static_cast<DWORD>(reinterpret_cast<uintptr_t>(probe) / 4);
    CloseHandle(probe);
    return value;
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

const std::wstring kVersion = L"SolidWorks 2016";
const std::wstring kModule = TestProgramDirectory() + L"BrivexSw18_x64.dll";
const std::wstring kAddInPrefix = L"[QARCAX::SldwConnector::GetAddInObj()]: ";

// Injected failures use a code with a system text under Wine and Windows alike.
constexpr HRESULT kFault = E_ACCESSDENIED;

std::wstring CommandMessage(const wchar_t* operation, unsigned id, HRESULT hr) {
    return std::wstring(L"QARCAX::SldwCommand::") + operation + L"():" +
           FormatString(LoadLocalizedString(id).c_str(), ComErrorMessage(hr).c_str());
}

// Windows carries the add-in's error information back with a failed early-bound call; Wine 8 does
// not (GetErrorInfo gives S_FALSE), so there the message holds only the guard's separator.
std::wstring ConfigurationFailure() { return UnderWine() ? kAddInPrefix + L", \n" : kAddInPrefix; }

// What an operation hands back: its result and the status record's code and message.
struct Outcome {
    int result = 0;
    int code = 0;
    std::wstring message;
};

enum class Op { Connect, IsConnected, OpenFile, SaveFile, CloseFile, GetDependencies, CreateMenu, RefreshTable,
                UpdateTable, Delete };

// Runs `op` in a fresh session against the registered simulator; `inject` runs once the session is
// ready for the operation (for the connect sequence: before it). IsConnected reports its answer as
// the result (1 true, 0 false).
Outcome RunOperation(ISimControl* control, const std::wstring& samples, Op op,
                     const std::function<HRESULT(ISimControl*)>& inject) {
    Outcome outcome;
    SldwConnector connector(3, kVersion, L"", L"");
    CaxCommand* made = nullptr;
    if (op == Op::Connect) {
        EXPECT_EQ(S_OK, inject(control));
        outcome.result = connector.NewCommand(nullptr, made);
        delete made;
        outcome.code = connector.errorCode;
        outcome.message = connector.errorMessage;
        return outcome;
    }
    EXPECT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
    std::unique_ptr<CaxCommand> command(made);
    if (!command) return outcome;
    EXPECT_EQ(0, command->OpenFile(samples + L"clamp.sldasm")) << command->errorMessage.c_str();
    EXPECT_EQ(S_OK, inject(control));
    std::wstring text;
    switch (op) {
        case Op::IsConnected: outcome.result = command->IsConnected() ? 1 : 0; break;
        case Op::OpenFile: outcome.result = command->OpenFile(samples + L"clamp.sldasm"); break;
        case Op::SaveFile: outcome.result = command->SaveFile(text); break;
        case Op::CloseFile: outcome.result = command->CloseFile(); break;
        case Op::GetDependencies: outcome.result = command->GetDependencies(text); break;
        case Op::CreateMenu: outcome.result = command->CreateMenu(L"PLM"); break;
        case Op::RefreshTable: outcome.result = command->RefreshTable(L"parts", L"1"); break;
        case Op::UpdateTable: outcome.result = command->UpdateTable(L"parts", L"2"); break;
        case Op::Delete: command.reset(); return outcome;  // Disconnect inside; nothing to record
        case Op::Connect: break;
    }
    outcome.code = command->errorCode;
    outcome.message = command->errorMessage;
    return outcome;
}

std::function<HRESULT(ISimControl*)> Fail(const wchar_t* entry) {
    return [entry](ISimControl* c) { return c->FailEntry(Bstr(entry).Get(), kFault, SimAlways); };
}
std::function<HRESULT(ISimControl*)> Null(const wchar_t* entry) {
    return [entry](ISimControl* c) { return c->NullResult(Bstr(entry).Get(), SimAlways); };
}
std::function<HRESULT(ISimControl*)> AddInFails(const wchar_t* method, HRESULT hr, long number,
                                                const wchar_t* description) {
    return [=](ISimControl* c) {
        return c->FailAddInMethod(Bstr(method).Get(), hr, number, Bstr(description).Get(), SimAlways);
    };
}
std::function<HRESULT(ISimControl*)> LoadStatus(long status) {
    return [status](ISimControl* c) { return c->SetLoadAddInStatus(status, SimAlways); };
}
// Dependencies answers `value` (the simulator copies it).
std::function<HRESULT(ISimControl*)> DependenciesAre(std::function<void(VARIANT&)> make) {
    return [make](ISimControl* c) {
        UniqueVariant value;
        make(*value.Ptr());
        return c->SetDependencies(value.Get(), SimAlways);
    };
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
        {
            SldwConnector connector(3, kVersion, L"", L"");
            CaxCommand* made = nullptr;
            ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
            delete made;
        }
        ASSERT_EQ(S_OK, control->Reset());
        baseline = ClientReferences(control.Get());
        samples = folder.File(L"");
    }
    void TearDown() override {
        if (control) control->Reset();
        control.Reset();
        CoUninitialize();
    }
    // The references clients hold, after this test's own: everything the library took is back.
    void ExpectNothingHeld(const std::string& what) {
        EXPECT_EQ(baseline, ClientReferences(control.Get())) << what;
    }

    ComPtr<ISimControl> control;
    std::wstring baseline;
    SampleFolder folder;
    std::wstring samples;
};

// One table of every entry the connect sequence and the command operations call on the far side,
// each failing, answering null, or answering a bad out-value, with the operation that reaches it and
// what that operation reports. A new call on the far side needs a row here.
TEST_F(Reliability, EveryEntryFailingAnsweringNullOrABadValue) {
    const std::wstring getAddInFailed =
        L"QARCAX::SldwConnector::GetAddInObj():Get BrivexSw18.BrivexSw18 failed";
    const std::wstring openFailed = LoadLocalizedString(IDS_OPEN_FAILED);
    const auto close = [](HRESULT hr) { return CommandMessage(L"CloseFile", IDS_CLOSE_FAILED, hr); };
    const auto save = [](HRESULT hr) { return CommandMessage(L"SaveFile", IDS_SAVE_FAILED, hr); };
    const auto deps = [](HRESULT hr) { return CommandMessage(L"GetDependencies", IDS_DEPENDENCIES_FAILED, hr); };
    // A late-bound failure arrives as DISP_E_EXCEPTION; the add-in's own number and text say what
    // went wrong (an injected entry failure sets them too).
    const auto injectedText = [](const wchar_t* method) {
        return std::wstring(L"ISwAddIn.") + method + L" failed with 0x80070005 (injected)";
    };
    const auto strings = [](std::vector<const wchar_t*> texts, LONG lower, UINT dims) {
        return [=](VARIANT& v) {
            SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(texts.size()), lower}, {1, 0}};
            V_VT(&v) = VT_ARRAY | VT_BSTR;
            V_ARRAY(&v) = SafeArrayCreate(VT_BSTR, dims, bounds);
            for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
                LONG index[2] = {lower + i, 0};
                if (texts[i] != nullptr) SafeArrayPutElement(V_ARRAY(&v), index, Bstr(texts[i]).Get());
            }
        };
    };
    const struct {
        const char* what;
        Op op;
        std::function<HRESULT(ISimControl*)> inject;
        int result;  // IsConnected: 1 true, 0 false
        int code;
        std::wstring message;
    } points[] = {
        // The connect sequence. Showing the window is a request whose answer the sequence ignores;
        // the user-control answer is the step's result, reported by value alone.
        {"Visible.put fails", Op::Connect, Fail(L"ISldWorks.Visible.put"), 0, 0, L""},
        {"UserControl.put fails", Op::Connect, Fail(L"ISldWorks.UserControl.put"), kFault, 0, L""},
        // A failed load without a status is reported by its code only; a bad status by its message.
        {"LoadAddIn fails", Op::Connect, Fail(L"ISldWorks.LoadAddIn"), kFault, 0, L""},
        {"LoadAddIn status 1", Op::Connect, LoadStatus(1), -1, 1, L"LoadAddin " + kModule + L" failed."},
        {"LoadAddIn status 7", Op::Connect, LoadStatus(7), -1, 7, L"LoadAddin " + kModule + L" failed."},
        {"LoadAddIn status -5", Op::Connect, LoadStatus(-5), -1, -5, L"LoadAddin " + kModule + L" failed."},
        // Without the window handle the add-in is told "0" and the sequence goes on.
        {"Frame fails", Op::Connect, Fail(L"ISldWorks.Frame"), 0, 0, L""},
        {"Frame null", Op::Connect, Null(L"ISldWorks.Frame"), 0, 0, L""},
        {"GetHWnd fails", Op::Connect, Fail(L"IFrame.GetHWnd"), 0, 0, L""},
        {"AddInObject fails", Op::Connect, Fail(L"ISldWorks.AddInObject"), -1, -255, getAddInFailed},
        {"AddInObject null", Op::Connect, Null(L"ISldWorks.AddInObject"), -1, -255, getAddInFailed},
        {"SetLanguageXml fails", Op::Connect, Fail(L"ISwAddIn.SetLanguageXml"), -1, -1, ConfigurationFailure()},
        {"SetHostObject fails", Op::Connect, Fail(L"ISwAddIn.SetHostObject"), -1, -1, ConfigurationFailure()},
        {"SetAppHandle fails", Op::Connect, Fail(L"ISwAddIn.SetAppHandle"), -1, -1, ConfigurationFailure()},
        {"SetAddInArgument fails", Op::Connect, Fail(L"ISwAddIn.SetAddInArgument"), -1, -1,
         ConfigurationFailure()},
        // The probe: an application that does not answer is not connected.
        {"Visible.get fails", Op::IsConnected, Fail(L"ISldWorks.Visible.get"), 0, 0, L""},
        {"AddInObject fails (probe)", Op::IsConnected, Fail(L"ISldWorks.AddInObject"), 0, 0, L""},
        {"AddInObject null (probe)", Op::IsConnected, Null(L"ISldWorks.AddInObject"), 1, 0, L""},
        // Opening: only the open itself decides; closing same-named documents first is best effort.
        {"OpenDocument fails", Op::OpenFile, Fail(L"ISldWorks.OpenDocument"), -1, -1, openFailed},
        {"OpenDocument null", Op::OpenFile, Null(L"ISldWorks.OpenDocument"), -1, -1, openFailed},
        {"ActivateDocument fails", Op::OpenFile, Fail(L"ISldWorks.ActivateDocument"), 0, 0, L""},
        {"ActivateDocument null", Op::OpenFile, Null(L"ISldWorks.ActivateDocument"), 0, 0, L""},
        {"ActiveDocument fails (open)", Op::OpenFile, Fail(L"ISldWorks.ActiveDocument"), 0, 0, L""},
        {"EnumDocuments fails", Op::OpenFile, Fail(L"ISldWorks.EnumDocuments"), 0, 0, L""},
        {"EnumDocuments null", Op::OpenFile, Null(L"ISldWorks.EnumDocuments"), 0, 0, L""},
        {"Next fails", Op::OpenFile, Fail(L"IEnumCaxDocuments.Next"), 0, 0, L""},
        {"Next null", Op::OpenFile, Null(L"IEnumCaxDocuments.Next"), 0, 0, L""},
        {"FullPath fails (open)", Op::OpenFile, Fail(L"ICaxDocument.FullPath"), 0, 0, L""},
        {"FullPath null (open)", Op::OpenFile, Null(L"ICaxDocument.FullPath"), 0, 0, L""},
        {"PrepareClose fails", Op::OpenFile, Fail(L"ICaxDocument.PrepareClose"), 0, 0, L""},
        {"CloseDocument fails (open)", Op::OpenFile, Fail(L"ISldWorks.CloseDocument"), 0, 0, L""},
        // Closing, saving and the dependency list report the failing call's code in their message.
        {"ActiveDocument fails (close)", Op::CloseFile, Fail(L"ISldWorks.ActiveDocument"), -1, -1, close(kFault)},
        {"ActiveDocument null (close)", Op::CloseFile, Null(L"ISldWorks.ActiveDocument"), -1, -1, close(E_POINTER)},
        {"NameText fails", Op::CloseFile, Fail(L"ICaxDocument.NameText"), -1, -1, close(kFault)},
        {"NameText null", Op::CloseFile, Null(L"ICaxDocument.NameText"), -1, -1, close(E_INVALIDARG)},
        {"CloseDocument fails", Op::CloseFile, Fail(L"ISldWorks.CloseDocument"), -1, -1, close(kFault)},
        {"ActiveDocument fails (save)", Op::SaveFile, Fail(L"ISldWorks.ActiveDocument"), -1, -1, save(kFault)},
        {"ActiveDocument null (save)", Op::SaveFile, Null(L"ISldWorks.ActiveDocument"), -1, -1, save(E_POINTER)},
        {"Save fails", Op::SaveFile, Fail(L"ICaxDocument.Save"), -1, -1, save(kFault)},
        {"FullPath fails (save)", Op::SaveFile, Fail(L"ICaxDocument.FullPath"), 0, 0, L""},
        {"ActiveDocument fails (deps)", Op::GetDependencies, Fail(L"ISldWorks.ActiveDocument"), -1, -1,
         deps(kFault)},
        {"ActiveDocument null (deps)", Op::GetDependencies, Null(L"ISldWorks.ActiveDocument"), -1, -1,
         deps(E_POINTER)},
        {"Dependencies fails", Op::GetDependencies, Fail(L"ICaxDocument.Dependencies"), -1, -1, deps(kFault)},
        {"Dependencies of numbers", Op::GetDependencies,
         DependenciesAre([](VARIANT& v) {
             V_VT(&v) = VT_ARRAY | VT_I4;
             V_ARRAY(&v) = SafeArrayCreateVector(VT_I4, 0, 4);
         }),
         -1, -1, deps(DISP_E_TYPEMISMATCH)},
        {"Dependencies not an array", Op::GetDependencies,
         DependenciesAre([](VARIANT& v) {
             V_VT(&v) = VT_BSTR;
             V_BSTR(&v) = SysAllocString(L"a|b");
         }),
         -1, -1, deps(DISP_E_TYPEMISMATCH)},
        {"Dependencies of two dimensions", Op::GetDependencies, DependenciesAre(strings({L"a", L"b"}, 0, 2)), -1, -1,
         deps(DISP_E_TYPEMISMATCH)},
        {"Dependencies from lower bound 1", Op::GetDependencies,
         DependenciesAre(strings({L"a", L"A.prt", L"b", L"B.prt"}, 1, 1)), 0, 0, L""},
        {"Dependencies with null elements", Op::GetDependencies,
         DependenciesAre(strings({L"a", nullptr, nullptr, L"B.prt"}, 0, 1)), 0, 0, L""},
        // The add-in's methods by name: its own number and text when it gives a text, else the code's.
        {"CreateMenu fails with its text", Op::CreateMenu, AddInFails(L"CreateMenu", kFault, 42, L"no menu"), DISP_E_EXCEPTION, 42,
         L"no menu"},
        {"CreateMenu fails without text", Op::CreateMenu, Fail(L"ISwAddIn.CreateMenu"), DISP_E_EXCEPTION, kFault,
         injectedText(L"CreateMenu")},
        {"RefreshTable fails with its text", Op::RefreshTable, AddInFails(L"RefreshTable", kFault, 7, L"no table"),
         DISP_E_EXCEPTION, 7, L"no table"},
        {"RefreshTable fails without text", Op::RefreshTable, Fail(L"ISwAddIn.RefreshTable"), DISP_E_EXCEPTION, kFault,
         injectedText(L"RefreshTable")},
        {"UpdateTable fails with its text", Op::UpdateTable, AddInFails(L"UpdateTable", kFault, 9, L"stale"),
         DISP_E_EXCEPTION, 9, L"stale"},
        {"UpdateTable fails without text", Op::UpdateTable, Fail(L"ISwAddIn.UpdateTable"), DISP_E_EXCEPTION, kFault,
         injectedText(L"UpdateTable")},
        {"Disconnect fails", Op::Delete, AddInFails(L"Disconnect", kFault, 1, L"busy"), 0, 0, L""},
        {"Disconnect fails without text", Op::Delete, Fail(L"ISwAddIn.Disconnect"), 0, 0, L""},
    };
    int injected = 0;
    for (const auto& point : points) {
        ASSERT_EQ(S_OK, control->Reset());
        const Outcome outcome = RunOperation(control.Get(), samples, point.op, point.inject);
        ++injected;
        EXPECT_EQ(point.result, outcome.result) << point.what;
        EXPECT_EQ(point.code, outcome.code) << point.what;
        EXPECT_EQ(point.message, outcome.message) << point.what;
        ASSERT_EQ(S_OK, control->Reset());
        ExpectNothingHeld(point.what);
    }
    // Bad window handles: the add-in is told each as signed decimal text, whatever its value.
    for (const LONG handle : {0L, -1L, static_cast<LONG>(0x80000000UL), 0x7FFFFFFFL}) {
        ASSERT_EQ(S_OK, control->Reset());
        ASSERT_EQ(S_OK, control->SetWindowHandle(handle, SimAlways));
        ++injected;
        {
            SldwConnector connector(3, kVersion, L"", L"");
            CaxCommand* made = nullptr;
            EXPECT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
            std::unique_ptr<CaxCommand> command(made);
            ASSERT_TRUE(command);
            EXPECT_EQ(std::to_wstring(handle), command->connection.appHandleText);
            EXPECT_NE(std::wstring::npos, CallLog(control.Get()).find(L"ISwAddIn.SetAppHandle('" +
                                                                       std::to_wstring(handle) + L"')"));
        }
        ASSERT_EQ(S_OK, control->Reset());
        ExpectNothingHeld("window handle " + std::to_string(handle));
    }
    std::printf("fault points injected: %d, survived: %d\n", injected, injected);
}

// A slow application: the library waits for every answer however long it takes.
TEST_F(Reliability, SlowCallsAreAwaitedAndSucceed) {
    constexpr long kDelay = 1500;
    const struct {
        const wchar_t* entry;
        Op op;
    } slow[] = {
        {L"ISldWorks.LoadAddIn", Op::Connect},
        {L"ISldWorks.OpenDocument", Op::OpenFile},
        {L"ICaxDocument.Dependencies", Op::GetDependencies},
        {L"ISwAddIn.RefreshTable", Op::RefreshTable},
    };
    for (const auto& s : slow) {
        ASSERT_EQ(S_OK, control->Reset());
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome = RunOperation(control.Get(), samples, s.op, [&](ISimControl* c) {
            return c->DelayEntry(Bstr(s.entry).Get(), kDelay, SimOnce);
        });
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        EXPECT_EQ(0, outcome.result) << outcome.message.c_str();
        EXPECT_GE(elapsed.count(), kDelay) << "the call was really delayed";
    }
    ASSERT_EQ(S_OK, control->Reset());
    ExpectNothingHeld("after the slow calls");
}

// An access violation inside the connect sequence, a thousand times in a row: each is reported by
// the step it hit, and the process neither dies nor gathers handles. Then a plain connect works.
TEST_F(Reliability, AThousandMachineFaultsInsideGetAppObject) {
    using Internals = QARCAX::SldwConnectorInternals;
    SldwConnector connector(3, kVersion, L"", L"");
    CaxCommand* made = nullptr;
    ASSERT_EQ(0, connector.NewCommand(nullptr, made));
    delete made;
    // GetAppObject first gives back the application it holds: a broken object faults in its Release.
    static void* const brokenTable[3] = {nullptr, nullptr, reinterpret_cast<void*>(0x10)};
    static void* const broken = const_cast<void**>(brokenTable);
    const std::wstring expected = L"[QARCAX::SldwConnector::GetAppObject()]: EXCEPTION_ACCESS_VIOLATION";
    DWORD before = 0, after = 0;
    int survived = 0;
    wchar_t faultsText[16] = L"1000";
    GetEnvironmentVariableW(L"QAR_FAULTS", faultsText, 16);
    const int kFaults = _wtoi(faultsText);
    for (int i = 0; i < kFaults; ++i) {
        // The step clears the pointer before it releases, so a broken one is never released twice;
        // the real application of the first connect is given back properly.
        if (Internals::App(connector).Get() == reinterpret_cast<ISldWorks*>(const_cast<void**>(&broken))) {
            Internals::App(connector).Detach();
        }
        Internals::App(connector).Reset();
        Internals::App(connector) = ComPtr<ISldWorks>::Adopt(reinterpret_cast<ISldWorks*>(const_cast<void**>(&broken)));
        connector.errorCode = 0;
        connector.errorMessage.clear();
        made = nullptr;
        const int result = connector.NewCommand(nullptr, made);
        if (result == -1 && made == nullptr && connector.errorCode == -1 &&
            connector.errorMessage.compare(0, expected.size(), expected) == 0) {
            ++survived;
        }
        if (i == 9) before = HandleCount();  // after any first-use setup
    }
    after = HandleCount();
    EXPECT_EQ(kFaults, survived) << connector.errorMessage.c_str();
    EXPECT_LE(after, before + 2) << "handles: " << before << " -> " << after;
    std::printf("machine faults survived: %d, handles %lu -> %lu\n", survived, before, after);
    if (Internals::App(connector).Get() == reinterpret_cast<ISldWorks*>(const_cast<void**>(&broken))) {
        Internals::App(connector).Detach();
    }
    ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
    delete made;
}

// Bad input from the host: each fails clearly (or, where the documented rule accepts it, works),
// and nothing is written past a buffer (the long texts would overrun any fixed one).
TEST_F(Reliability, BadInputFromTheHost) {
    int tried = 0;
    // Paths for OpenFile.
    const std::wstring percent = folder.File(L"100%s%n%d.sldprt");
    ASSERT_TRUE(CopyFileW(folder.File(L"plate.sldprt").c_str(), percent.c_str(), FALSE));
    {
        SldwConnector connector(3, kVersion, L"", L"");
        CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
        std::unique_ptr<CaxCommand> command(made);
        const struct {
            std::wstring path;
            int result;
        } paths[] = {
            {std::wstring(10000, L'a') + L".sldprt", -1},
            {L"C:\\" + std::wstring(9990, L'b') + L".sldasm", -1},
            {folder.File(L"missing%s%n.sldprt"), -1},
            {percent, 0},
        };
        for (const auto& p : paths) {
            ++tried;
            command->errorCode = 0;
            command->errorMessage.clear();
            EXPECT_EQ(p.result, command->OpenFile(p.path)) << p.path.size();
            if (p.result != 0) {
                EXPECT_EQ(-1, command->errorCode);
                EXPECT_FALSE(command->errorMessage.empty()) << "a failure says why";
            }
        }
        EXPECT_EQ(0, command->CloseFile());
    }
    DeleteFileW(percent.c_str());

    // Version texts: too short for a year, no year, very long. Activation of what they name fails
    // and the message says which ProgID was tried; a text shorter than a year is refused by the guard.
    const struct {
        std::wstring version;
        std::wstring messageStart;
    } versions[] = {
        {L"", L"Start  failed,"},
        {L"S", L"[QARCAX::SldwConnector::GetAppObject()]: "},
        {L"So", L"[QARCAX::SldwConnector::GetAppObject()]: "},
        {L"Sol", L"[QARCAX::SldwConnector::GetAppObject()]: "},
        {std::wstring(10000, L'x'), L"Start SldWorks.Application.-1992 failed,"},
        {std::wstring(9996, L'y') + L"2016", L""},  // the year decides: it names the registered version
    };
    for (const auto& v : versions) {
        ++tried;
        SldwConnector connector(3, v.version, L"", L"");
        CaxCommand* made = nullptr;
        const int result = connector.NewCommand(nullptr, made);
        delete made;
        if (v.messageStart.empty()) {
            EXPECT_EQ(0, result) << connector.errorMessage.c_str();
            continue;
        }
        EXPECT_NE(0, result) << v.version.size();
        EXPECT_EQ(-1, connector.errorCode) << v.version.size();
        EXPECT_EQ(v.messageStart, connector.errorMessage.substr(0, v.messageStart.size())) << v.version.size();
    }

    // Handle texts that are no window handle's: none matches a running instance, so the connector
    // starts (here: reaches) the registered application, as it does for an empty text.
    for (const std::wstring& handle : {std::wstring(L"abc"), std::wstring(L"12x"), std::wstring(L"-"),
                                       std::wstring(L"99999999999999999999"), std::wstring(10000, L'7')}) {
        ++tried;
        SldwConnector connector(3, kVersion, handle, L"");
        CaxCommand* made = nullptr;
        EXPECT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
        delete made;
    }
    ASSERT_EQ(S_OK, control->Reset());
    ExpectNothingHeld("after the bad input");
    std::printf("bad inputs tried: %d\n", tried);
}

}  // namespace
