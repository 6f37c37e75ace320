// qarcadsim.exe as a local server, from a client process: what only a process boundary shows, its
// message filter refusing calls while busy or hung, and a slow start. The objects' behaviour is tested
// in process (simulator_inprocess_test.cpp); documents, references and failures across processes in
// the connector's sessions (host_session_test.cpp, reliability_test.cpp), and a server ended by Quit
// with the command-line host's instances (cli_instances_test.cpp).
// The fixture registers the server machine-wide, because Wine 8 ignores per-user classes
// (HKCU\Software\Classes; Windows honours them).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "sim_test_support.h"

namespace {

// One server through its life in this test's own prefix, so that the activation starts it. It starts
// slowly, and activation waits for it. The switch reaches the server through QARCADSIM_OPTIONS because
// Wine starts a local server from its client, with the client's environment; Windows starts it from its
// own service, where the switch would have to be in the registered command line (there the start is
// not slowed). While busy the server's message filter refuses a call, so the caller's channel answers
// at once. Windows' channel answers RPC_E_SERVERCALL_RETRYLATER itself; Wine does not implement
// SERVERCALL_RETRYLATER and runs the call, whose entry then answers the same code (and a
// QueryInterface then succeeds). A hung entry blocks its caller, and meanwhile the server refuses
// every other call outright. Either way the control interface's calls are taken, from this client and,
// while its caller hangs, from a client in another apartment.
TEST(SimulatorServer, StartsSlowlyAndBusyOrHungRefusesOtherCallsButNotTheControl) {
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    ComApartment apartment;
    ASSERT_TRUE(SetEnvironmentVariableW(L"QARCADSIM_OPTIONS", L"/start-delay:2"));
    const DWORD started = GetTickCount();
    // Its application's interface is taken before any window: a QueryInterface is refused too.
    const RegisteredSimulator server;
    const DWORD elapsed = GetTickCount() - started;
    SetEnvironmentVariableW(L"QARCADSIM_OPTIONS", nullptr);
    EXPECT_TRUE(!wine || (elapsed >= 2000 && elapsed < 4500))
        << elapsed << " ms; Wine looks for the class object about once a second";

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
        const RegisteredSimulator same;
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
