// The simulated CAD application inside the test's own process: documents backed by files, fault
// injection with the call log, and the add-in module loaded by LoadAddIn with the object counts. What
// only a process boundary shows is in simulator_server_test.cpp.
#include <gtest/gtest.h>

#include <thread>

#include "sim_test_support.h"
#include "simulator/sim_internal.h"

using qar::ComPtr;
using qar::UniqueBstr;
using qar::UniqueVariant;
using qar::UniqueSafeArray;

namespace {

// The strings of a vector of BSTRs from 0; empty for any other value.
std::vector<std::wstring> StringsOf(const VARIANT& value) {
    std::vector<std::wstring> strings;
    LONG lower = -1, count = 0;
    if (V_VT(&value) != (VT_ARRAY | VT_BSTR) || !UniqueSafeArray::IsVector(V_ARRAY(&value), VT_BSTR, lower, count) ||
        lower != 0)
        return strings;
    for (LONG index = 0; index < count; ++index) {
        UniqueBstr element;
        SafeArrayGetElement(V_ARRAY(&value), &index, element.Put());
        strings.push_back(element.Str());
    }
    return strings;
}

class SimulatorInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, app.As(control));
    }
    void TearDown() override {
        control.Reset();
        app.Reset();
        // Every object has gone with the last reference.
        for (auto kind : {qarsim::Kind::Application, qarsim::Kind::Frame, qarsim::Kind::Document,
                          qarsim::Kind::Enumerator, qarsim::Kind::AddIn})
            EXPECT_EQ(0, qarsim::Tally(kind).live) << static_cast<int>(kind);
        CoUninitialize();
    }
    ComPtr<ICaxDocument> Open(const std::wstring& name, long type, HRESULT expected = S_OK) {
        ComPtr<ICaxDocument> document;
        EXPECT_EQ(expected, app->OpenDocument(Bstr(samples.File(name)).Get(), type, document.Put())) << name;
        EXPECT_EQ(expected == S_OK, static_cast<bool>(document)) << name;
        return document;
    }

    SampleFolder samples;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
};

// The connector and session tests open, enumerate, close and list documents through the command;
// here what they do not show.
TEST_F(SimulatorInProcess, DocumentsOpenByTypeAndListEachComponentOnce) {
    ComPtr<ICaxDocument> active;
    EXPECT_TRUE(app->ActiveDocument(active.Put()) == S_FALSE && !active);
    const struct {
        const wchar_t* name;
        long type;
        HRESULT expected;
        std::vector<std::wstring> components;
    } cases[] = {
        {L"missing.sldprt", 1, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), {}},
        {L"clamp.sldasm", 1, E_INVALIDARG, {}},  // the type disagrees with the extension
        {L"plate.SLDPRT", 1, S_OK, {}},          // the extension in any case
        {L"clamp.sldasm", 2, S_OK,               // the bolt, used twice, listed once
         {L"plate.sldprt", samples.File(L"plate.sldprt"), L"bolt.sldprt", samples.File(L"bolt.sldprt")}},
        {L"clamp.slddrw", 3, S_OK, {L"clamp.sldasm", samples.File(L"clamp.sldasm")}},
    };
    for (const auto& c : cases) {
        UniqueVariant list;
        if (ComPtr<ICaxDocument> document = Open(c.name, c.type, c.expected)) {
            EXPECT_EQ(S_OK, document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Put()));
            EXPECT_EQ(c.components, StringsOf(list.Get())) << c.name;
        }
    }
    ComPtr<ICaxDocument> plate = Open(L"PLATE.sldprt", 1);  // the same document again, now active
    ASSERT_EQ(S_OK, app->ActiveDocument(active.Put()));
    EXPECT_EQ(plate.Get(), active.Get());
    EXPECT_EQ(S_OK, app->CloseDocument(Bstr(samples.File(L"PLATE.sldprt")).Get()));  // by full path, any case
    EXPECT_EQ(E_INVALIDARG, app->CloseDocument(Bstr(L"plate.SLDPRT").Get()));        // no longer open
}

