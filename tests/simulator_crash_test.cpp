// A server that ends abruptly (as in a crash), in a Wine prefix of its own: under Wine no later
// activation of any server works until the wineserver restarts, which would break every other test.
#include <gtest/gtest.h>

#include "sim_test_support.h"

namespace {

HRESULT Activate(ComPtr<ISldWorks>& app) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"SldWorks.Application.24", &clsid);
    return FAILED(hr) ? hr : CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISldWorks),
                                              reinterpret_cast<void**>(app.Put()));
}

TEST(SimulatorCrash, CallsFailOnceTheServerIsGoneAndWineRefusesReactivation) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        ComPtr<ISldWorks> app, again;
        ComPtr<ISimControl> control;
        ASSERT_EQ(S_OK, Activate(app));
        ASSERT_EQ(S_OK, app.As(control));
        EXPECT_TRUE(FAILED(control->Terminate(3)));  // the call itself cannot be answered
        VARIANT_BOOL visible;
        const HRESULT dead = app->get_Visible(&visible);
        EXPECT_TRUE(dead == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || dead == RPC_E_DISCONNECTED ||
                    dead == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED))
            << std::hex << dead;
        const HRESULT hr = Activate(again);
        if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
            EXPECT_TRUE(FAILED(hr)) << "Wine 8 refuses activations after a server crash until wineserver -k";
        } else {
            EXPECT_EQ(S_OK, hr);
            if (SUCCEEDED(again.As(control))) control->Quit();
        }
    }
    CoUninitialize();
}

}  // namespace
