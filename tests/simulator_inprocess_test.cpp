// The simulated CAD application inside the test's own process: what the simulation refuses to do,
// the add-in module loaded by LoadAddIn with the object counts, and the busy window. Documents, the
// injections and the call log are used, and so checked, by the connector's, the automation server's
// and the reliability tests; what only a process boundary shows (the message filter, a hung entry
// released from another client, a slow start) is in simulator_server_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_test_support.h"
#include "simulator/sim_internal.h"

using qar::UniqueVariant;

namespace {

class SimulatorInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, app.As(control));
        LONG status = -1;  // the add-in module built beside the library
        ASSERT_EQ(S_OK,
                  app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status));
        ASSERT_EQ(0, status);
    }
    void TearDown() override {
        control.Reset();
        app.Reset();
        // Every object has gone with the last reference.
        for (int kind = 0; kind < static_cast<int>(qarsim::Kind::Count); ++kind)
            EXPECT_EQ(0, qarsim::Tally(static_cast<qarsim::Kind>(kind)).live) << kind;
    }

    ComApartment apartment;
    SampleFolder samples;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
};

// What the simulation cannot do is refused, so that a misspelt injection fails where it is made
// instead of silently testing nothing, and a document of the wrong type is not opened (the connector's
// tests of document types rest on that).
TEST_F(SimulatorInProcess, WhatTheSimulationCannotDoIsRefused) {
    ComPtr<ICaxDocument> document;
    const HRESULT refused[] = {
        control->FailEntry(Bstr(L"ISldWorks.Visibel.get").Get(), E_FAIL, SimAlways),
        control->NullResult(Bstr(L"ISldWorks.Visible.get").Get(), SimAlways),  // it hands back no object
        control->DelayEntry(Bstr(L"IFrame.GetHWnd").Get(), -2, SimOnce),
        control->FailAddInMethod(Bstr(L"Explode").Get(), E_FAIL, 7, nullptr, SimOnce),
        control->SetBusy(0, 1, SimBusyRejected),  // only SetBusy(0, 0) ends a window
        control->SetBusy(-2, -1, SimBusyRejected),
        control->SetBusy(-1, -1, SimBusyKind(2)),
        app->OpenDocument(Bstr(samples.File(L"clamp.sldasm")).Get(), 1, document.Put()),  // not a part
    };
    for (size_t row = 0; row < std::size(refused); ++row) EXPECT_EQ(E_INVALIDARG, refused[row]) << row;
    EXPECT_FALSE(document);
}

// The object counts, on which every reference check of the suite rests: live objects and the
// references clients hold, per kind, without those the application holds itself.
TEST_F(SimulatorInProcess, AddInModuleLoadsOnceAndObjectsAreCountedUntilClientsLetGo) {
    ComPtr<IDispatch> addIn, frame;
    ASSERT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), addIn.Put()));
    {
        ComPtr<ICaxDocument> clamp, plate;
        ComPtr<IEnumCaxDocuments> documents;
        ASSERT_EQ(S_OK, app->OpenDocument(Bstr(samples.File(L"clamp.sldasm")).Get(), 2, clamp.Put()));
        ASSERT_EQ(S_OK, app->OpenDocument(Bstr(samples.File(L"plate.sldprt")).Get(), 1, plate.Put()));
        ASSERT_EQ(S_OK, app->Frame(frame.Put()));
        ASSERT_EQ(S_OK, app->EnumDocuments(documents.Put()));
        EXPECT_EQ(L"application 1 2\nframe 1 1\ndocument 2 2\nenumerator 1 1\naddin 1 1\n",
                  ObjectCounts(control.Get()));
        EXPECT_EQ(S_OK, app->CloseDocument(Bstr(L"plate.sldprt").Get()));
        frame.Reset();
    }
    addIn.Reset();
    // Open documents are held by the application, the loaded add-in stays loaded: neither counts.
    EXPECT_EQ(L"application 1 2\nframe 0 0\ndocument 1 0\nenumerator 0 0\naddin 1 0\n",
              ObjectCounts(control.Get()));
}

// A busy window refuses every kind of entry with its kind's code, as the COM channel would: an
// early-bound entry, the add-in's calls by name at GetIDsOfNames and Invoke themselves, and activation
// through the class object; the control interface keeps answering. It ends after its count of
// refusals, after its span, or by SetBusy(0, 0).
TEST_F(SimulatorInProcess, BusyWindowRefusesEveryEntryUntilItsCountOrSpanEnds) {
    ComPtr<IDispatch> addIn;
    ASSERT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), addIn.Put()));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, qarsim::CreateClassFactory(app.Get(), factory.Put()));
    LPOLESTR name = const_cast<LPOLESTR>(L"errNumber");
    DISPID id = 0;
    ASSERT_EQ(S_OK, addIn->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    const auto everyKind = [&](HRESULT expected) {
        VARIANT_BOOL visible = VARIANT_FALSE;
        DISPPARAMS none = {};
        UniqueVariant result;
        ComPtr<IUnknown> created;
        EXPECT_EQ(expected, app->get_Visible(&visible));
        EXPECT_EQ(expected, addIn->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        EXPECT_EQ(expected, addIn->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.Put(), nullptr,
                                          nullptr));
        EXPECT_EQ(expected,
                  factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(created.Put())));
        EXPECT_EQ(expected == S_OK ? app.Get() : nullptr, created.Get());
    };
    LONG instance = 0;
    ASSERT_EQ(S_OK, control->get_InstanceId(&instance));
    const std::wstring i = std::to_wstring(instance) + L"\t";

    const struct {
        long milliseconds, calls;
        SimBusyKind kind;
        HRESULT code;
    } cases[] = {{-1, 4, SimBusyRejected, RPC_E_CALL_REJECTED},
                 {400, -1, SimBusyRetryLater, RPC_E_SERVERCALL_RETRYLATER},
                 {-1, -1, SimBusyRejected, RPC_E_CALL_REJECTED}};
    for (const auto& c : cases) {
        ASSERT_EQ(S_OK, control->Reset());
        ASSERT_EQ(S_OK, control->SetBusy(c.milliseconds, c.calls, c.kind));
        const DWORD start = GetTickCount();
        everyKind(c.code);
        EXPECT_EQ(i + L"ISldWorks.Visible.get refused\n" + i + L"ISwAddIn.GetIDsOfNames refused\n" + i +
                      L"ISwAddIn.Invoke refused\n" + i + L"IClassFactory.CreateInstance refused\n",
                  CallLog(control.Get()));
        if (c.milliseconds > 0) {  // a window of a span lasts its span
            everyKind(c.code);
            Sleep(std::max<long>(0, c.milliseconds + 50 - static_cast<long>(GetTickCount() - start)));
        } else if (c.calls < 0) {
            ASSERT_EQ(S_OK, control->SetBusy(0, 0, SimBusyRejected));
        }
        everyKind(S_OK);
    }
}

}  // namespace
