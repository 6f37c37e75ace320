// The simulated CAD application inside the test's own process: documents backed by files, the add-in
// module loaded by LoadAddIn, fault injection, the call log and the object counts. The cross-process
// tests (simulator_server_test.cpp) rely on the same objects.
#include <gtest/gtest.h>

#include "counted_dispatch.h"
#include "sim_test_support.h"
#include "simulator/sim_internal.h"

namespace {

class SimulatorInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, app.As(control));
        ASSERT_EQ(S_OK, control->Reset());
    }
    void TearDown() override {
        control.Reset();
        app.Reset();
        // Every object has gone with the last reference.
        for (auto kind : {qarsim::Kind::Application, qarsim::Kind::Frame, qarsim::Kind::Document,
                          qarsim::Kind::Enumerator, qarsim::Kind::AddIn}) {
            EXPECT_EQ(0, qarsim::Tally(kind).live) << static_cast<int>(kind);
        }
        CoUninitialize();
    }
    ComPtr<ICaxDocument> Open(const std::wstring& name, long type, HRESULT expected = S_OK) {
        ComPtr<ICaxDocument> document;
        EXPECT_EQ(expected, app->OpenDocument(Bstr(samples.File(name)).Get(), type, document.Put())) << name;
        return document;
    }
    std::wstring NameOf(ICaxDocument* document) {
        UniqueBstr name;
        EXPECT_EQ(S_OK, document->NameText(name.Put()));
        return name.Str();
    }
    ComPtr<ISwAddIn> LoadedAddIn() {
        LONG status = -1;
        EXPECT_EQ(S_OK, app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status));
        EXPECT_EQ(0, status);
        ComPtr<IDispatch> object;
        ComPtr<ISwAddIn> addIn;
        EXPECT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), object.Put()));
        EXPECT_EQ(S_OK, object.As(addIn));
        return addIn;
    }

    SampleFolder samples;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
};

TEST_F(SimulatorInProcess, OpensOnlyExistingFilesOfTheTypeTheirExtensionNames) {
    struct Case {
        const wchar_t* name;
        long type;
        HRESULT expected;
    } cases[] = {
        {L"plate.sldprt", 1, S_OK},
        {L"CLAMP.SLDASM", 2, S_OK},  // extension in any case
        {L"clamp.slddrw", 3, S_OK},
        {L"clamp.sldasm", 1, E_INVALIDARG},  // type disagrees with the extension
        {L"missing.sldprt", 1, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        ComPtr<ICaxDocument> document = Open(c.name, c.type, c.expected);
        EXPECT_EQ(c.expected == S_OK, static_cast<bool>(document)) << c.name;
    }
}

TEST_F(SimulatorInProcess, ActiveDocumentEnumerationAndClosingByNameOrPath) {
    ComPtr<ICaxDocument> none;
    EXPECT_EQ(S_FALSE, app->ActiveDocument(none.Put()));
    EXPECT_FALSE(none);
    ComPtr<ICaxDocument> plate = Open(L"plate.sldprt", 1), clamp = Open(L"clamp.sldasm", 2);
    ComPtr<ICaxDocument> again = Open(L"PLATE.sldprt", 1);  // the same file is the same document
    EXPECT_EQ(plate.Get(), again.Get());

    ComPtr<IEnumCaxDocuments> documents;
    ASSERT_EQ(S_OK, app->EnumDocuments(documents.Put()));
    std::vector<std::wstring> names;
    ComPtr<ICaxDocument> next;
    LONG fetched = 0;
    EXPECT_EQ(E_INVALIDARG, documents->Next(2, next.Put(), &fetched));
    while (documents->Next(1, next.Put(), &fetched) == S_OK) names.push_back(NameOf(next.Get()));
    EXPECT_EQ((std::vector<std::wstring>{L"plate.sldprt", L"clamp.sldasm"}), names);
    EXPECT_EQ(S_FALSE, documents->Next(1, next.Put(), &fetched));
    EXPECT_EQ(0, fetched);

    ComPtr<ICaxDocument> active;
    ASSERT_EQ(S_OK, app->ActiveDocument(active.Put()));
    EXPECT_EQ(plate.Get(), active.Get());
    UniqueBstr path;
    ASSERT_EQ(S_OK, clamp->FullPath(path.Put()));
    EXPECT_EQ(samples.File(L"clamp.sldasm"), path.Str());
    EXPECT_EQ(S_OK, app->CloseDocument(path.Get()));                        // by full path
    EXPECT_EQ(S_OK, app->CloseDocument(Bstr(L"plate.sldprt").Get()));       // by name text
    EXPECT_EQ(E_INVALIDARG, app->CloseDocument(Bstr(L"plate.sldprt").Get()));  // no longer open
    EXPECT_EQ(S_FALSE, app->ActiveDocument(active.Put()));
}

TEST_F(SimulatorInProcess, DependenciesListEachComponentOnceAsNameAndFullPath) {
    struct Case {
        const wchar_t* name;
        long type;
        std::vector<std::wstring> expected;
    } cases[] = {
        {L"plate.sldprt", 1, {}},
        {L"clamp.sldasm", 2,
         {L"plate.sldprt", samples.File(L"plate.sldprt"), L"bolt.sldprt", samples.File(L"bolt.sldprt")}},
        {L"clamp.slddrw", 3, {L"clamp.sldasm", samples.File(L"clamp.sldasm")}},
    };
    for (const Case& c : cases) {
        ComPtr<ICaxDocument> document = Open(c.name, c.type);
        ASSERT_TRUE(document);
        UniqueVariant list;
        ASSERT_EQ(S_OK, document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Put()));
        EXPECT_EQ(c.expected, StringsOf(list.Get())) << c.name;
    }
}

