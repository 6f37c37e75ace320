// qarcadsim.exe as a local server, from a client process: what only a process boundary shows, the
// server's lifetime and a window proxy queried for its real interface. The objects' behaviour is
// tested in process (simulator_inprocess_test.cpp); documents, references and failures across
// processes in the connector's sessions (host_session_test.cpp, reliability_test.cpp). The fixture
// "simulator" registers the server machine-wide.
#include <gtest/gtest.h>

#include <process.h>

#include "sim_test_support.h"

namespace {

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

ComPtr<ISldWorks> Activate() {
    CLSID clsid;
    ComPtr<ISldWorks> app;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &clsid));
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISldWorks),
                                     reinterpret_cast<void**>(app.Put())));
    return app;
}

LONG IdOf(ISldWorks* app) {
    ComPtr<ISimControl> control;
    LONG id = 0;
    if (FAILED(app->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put()))) ||
        FAILED(control->get_InstanceId(&id))) ADD_FAILURE() << "no instance id";
    return id;
}

LONG WindowOf(ISldWorks* app) {
    ComPtr<IDispatch> frame;
    ComPtr<IFrame> iframe;
    LONG handle = 0;
    // Across processes the IDispatch result is a bare dispatch proxy: the real interface is queried.
    if (app->Frame(frame.Put()) != S_OK || FAILED(frame.As(iframe)) || iframe->GetHWnd(&handle) != S_OK)
        ADD_FAILURE() << "no window";
    return handle;
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
    ComPtr<ISldWorks> app = Activate(), again = Activate();
    ComPtr<ISimControl> control;
    ASSERT_TRUE(app && again);
    const LONG first = IdOf(app.Get());
    EXPECT_EQ(first, IdOf(again.Get()));
    EXPECT_EQ(WindowOf(app.Get()), WindowOf(again.Get()));

    ASSERT_EQ(S_OK, app.As(control));

    // Quit ends the server: the next activation starts a new one.
    EXPECT_EQ(S_OK, control->Quit());
    control.Reset();
    again.Reset();
    app = Activate();
    ASSERT_TRUE(app);
    const LONG second = IdOf(app.Get());
    EXPECT_NE(first, second);
    // Without Quit it ends a second after its last client let go.
    app.Reset();
    Sleep(2500);
    app = Activate();
    ASSERT_TRUE(app);
    EXPECT_NE(second, IdOf(app.Get()));
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
