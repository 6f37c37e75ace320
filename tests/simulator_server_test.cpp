// qarcadsim.exe as a local server, from a client process: what only a process boundary shows, the
// server's lifetime. The objects' behaviour is tested in process (simulator_inprocess_test.cpp);
// documents, references and failures across processes in the connector's sessions
// (host_session_test.cpp, reliability_test.cpp). The fixture "simulator" registers the server
// machine-wide, because Wine 8 ignores per-user classes (HKCU\Software\Classes; Windows honours them).
#include <gtest/gtest.h>

#include "sim_test_support.h"

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

TEST(SimulatorServer, OneApplicationPerServerEndedByQuitOrItsLastClient) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
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
    control.Reset();
    CoUninitialize();
}

}  // namespace