TEST_F(SimulatorInProcess, SaveWritesTheFile) {
    ComPtr<ICaxDocument> bolt = Open(L"bolt.sldprt", 1);
    ASSERT_TRUE(DeleteFileW(samples.File(L"bolt.sldprt").c_str()));
    LONG result = -1;
    EXPECT_EQ(S_OK, bolt->Save(VARIANT_TRUE, &result));
    EXPECT_EQ(0, result);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(samples.File(L"bolt.sldprt").c_str()));
}

TEST_F(SimulatorInProcess, InjectedFaultsAndTheCallLog) {
    // Unknown names and results an entry does not have are refused, not silently ignored.
    EXPECT_EQ(E_INVALIDARG, control->FailEntry(Bstr(L"ISldWorks.Visibel.get").Get(), E_FAIL, SimAlways));
    EXPECT_EQ(E_INVALIDARG, control->NullResult(Bstr(L"ISldWorks.Visible.get").Get(), SimAlways));
    EXPECT_EQ(E_INVALIDARG, control->DelayEntry(Bstr(L"IFrame.GetHWnd").Get(), -1, SimOnce));

    ASSERT_EQ(S_OK, control->FailEntry(Bstr(L"ISldWorks.Visible.get").Get(), RPC_E_CALL_REJECTED, SimOnce));
    ASSERT_EQ(S_OK, control->NullResult(Bstr(L"ISldWorks.Frame").Get(), SimAlways));
    ASSERT_EQ(S_OK, control->DelayEntry(Bstr(L"ISldWorks.UserControl.put").Get(), 200, SimOnce));
    VARIANT_BOOL visible = VARIANT_TRUE;
    EXPECT_EQ(RPC_E_CALL_REJECTED, app->get_Visible(&visible));
    EXPECT_EQ(S_OK, app->get_Visible(&visible));  // once only
    EXPECT_EQ(VARIANT_FALSE, visible);
    for (int i = 0; i < 2; ++i) {
        ComPtr<IDispatch> frame;
        EXPECT_EQ(S_OK, app->Frame(frame.Put()));
        EXPECT_FALSE(frame);
    }
    const DWORD start = GetTickCount();
    EXPECT_EQ(S_OK, app->put_UserControl(VARIANT_TRUE));
    EXPECT_GE(GetTickCount() - start, 180u);

    LONG id = 0;
    ASSERT_EQ(S_OK, control->get_InstanceId(&id));
    const std::wstring i = std::to_wstring(id) + L"\t";
    EXPECT_EQ(i + L"ISldWorks.Visible.get()\n" + i + L"ISldWorks.Visible.get()\n" + i + L"ISldWorks.Frame()\n" + i +
                  L"ISldWorks.Frame()\n" + i + L"ISldWorks.UserControl.put(-1)\n",
              CallLog(control.Get()));
    ASSERT_EQ(S_OK, control->Reset());
    EXPECT_EQ(L"", CallLog(control.Get()));
    ComPtr<IDispatch> frame;
    ComPtr<IFrame> iframe;
    ASSERT_EQ(S_OK, app->Frame(frame.Put()));
    ASSERT_EQ(S_OK, frame.As(iframe));
    LONG handle = 0;
    ASSERT_EQ(S_OK, iframe->GetHWnd(&handle));
    EXPECT_TRUE(IsWindow(reinterpret_cast<HWND>(static_cast<LONG_PTR>(handle))));
    EXPECT_EQ(i + L"ISldWorks.Frame()\n" + i + L"IFrame.GetHWnd()\n", CallLog(control.Get()));
}

