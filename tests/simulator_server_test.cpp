// qarcadsim.exe as a local server, from a client process: what only a process boundary shows, the
// server's lifetime, its message filter refusing calls while busy or hung, and a slow start. The
// objects' behaviour is tested in process (simulator_inprocess_test.cpp); documents, references and
// failures across processes in the connector's sessions (host_session_test.cpp, reliability_test.cpp).
// The fixture registers the server machine-wide, because Wine 8 ignores per-user classes
// (HKCU\Software\Classes; Windows honours them); the tests have a Wine prefix of their own, since a
// failing one can leave a busy or hung server behind.
#include <gtest/gtest.h>

#include <thread>

#include "sim_test_support.h"

using qar::ComPtr;

namespace {

// The registered application's control, reached by activation; the server's instance id in `id`.
ComPtr<ISimControl> Activate(LONG& id) {
    CLSID clsid;
    ComPtr<ISimControl> control;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &clsid));
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                     reinterpret_cast<void**>(control.Put())));
    EXPECT_TRUE(control && control->get_InstanceId(&id) == S_OK);
    return control;
}

struct Apartment {
    Apartment() { EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    ~Apartment() { CoUninitialize(); }
};

// Runs first in its prefix (CMake orders it), so that activation starts a server rather than meeting
// one. The switch reaches the server through QARCADSIM_OPTIONS because Wine starts a local server
// from its client, with the client's environment; Windows starts it from its own service, where the
// switch would have to be in the registered command line.
TEST(SimulatorServer, SlowStartIsWaitedForByActivation) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
        GTEST_SKIP() << "a server started by COM inherits its client's environment only under Wine";
    }
    Apartment apartment;
    ASSERT_TRUE(SetEnvironmentVariableW(L"QARCADSIM_OPTIONS", L"/start-delay:2"));
    const DWORD start = GetTickCount();
    LONG id = 0;
    ComPtr<ISimControl> control = Activate(id);
    const DWORD elapsed = GetTickCount() - start;
    SetEnvironmentVariableW(L"QARCADSIM_OPTIONS", nullptr);
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 4500u);  // Wine looks for the class object about once a second
}

TEST(SimulatorServer, OneApplicationPerServerEndedByQuitOrItsLastClient) {
    Apartment apartment;
    LONG first = 0, again = 0, second = 0, third = 0;
    ComPtr<ISimControl> control = Activate(first), other = Activate(again);
    EXPECT_EQ(first, again) << "one class object serves every activation";
    ASSERT_TRUE(control);
    // Quit ends the server: the next activation starts a new one.
    EXPECT_EQ(S_OK, control->Quit());
    other.Reset();
    control = Activate(second);
    EXPECT_NE(first, second);
    // Without Quit it ends a second after its last client let go.
    control.Reset();
    Sleep(2500);
    control = Activate(third);
    EXPECT_NE(second, third);
}

// The server's message filter refuses the call, so the caller's channel answers at once. Windows'
// channel answers RPC_E_SERVERCALL_RETRYLATER itself; Wine does not implement SERVERCALL_RETRYLATER
// and runs the call, whose entry then answers the same code (and a QueryInterface then succeeds).
TEST(SimulatorServer, BusyWindowRefusesOtherCallsAtOnceButNotTheControl) {
    Apartment apartment;
    LONG id = 0;
    ComPtr<ISimControl> control = Activate(id);
    ComPtr<ISldWorks> app;
    ASSERT_EQ(S_OK, control.As(app));  // before the window: a new interface's QueryInterface is refused too
    for (const auto& [kind, code] : {std::pair{SimBusyRejected, RPC_E_CALL_REJECTED},
                                     std::pair{SimBusyRetryLater, RPC_E_SERVERCALL_RETRYLATER}}) {
        ASSERT_EQ(S_OK, control->Reset());
        ASSERT_EQ(S_OK, control->SetBusy(1000, -1, kind));
        const DWORD start = GetTickCount();
        VARIANT_BOOL visible = VARIANT_TRUE;
        EXPECT_EQ(code, app->get_Visible(&visible));
        EXPECT_LT(GetTickCount() - start, 100u);
        EXPECT_EQ(std::to_wstring(id) + L"\tISldWorks.Visible.get refused\n", CallLog(control.Get()));
        // A call that no entry answers shows the filter at work: a QueryInterface the proxy passes on
        // (measured under Wine 8: E_NOINTERFACE, the refusal of its IRemUnknown call is not passed on).
        ComPtr<IDispatch> notYetHandedOut;
        EXPECT_TRUE(kind != SimBusyRejected || FAILED(app.As(notYetHandedOut)));
        Sleep(1050 - (GetTickCount() - start));
        EXPECT_EQ(S_OK, app->get_Visible(&visible));
    }
}

// A hung entry blocks its caller; the server still takes the control interface's calls, from a client
// in another apartment, and refuses every other call outright meanwhile.
TEST(SimulatorServer, HungEntryIsReleasedThroughTheControlFromAnotherClient) {
    Apartment apartment;
    LONG id = 0;
    ComPtr<ISimControl> control = Activate(id);
    ComPtr<ISldWorks> app;
    ASSERT_EQ(S_OK, control.As(app));
    ASSERT_EQ(S_OK, control->DelayEntry(Bstr(L"ISldWorks.Visible.get").Get(), -1, SimOnce));
    HRESULT otherCall = S_OK, released = E_FAIL;
    const std::unique_ptr<void, decltype(&CloseHandle)> ready(CreateEventW(nullptr, TRUE, FALSE, nullptr),
                                                              &CloseHandle);
    std::thread other([&] {
        Apartment its;
        LONG same = 0;
        ComPtr<ISimControl> itsControl = Activate(same);
        ComPtr<ISldWorks> itsApp;
        itsControl.As(itsApp);
        SetEvent(ready.get());
        Sleep(300);
        VARIANT_BOOL userControl = VARIANT_FALSE;
        otherCall = itsApp->get_UserControl(&userControl);
        released = itsControl->ReleaseHung();
    });
    WaitForSingleObject(ready.get(), 30000);
    const DWORD start = GetTickCount();
    VARIANT_BOOL visible = VARIANT_TRUE;
    EXPECT_EQ(S_OK, app->get_Visible(&visible));
    EXPECT_GE(GetTickCount() - start, 290u);
    other.join();
    EXPECT_EQ(RPC_E_CALL_REJECTED, otherCall);
    EXPECT_EQ(S_OK, released);
    EXPECT_EQ(S_OK, control->Reset());
}

}  // namespace
