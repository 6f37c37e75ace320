// The busy policy in process: the simulated application, and its class object registered in this
// process for the registered ProgID, refuse calls as a busy application does (RPC_E_CALL_REJECTED).
// Each kind of call site is made again until it is answered within the thread's timeout; after the
// timeout the failure says so; without a timeout nothing is retried; a time-out of activation is never
// retried. The simulator's call log counts the attempts, its object counts the references.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "Public/busy_policy.h"
#include "Public/dispatch_invoke.h"
#include "sim_test_support.h"
#include "simulator/sim_application.h"
#include "simulator/sim_registration.h"
#include "Public/cax_command.h"
#include "sldw/sldw_connector.h"

using qar::ComErrorMessage;

using QARCAX::CaxCommand;
using QARCAX::SldwConnector;

namespace {

// A fresh connect to whatever class object this process registers for the application's class.
struct Connected {
    int result;
    std::unique_ptr<CaxCommand> command;
    std::wstring message;  // the connector's
};
Connected Connect() {
    SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
    CaxCommand* made = nullptr;
    const int result = connector.NewCommand(nullptr, made);
    return {result, std::unique_ptr<CaxCommand>(made), connector.errorMessage};
}

// The application's class object as this process registers it: the simulator's, or, with `hr` set to
// a failure, one that fails every activation with it. It counts the activations.
class ClassObject : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
        return *out != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        ++calls;
        if (SUCCEEDED(hr)) return simulator->CreateInstance(outer, iid, out);
        *out = nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    ComPtr<IClassFactory> simulator;
    HRESULT hr = S_OK;
    int calls = 0;
};

// The simulated application, reached through its class object registered in this process.
class BusyPolicy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, app.As(control));
        ASSERT_EQ(S_OK, qarsim::CreateClassFactory(app.Get(), classObject.simulator.Put()));
        ASSERT_EQ(S_OK, CoRegisterClassObject(qarsim::kApplicationClass, &classObject, CLSCTX_LOCAL_SERVER,
                                              REGCLS_MULTIPLEUSE, &cookie));
        baseline = ClientReferences(control.Get());
    }
    void TearDown() override {
        QARCAX::SetBusyTimeout(0);
        EXPECT_EQ(S_OK, control->Reset());
        EXPECT_EQ(baseline, ClientReferences(control.Get())) << "references not given back";
        CoRevokeClassObject(cookie);
    }

    ComApartment apartment;
    SampleFolder samples;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
    ClassObject classObject;
    DWORD cookie = 0;
    std::wstring baseline;
};

// One row per kind of call site: refused twice (with either code of a busy application) and answered
// the third time within a timeout, or refused throughout and given up after it, or refused once
// without a timeout and given up at once.
TEST_F(BusyPolicy, EachKindOfCallIsMadeAgainWithinTheTimeoutAndOnlyThen) {
    const Connected first = Connect();
    ASSERT_EQ(0, first.result) << first.message.c_str();
    CaxCommand& command = *first.command;
    const auto connect = [](CaxCommand&) { return Connect().result; };
    const std::function<int(CaxCommand&)> close = [](CaxCommand& c) { return c.CloseFile(); };
    const std::wstring closeFailed = L"QARCAX::SldwCommand::CloseFile():close file failed, " +
                                     ComErrorMessage(RPC_E_CALL_REJECTED) + L". ";
    const struct {
        const char* what;
        std::function<int(CaxCommand&)> op;
        unsigned long timeout;
        long refusals;  // -1: for as long as the timeout lasts
        SimBusyKind kind;
        int result;
        std::wstring message;  // the command's, "" for a success
        const wchar_t* entry;
        size_t fewest, most;     // refused lines of `entry` in the call log
        bool elsewhere = false;  // the timeout set on another thread; this one's stays 0
    } rows[] = {
        {"activation", connect, 5000, 2, SimBusyRejected, 0, L"", L"IClassFactory.CreateInstance", 2, 2},
        {"early-bound entry", close, 5000, 2, SimBusyRetryLater, 0, L"", L"ISldWorks.ActiveDocument", 2, 2},
        {"call by name", [](CaxCommand& c) { return c.CreateMenu(L"PLM"); }, 5000, 2, SimBusyRejected, 0, L"",
         L"ISwAddIn.GetIDsOfNames", 2, 2},
        // Pauses of 50, 100, 200 and then 250 ms: about four attempts in 300 ms.
        {"busy past the timeout", close, 300, -1, SimBusyRejected, -1,
         closeFailed + L"The CAD application stayed busy for 0.3 s.", L"ISldWorks.ActiveDocument", 3, 6},
        // The note gives the timeout's seconds with the decimals they need.
        {"busy past 250 ms", close, 250, -1, SimBusyRejected, -1,
         closeFailed + L"The CAD application stayed busy for 0.25 s.", L"ISldWorks.ActiveDocument", 3, 6},
        {"busy past 1250 ms", close, 1250, -1, SimBusyRejected, -1,
         closeFailed + L"The CAD application stayed busy for 1.25 s.", L"ISldWorks.ActiveDocument", 5, 12},
        {"no timeout", close, 0, -1, SimBusyRejected, -1, closeFailed, L"ISldWorks.ActiveDocument", 1, 1},
        // The timeout is the calling thread's own: another thread's does not reach this one.
        {"timeout of another thread", close, 5000, -1, SimBusyRejected, -1, closeFailed,
         L"ISldWorks.ActiveDocument", 1, 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(0, command.OpenFile(samples.File(L"clamp.sldasm")));
        command.errorMessage.clear();
        QARCAX::SetBusyTimeout(row.elsewhere ? 0 : row.timeout);
        if (row.elsewhere) std::thread([&] { QARCAX::SetBusyTimeout(row.timeout); }).join();
        ASSERT_EQ(S_OK, control->SetBusy(-1, row.refusals, row.kind));
        const DWORD start = GetTickCount();
        EXPECT_EQ(row.result, row.op(command));
        const DWORD took = GetTickCount() - start;
        EXPECT_EQ(row.message, command.errorMessage);
        const std::wstring log = CallLog(control.Get()), refusal = std::wstring(row.entry) + L" refused\n";
        size_t refused = 0;
        for (size_t at = log.find(refusal); at != std::wstring::npos; at = log.find(refusal, at + 1))
            ++refused;
        EXPECT_TRUE(refused >= row.fewest && refused <= row.most) << refused;
        EXPECT_GE(took, row.refusals < 0 && !row.elsewhere ? row.timeout : 0ul);
        EXPECT_LT(took, 2000u) << "no pause is longer than the policy's";
        ASSERT_EQ(S_OK, control->Reset());  // ends the window too
    }
}

// A time-out of activation may mean the application is still starting: asking again would start a
// second one, so with a timeout set these are reported after one attempt, as without.
TEST_F(BusyPolicy, ATimeOutKindOfActivationFailureIsNeverRetried) {
    QARCAX::SetBusyTimeout(5000);
    for (const HRESULT hr : {E_NOINTERFACE, CO_E_SERVER_EXEC_FAILURE, RPC_E_TIMEOUT}) {
        classObject.hr = hr;
        classObject.calls = 0;
        const Connected connected = Connect();
        EXPECT_EQ(hr, connected.result);
        EXPECT_EQ(1, classObject.calls) << std::hex << hr;
        EXPECT_EQ(L"Start SldWorks.Application.24 failed," + ComErrorMessage(hr), connected.message);
    }
}

}  // namespace