TEST_F(SimulatorInProcess, DependenciesAndLoadStatusAsInjected) {
    ComPtr<ICaxDocument> clamp = Open(L"clamp.sldasm", 2);
    UniqueVariant number;
    V_VT(number.Ptr()) = VT_I4;
    ASSERT_EQ(S_OK, control->SetDependencies(number.Get(), SimOnce));
    UniqueVariant list;
    ASSERT_EQ(S_OK, clamp->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Put()));
    EXPECT_EQ(VT_I4, V_VT(&list.Get()));
    ASSERT_EQ(S_OK, clamp->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Put()));
    EXPECT_EQ(4u, StringsOf(list.Get()).size());  // once only: the file's list again

    LONG status = -1;
    ASSERT_EQ(S_OK, control->SetLoadAddInStatus(1, SimOnce));
    EXPECT_EQ(S_OK, app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status));
    EXPECT_EQ(1, status);
    ComPtr<IDispatch> none;
    EXPECT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), none.Put()));
    EXPECT_FALSE(none);  // nothing loaded
    EXPECT_EQ(S_OK, app->LoadAddIn(Bstr(samples.File(L"plate.sldprt")).Get(), &status));
    EXPECT_EQ(1, status);  // not a module
}

TEST_F(SimulatorInProcess, AddInModuleAnswersByNameAndEarlyBound) {
    ComPtr<ISwAddIn> addIn = LoadedAddIn();
    ASSERT_TRUE(addIn);
    LONG status = -1;
    EXPECT_EQ(S_OK, app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status));
    EXPECT_EQ(2, status);  // already loaded

    CountedDispatch host;
    EXPECT_EQ(S_OK, addIn->SetLanguageXml(Bstr(L"<lang>\n</lang>").Get()));
    EXPECT_EQ(S_OK, addIn->SetHostObject(&host));
    EXPECT_EQ(S_OK, addIn->SetAppHandle(Bstr(L"65552").Get()));
    EXPECT_EQ(S_OK, addIn->SetAddInArgument(nullptr));
    EXPECT_EQ(2u, host.references);  // kept until Disconnect
    UniqueBstr configuration;
    ASSERT_EQ(S_OK, control->AddInConfiguration(configuration.Put()));
    EXPECT_EQ(L"ISwAddIn.SetLanguageXml\t'<lang>\\n</lang>'\nISwAddIn.SetHostObject\tobject\n"
              L"ISwAddIn.SetAppHandle\t'65552'\nISwAddIn.SetAddInArgument\tnull\n",
              configuration.Str());

    // A method failure injected through the application reaches the module's object.
    ASSERT_EQ(S_OK, control->FailAddInMethod(Bstr(L"CreateMenu").Get(), E_FAIL, 7, Bstr(L"no menu").Get(), SimOnce));
    EXPECT_EQ(E_INVALIDARG, control->FailAddInMethod(Bstr(L"Explode").Get(), E_FAIL, 7, nullptr, SimOnce));
    EXCEPINFO exception = {};
    UniqueVariant result;
    EXPECT_EQ(DISP_E_EXCEPTION, CallByName(addIn.Get(), L"CreateMenu", DISPATCH_METHOD, {L"m"}, result.Put(), &exception));
    EXPECT_EQ(L"no menu", UniqueBstr(exception.bstrDescription).Str());
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
    EXPECT_EQ(S_OK, CallByName(addIn.Get(), L"errNumber", DISPATCH_PROPERTYGET, {}, result.Put(), nullptr));
    EXPECT_EQ(7, V_I4(&result.Get()));
    EXPECT_EQ(S_OK, CallByName(addIn.Get(), L"CreateMenu", DISPATCH_METHOD, {L"m"}, result.Put(), nullptr));
    EXPECT_EQ(S_OK, CallByName(addIn.Get(), L"RefreshTable", DISPATCH_METHOD, {L"a", L"b"}, result.Put(), nullptr));

    // An early-bound failure leaves error information for ISupportErrorInfo callers.
    ASSERT_EQ(S_OK, control->FailEntry(Bstr(L"ISwAddIn.SetAppHandle").Get(), E_ACCESSDENIED, SimOnce));
    EXPECT_EQ(E_ACCESSDENIED, addIn->SetAppHandle(Bstr(L"1").Get()));
    ComPtr<ISupportErrorInfo> supports;
    ASSERT_EQ(S_OK, addIn.As(supports));
    EXPECT_EQ(S_OK, supports->InterfaceSupportsErrorInfo(__uuidof(ISwAddIn)));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.Put()));
    UniqueBstr description;
    info->GetDescription(description.Put());
    EXPECT_NE(std::wstring::npos, description.Str().find(L"ISwAddIn.SetAppHandle"));

    const std::wstring log = CallLog(control.Get());
    EXPECT_NE(std::wstring::npos, log.find(L"\tISwAddIn.RefreshTable('a', 'b')\n")) << log;
    EXPECT_EQ(S_OK, addIn->Disconnect());
    EXPECT_EQ(1u, host.references);  // the host's object given back
}

