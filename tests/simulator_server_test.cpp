// qarcadsim.exe as a local server, from a client process: what only a process boundary shows, its
// message filter refusing calls while busy or hung, and a slow start. The objects' behaviour is tested
// in process (simulator_inprocess_test.cpp); documents, references and failures across processes in
// the connector's sessions (host_session_test.cpp, reliability_test.cpp), and a server ended by Quit
// with the command-line host's instances (cli_instances_test.cpp).
// The fixture registers the server machine-wide, because Wine 8 ignores per-user classes
// (HKCU\Software\Classes; Windows honours them); the tests have a Wine prefix of their own, since a
// failing one can leave a busy or hung server behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "sim_test_support.h"

namespace {

// The registered application's control with its server's instance id, and the application itself.
struct Server {
    ComPtr<ISimControl> control = RegisteredControl();
    ComPtr<ISldWorks> app;
    LONG id = 0;
    Server() { EXPECT_TRUE(control && control->get_InstanceId(&id) == S_OK && control.As(app) == S_OK); }
};

// Runs first in its prefix (CMake orders it), so that activation starts a server rather than meeting
// one. The switch reaches the server through QARCADSIM_OPTIONS because Wine starts a local server
// from its client, with the client's environment; Windows starts it from its own service, where the
// switch would have to be in the registered command line.
TEST(SimulatorServer, SlowStartIsWaitedForByActivation) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
        GTEST_SKIP() << "a server started by COM inherits its client's environment only under Wine";
    }
    ComApartment apartment;
    ASSERT_TRUE(SetEnvironmentVariableW(L"QARCADSIM_OPTIONS", L"/start-delay:2"));
    const DWORD start = GetTickCount();
    const Server server;
    const DWORD elapsed = GetTickCount() - start;
    SetEnvironmentVariableW(L"QARCADSIM_OPTIONS", nullptr);
    EXPECT_GE(elapsed, 2000u);
    EXPECT_LT(elapsed, 4500u);  // Wine looks for the class object about once a second
}

// While busy the server's message filter refuses a call, so the caller's channel answers at once.
// Windows' channel answers RPC_E_SERVERCALL_RETRYLATER itself; Wine does not implement
// SERVERCALL_RETRYLATER and runs the call, whose entry then answers the same code (and a
// QueryInterface then succeeds). A hung entry blocks its caller, and meanwhile the server refuses
// every other call outright. Either way the control interface's calls are taken, from this client and,
// while its caller hangs, from a client in another apartment.
TEST(SimulatorServer, BusyOrHungTheServerRefusesOtherCallsButNotTheControl) {
    ComApartment apartment;
    const Server
        server;  // the application's interface taken before the window: its QueryInterface is refused too
    for (const auto& [kind, code] : {std::pair{SimBusyRejected, RPC_E_CALL_REJECTED},
                                     std::pair{SimBusyRetryLater, RPC_E_SERVERCALL_RETRYLATER}}) {
        ASSERT_EQ(S_OK, server.control->Reset());
        ASSERT_EQ(S_OK, server.control->SetBusy(1000, -1, kind));
        const DWORD start = GetTickCount();
        VARIANT_BOOL visible = VARIANT_TRUE;
        EXPECT_EQ(code, server.app->get_Visible(&visible));
        EXPECT_LT(GetTickCount() - start, 100u);
        EXPECT_EQ(std::to_wstring(server.id) + L"\tISldWorks.Visible.get refused\n",
                  CallLog(server.control.Get()));
        // A call that no entry answers shows the filter at work: a QueryInterface the proxy passes on
        // (measured under Wine 8: E_NOINTERFACE, the refusal of its IRemUnknown call is not passed on).
        ComPtr<IDispatch> notYetHandedOut;
        EXPECT_TRUE(kind != SimBusyRejected || FAILED(server.app.As(notYetHandedOut)));
        Sleep(std::max<long>(0, 1050 - static_cast<long>(GetTickCount() - start)));
        EXPECT_EQ(S_OK, server.app->get_Visible(&visible));
    }

    EXPECT_EQ(S_FALSE, server.control->ReleaseHung()) << "none waits yet";
    ASSERT_EQ(S_OK, server.control->DelayEntry(Bstr(L"ISldWorks.Visible.get").Get(), -1, SimOnce));
    HRESULT otherCall = S_OK, released = S_FALSE;
    std::atomic<bool> reached = false;  // a hung server refuses activation too
    std::thread other([&] {
        ComApartment its;
        const Server same;
        reached = true;
        Sleep(300);
        VARIANT_BOOL userControl = VARIANT_FALSE;
        otherCall = same.app->get_UserControl(&userControl);
        for (int attempt = 0; attempt < 500 && released != S_OK; ++attempt, Sleep(10))
            released = same.control->ReleaseHung();
    });
    while (!reached) Sleep(1);
    const DWORD start = GetTickCount();
    VARIANT_BOOL visible = VARIANT_TRUE;
    EXPECT_EQ(S_OK, server.app->get_Visible(&visible));
    EXPECT_GE(GetTickCount() - start, 290u);
    other.join();
    EXPECT_EQ(VARIANT_FALSE, visible) << "then the entry did its work";
    EXPECT_EQ(RPC_E_CALL_REJECTED, otherCall);
    EXPECT_EQ(S_OK, released);
    EXPECT_EQ(S_OK, server.control->Reset());
}

}  // namespace