// Each injection is used by the connector and reliability tests; here their refusals and modes.
TEST_F(SimulatorInProcess, InjectionsTakeEffectAlwaysOrOnceAndTheLogRecordsEveryCall) {
    // Unknown names and results an entry does not have are refused, not silently ignored.
    EXPECT_EQ(E_INVALIDARG, control->FailEntry(Bstr(L"ISldWorks.Visibel.get").Get(), E_FAIL, SimAlways));
    EXPECT_EQ(E_INVALIDARG, control->NullResult(Bstr(L"ISldWorks.Visible.get").Get(), SimAlways));
    EXPECT_EQ(E_INVALIDARG, control->DelayEntry(Bstr(L"IFrame.GetHWnd").Get(), -2, SimOnce));

    ComPtr<IDispatch> frame;
    ASSERT_EQ(S_OK, control->FailEntry(Bstr(L"ISldWorks.Visible.get").Get(), RPC_E_CALL_REJECTED, SimOnce));
    ASSERT_EQ(S_OK, control->NullResult(Bstr(L"ISldWorks.Frame").Get(), SimAlways));
    VARIANT_BOOL visible = VARIANT_TRUE;
    EXPECT_EQ(RPC_E_CALL_REJECTED, app->get_Visible(&visible));
    EXPECT_TRUE(app->get_Visible(&visible) == S_OK && visible == VARIANT_FALSE);  // once only
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(app->Frame(frame.Put()) == S_OK && !frame) << i;
    // Calls that were made to fail or answer null are logged too, with the instance's id.
    LONG id = 0;
    ASSERT_EQ(S_OK, control->get_InstanceId(&id));
    const std::wstring i = std::to_wstring(id) + L"\t";
    EXPECT_EQ(i + L"ISldWorks.Visible.get()\n" + i + L"ISldWorks.Visible.get()\n" + i +
                  L"ISldWorks.Frame()\n" + i + L"ISldWorks.Frame()\n",
              CallLog(control.Get()));
    ASSERT_EQ(S_OK, control->Reset());  // forgets the injections and the log
    EXPECT_EQ(L"", CallLog(control.Get()));
    EXPECT_TRUE(app->Frame(frame.Put()) == S_OK && frame);
}

TEST_F(SimulatorInProcess, AddInModuleLoadsOnceAndObjectsAreCountedUntilClientsLetGo) {
    const std::wstring module = TestProgramDirectory() + L"..\\BrivexSw18_x64.dll";
    auto Load = [&](const std::wstring& path) {
        LONG status = -1;
        return app->LoadAddIn(Bstr(path).Get(), &status) == S_OK ? status : -1;
    };
    ASSERT_EQ(S_OK, control->SetLoadAddInStatus(1, SimOnce));
    EXPECT_EQ(1, Load(module));                         // as injected, without loading
    EXPECT_EQ(1, Load(samples.File(L"plate.sldprt")));  // not a module
    ComPtr<IDispatch> object;
    EXPECT_TRUE(app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), object.Put()) == S_OK && !object);
    EXPECT_EQ(E_INVALIDARG, control->FailAddInMethod(Bstr(L"Explode").Get(), E_FAIL, 7, nullptr, SimOnce));
    EXPECT_EQ(0, Load(module));
    EXPECT_EQ(2, Load(module));  // already loaded
    ComPtr<ISwAddIn> addIn;
    ASSERT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), object.Put()));
    ASSERT_EQ(S_OK, object.As(addIn));
    object.Reset();
    {
        ComPtr<ICaxDocument> clamp = Open(L"clamp.sldasm", 2), plate = Open(L"plate.sldprt", 1);
        ComPtr<IEnumCaxDocuments> documents;
        ASSERT_EQ(S_OK, app->Frame(object.Put()));
        ASSERT_EQ(S_OK, app->EnumDocuments(documents.Put()));
        EXPECT_EQ(L"application 1 2\nframe 1 1\ndocument 2 2\nenumerator 1 1\naddin 1 1\n",
                  ObjectCounts(control.Get()));
        EXPECT_EQ(S_OK, app->CloseDocument(Bstr(L"plate.sldprt").Get()));
        object.Reset();
    }
    addIn.Reset();
    // Open documents are held by the application, the loaded add-in stays loaded: neither counts.
    EXPECT_EQ(L"application 1 2\nframe 0 0\ndocument 1 0\nenumerator 0 0\naddin 1 0\n",
              ObjectCounts(control.Get()));
}