TEST_F(SimulatorInProcess, ObjectCountsReturnToBaselineWhenClientsLetGo) {
    const std::wstring baseline = Counts(control.Get());
    EXPECT_EQ(L"application 1 2\nframe 0 0\ndocument 0 0\nenumerator 0 0\naddin 0 0\n", baseline);
    {
        ComPtr<ICaxDocument> clamp = Open(L"clamp.sldasm", 2), plate = Open(L"plate.sldprt", 1);
        ComPtr<IDispatch> frame;
        ASSERT_EQ(S_OK, app->Frame(frame.Put()));
        ComPtr<IEnumCaxDocuments> documents;
        ASSERT_EQ(S_OK, app->EnumDocuments(documents.Put()));
        ComPtr<ISwAddIn> addIn = LoadedAddIn();
        EXPECT_EQ(L"application 1 2\nframe 1 1\ndocument 2 2\nenumerator 1 1\naddin 1 1\n", Counts(control.Get()));
        EXPECT_EQ(S_OK, app->CloseDocument(Bstr(L"plate.sldprt").Get()));
    }
    // The documents stay open in the application, the loaded add-in stays loaded: neither counts.
    EXPECT_EQ(L"application 1 2\nframe 0 0\ndocument 1 0\nenumerator 0 0\naddin 1 0\n", Counts(control.Get()));
}

}  // namespace
