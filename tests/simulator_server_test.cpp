// qarcadsim.exe as a local server, from a client process: what only a process boundary shows, the
// server's lifetime and its per-user registration. The objects' behaviour is tested in process (simulator_inprocess_test.cpp); documents, references and failures across
// processes in the connector's sessions (host_session_test.cpp, reliability_test.cpp). The fixture
// "simulator" registers the server machine-wide.
#include <gtest/gtest.h>

#include <process.h>

#include "sim_test_support.h"

namespace {

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

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

// qarcadsim.exe with `arguments`, to its end; its exit code.
template <typename... Args>
intptr_t RunSimulator(Args... arguments) {
    const std::wstring program = TestProgramDirectory() + L"..\\simulator\\qarcadsim.exe";
    return _wspawnl(_P_WAIT, program.c_str(), L"qarcadsim", arguments..., nullptr);
}

class SimulatorServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(SimulatorServer, OneApplicationPerServerEndedByQuitOrItsLastClient) {
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

// The tests register machine-wide, because Wine 8 looks up classes only there. A per-user registration
// (HKCU\Software\Classes) reaches ProgID lookup on Windows only.
TEST_F(SimulatorServer, PerUserRegistrationReachesProgIdLookupOnWindowsOnly) {
    CLSID clsid;
    ASSERT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(L"SldWorks.Application.20", &clsid));
    ASSERT_EQ(0, RunSimulator(L"/regserver", L"/user", L"\"/version:SolidWorks 2012\""));
    const HRESULT perUser = CLSIDFromProgID(L"SldWorks.Application.20", &clsid);
    EXPECT_EQ(0, RunSimulator(L"/unregserver", L"/user"));
    EXPECT_EQ(UnderWine() ? CO_E_CLASSSTRING : S_OK, perUser) << "Wine 8 ignores HKCU\\Software\\Classes";
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(L"SldWorks.Application.20", &clsid));
}

}  // namespace