// A busy window refuses every kind of entry with its kind's code, as the COM channel would: an
// early-bound entry, the add-in's calls by name at GetIDsOfNames and Invoke themselves, and activation
// through the class object; the control interface keeps answering.
TEST_F(SimulatorInProcess, BusyWindowRefusesEveryEntryUntilItsCountOrSpanEnds) {
    for (const auto& [milliseconds, calls, kind] : {std::tuple{0L, 1L, SimBusyRejected},
                                                    {-2L, -1L, SimBusyRejected},
                                                    {100L, 0L, SimBusyRejected},
                                                    {-1L, -1L, SimBusyKind(2)}}) {
        EXPECT_EQ(E_INVALIDARG, control->SetBusy(milliseconds, calls, kind)) << milliseconds << " " << calls;
    }
    LONG status = -1;
    ASSERT_EQ(S_OK, app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status));
    ASSERT_EQ(0, status);
    ComPtr<IDispatch> addIn;
    ASSERT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), addIn.Put()));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, qarsim::CreateClassFactory(app.Get(), factory.Put()));
    LPOLESTR name = const_cast<LPOLESTR>(L"errNumber");
    DISPID id = 0;
    ASSERT_EQ(S_OK, addIn->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    LONG instance = 0;
    ASSERT_EQ(S_OK, control->get_InstanceId(&instance));
    const std::wstring i = std::to_wstring(instance) + L"\t";

    const struct {
        long milliseconds, calls;
        SimBusyKind kind;
        HRESULT code;
    } cases[] = {{-1, 4, SimBusyRejected, RPC_E_CALL_REJECTED},
                 {400, -1, SimBusyRetryLater, RPC_E_SERVERCALL_RETRYLATER}};
    for (const auto& c : cases) {
        ASSERT_EQ(S_OK, control->Reset());
        ASSERT_EQ(S_OK, control->SetBusy(c.milliseconds, c.calls, c.kind));
        const DWORD start = GetTickCount();
        VARIANT_BOOL visible = VARIANT_FALSE;
        DISPPARAMS none = {};
        UniqueVariant result;
        ComPtr<IUnknown> created;
        EXPECT_EQ(c.code, app->get_Visible(&visible));
        EXPECT_EQ(c.code, addIn->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        EXPECT_EQ(c.code, addIn->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.Put(), nullptr,
                                        nullptr));
        EXPECT_EQ(c.code,
                  factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(created.Put())));
        EXPECT_EQ(i + L"ISldWorks.Visible.get refused\n" + i + L"ISwAddIn.GetIDsOfNames refused\n" + i +
                      L"ISwAddIn.Invoke refused\n" + i + L"IClassFactory.CreateInstance refused\n",
                  CallLog(control.Get()));
        // The fourth refusal ended a window of four calls; a window of a span lasts its span.
        if (c.calls < 0) {
            EXPECT_EQ(c.code, app->get_Visible(&visible));
            Sleep(c.milliseconds - (GetTickCount() - start) + 50);
        }
        EXPECT_EQ(S_OK, app->get_Visible(&visible));
        EXPECT_EQ(S_OK, addIn->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.Put(), nullptr,
                                      nullptr));
        EXPECT_EQ(S_OK,
                  factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(created.Put())));
        EXPECT_EQ(app.Get(), created.Get());
    }
    ASSERT_EQ(S_OK, control->SetBusy(-1, -1, SimBusyRejected));
    ASSERT_EQ(S_OK, control->SetBusy(0, 0, SimBusyRejected));  // ends it at once
    VARIANT_BOOL visible = VARIANT_FALSE;
    EXPECT_EQ(S_OK, app->get_Visible(&visible));
}

// The hung entry's own thread is blocked, so a test releases it from another thread, calling the
// in-process control directly.
TEST_F(SimulatorInProcess, HungEntryWaitsUntilReleasedFromAnotherThread) {
    EXPECT_EQ(S_FALSE, control->ReleaseHung());  // none waits
    ASSERT_EQ(S_OK, control->DelayEntry(Bstr(L"ISldWorks.Visible.get").Get(), -1, SimOnce));
    ISimControl* direct = control.Get();
    std::thread releaser([direct] {
        Sleep(300);
        while (direct->ReleaseHung() != S_OK) Sleep(10);
    });
    const DWORD start = GetTickCount();
    VARIANT_BOOL visible = VARIANT_TRUE;
    EXPECT_EQ(S_OK, app->get_Visible(&visible));
    EXPECT_GE(GetTickCount() - start, 290u);  // the tick count's granularity
    releaser.join();
    EXPECT_EQ(VARIANT_FALSE, visible);  // then it did its work
}

}  // namespace
