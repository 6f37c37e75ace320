// The simulated CAD application as a local server, from a client process: activation by ProgID, extra
// instances in the running-object table, every entry the library calls through the typelib-marshaled
// interfaces, the add-in loaded into the server, fault injection and reference accounting. The server
// is registered machine-wide in the test prefix by the fixture "simulator" (Wine 8 ignores per-user
// classes; see SimulatorRegistrationScope).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "counted_dispatch.h"
#include "sim_test_support.h"

namespace {

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

HRESULT Activate(const wchar_t* progId, ComPtr<ISldWorks>& app) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISldWorks), reinterpret_cast<void**>(app.Put()));
}

LONG WindowOf(ISldWorks* app) {
    ComPtr<IDispatch> frame;
    ComPtr<IFrame> iframe;
    LONG handle = 0;
    EXPECT_EQ(S_OK, app->Frame(frame.Put()));
    // Across processes the IDispatch result is a bare dispatch proxy: the real interface is queried.
    EXPECT_EQ(S_OK, frame.As(iframe));
    if (iframe) {
        EXPECT_EQ(S_OK, iframe->GetHWnd(&handle));
    }
    return handle;
}

class SimulatorServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(S_OK, Activate(L"SldWorks.Application.24", app));
        activationMs = MillisecondsSince(start);
        ASSERT_EQ(S_OK, app.As(control));
        ASSERT_EQ(S_OK, control->Reset());
    }
    void TearDown() override {
        control.Reset();
        app.Reset();
        CoUninitialize();
    }
    std::wstring AddInPath() { return TestProgramDirectory() + L"..\\BrivexSw18_x64.dll"; }

    double activationMs = 0;
    SampleFolder samples;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
};

TEST_F(SimulatorServer, ActivationReachesTheOneApplicationAndStartsAnewAfterQuit) {
    LONG first = 0, second = 0;
    ASSERT_EQ(S_OK, control->get_InstanceId(&first));
    ComPtr<ISldWorks> again;
    ComPtr<ISimControl> againControl;
    ASSERT_EQ(S_OK, Activate(L"SldWorks.Application.24", again));
    ASSERT_EQ(S_OK, again.As(againControl));
    ASSERT_EQ(S_OK, againControl->get_InstanceId(&second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(WindowOf(app.Get()), WindowOf(again.Get()));
    again.Reset();
    againControl.Reset();

    // An explicit quit ends the server; the next activation starts a new one.
    EXPECT_EQ(S_OK, control->Quit());
    control.Reset();
    app.Reset();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(S_OK, Activate(L"SldWorks.Application.24", app));
    const double coldStartMs = MillisecondsSince(start);
    ASSERT_EQ(S_OK, app.As(control));
    ASSERT_EQ(S_OK, control->get_InstanceId(&second));
    EXPECT_NE(first, second);
    std::printf("measured: server start on activation %.0f ms\n", coldStartMs);
}

// Two additional instances beside the activated one, each found by its window handle in a walk of the
// running-object table, as the connector attaches to a chosen instance.
TEST_F(SimulatorServer, ExtraInstancesAreFoundInTheRunningObjectTableByWindowHandle) {
    struct Process {
        PROCESS_INFORMATION info{};
        ~Process() {
            if (info.hProcess == nullptr) return;
            // Quit asked below; a server that did not end is ended here (a process this test started).
            if (WaitForSingleObject(info.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    } processes[2];
    const std::wstring program = TestProgramDirectory() + L"..\\simulator\\qarcadsim.exe";
    const auto start = std::chrono::steady_clock::now();
    for (Process& process : processes) {
        std::wstring commandLine = L"\"" + program + L"\" /instance /lifetime:60";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &process.info));
    }

    // handle -> application, from a walk of the table like the connector's.
    std::map<LONG, ComPtr<ISldWorks>> found;
    ComPtr<IRunningObjectTable> table;
    ASSERT_EQ(S_OK, GetRunningObjectTable(0, table.Put()));
    for (int attempt = 0; attempt < 100 && found.size() < 3; ++attempt) {
        if (attempt > 0) Sleep(100);
        found.clear();
        ComPtr<IEnumMoniker> monikers;
        ASSERT_EQ(S_OK, table->EnumRunning(monikers.Put()));
        ComPtr<IMoniker> moniker;
        while (monikers->Next(1, moniker.Put(), nullptr) == S_OK) {
            ComPtr<IUnknown> object;
            ComPtr<ISldWorks> candidate;
            if (table->GetObject(moniker.Get(), object.Put()) != S_OK || FAILED(object.As(candidate))) continue;
            found[WindowOf(candidate.Get())] = candidate;
        }
    }
    std::printf("measured: two /instance servers in the table after %.0f ms\n", MillisecondsSince(start));
    ASSERT_EQ(3u, found.size()) << "three instances with distinct window handles";
    const LONG activated = WindowOf(app.Get());
    EXPECT_EQ(1u, found.count(activated));
    std::set<LONG> ids;
    for (auto& [handle, instance] : found) {
        ComPtr<ISimControl> instanceControl;
        ASSERT_EQ(S_OK, instance.As(instanceControl));
        LONG id = 0;
        ASSERT_EQ(S_OK, instanceControl->get_InstanceId(&id));
        ids.insert(id);
        EXPECT_EQ(handle, WindowOf(instance.Get()));
        if (handle != activated) {
            EXPECT_EQ(S_OK, instanceControl->Quit());
        }
    }
    EXPECT_EQ(3u, ids.size());
}

TEST_F(SimulatorServer, EveryEntryWorksThroughTheGeneratedInterfaces) {
    VARIANT_BOOL flag = VARIANT_FALSE;
    EXPECT_EQ(S_OK, app->put_Visible(VARIANT_TRUE));
    EXPECT_EQ(S_OK, app->get_Visible(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    EXPECT_EQ(S_OK, app->put_UserControl(VARIANT_TRUE));
    EXPECT_EQ(S_OK, app->get_UserControl(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);

    const std::wstring assembly = samples.File(L"clamp.sldasm");
    ComPtr<ICaxDocument> document, active;
    ASSERT_EQ(S_OK, app->OpenDocument(Bstr(assembly).Get(), 2, document.Put()));
    ComPtr<IDispatch> activated;
    EXPECT_EQ(S_OK, app->ActivateDocument(Bstr(assembly).Get(), activated.Put()));
    ASSERT_EQ(S_OK, app->ActiveDocument(active.Put()));
    UniqueBstr name, path;
    ASSERT_EQ(S_OK, active->NameText(name.Put()));
    ASSERT_EQ(S_OK, active->FullPath(path.Put()));
    EXPECT_EQ(L"clamp.sldasm", name.Str());
    EXPECT_EQ(assembly, path.Str());
    UniqueVariant list;
    ASSERT_EQ(S_OK, document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Put()));
    EXPECT_EQ((std::vector<std::wstring>{L"plate.sldprt", samples.File(L"plate.sldprt"), L"bolt.sldprt",
                                         samples.File(L"bolt.sldprt")}),
              StringsOf(list.Get()));
    LONG saved = -1;
    EXPECT_EQ(S_OK, document->Save(VARIANT_TRUE, &saved));
    EXPECT_EQ(0, saved);

    ComPtr<IEnumCaxDocuments> documents;
    ASSERT_EQ(S_OK, app->EnumDocuments(documents.Put()));
    ComPtr<ICaxDocument> next;
    LONG fetched = 0;
    EXPECT_EQ(S_OK, documents->Next(1, next.Put(), &fetched));
    EXPECT_EQ(1, fetched);
    EXPECT_EQ(S_FALSE, documents->Next(1, next.Put(), &fetched));
    EXPECT_EQ(S_OK, document->PrepareClose());
    EXPECT_EQ(S_OK, app->CloseDocument(name.Get()));
    EXPECT_EQ(S_FALSE, app->ActiveDocument(active.Put()));

    // One early-bound round trip, averaged.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) app->get_Visible(&flag);
    std::printf("measured: activation %.0f ms, early-bound round trip %.2f ms\n", activationMs,
                MillisecondsSince(start) / 200);
}

TEST_F(SimulatorServer, AddInLoadsIntoTheServerAndAnswersLateAndEarlyBound) {
    LONG status = -1;
    ASSERT_EQ(S_OK, app->LoadAddIn(Bstr(AddInPath()).Get(), &status));
    ASSERT_TRUE(status == 0 || status == 2) << status;  // an earlier test may have loaded it already
    ComPtr<IDispatch> object;
    ComPtr<ISwAddIn> addIn;
    ASSERT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), object.Put()));
    ASSERT_EQ(S_OK, object.As(addIn));

    CountedDispatch host;  // lives in this process: the add-in holds a proxy to it
    EXPECT_EQ(S_OK, addIn->SetLanguageXml(Bstr(L"<x/>").Get()));
    EXPECT_EQ(S_OK, addIn->SetHostObject(&host));
    EXPECT_EQ(S_OK, addIn->SetAppHandle(Bstr(L"42").Get()));
    EXPECT_EQ(S_OK, addIn->SetAddInArgument(Bstr(L"arg").Get()));
    EXPECT_LT(1u, host.references);
    UniqueBstr configuration;
    ASSERT_EQ(S_OK, control->AddInConfiguration(configuration.Put()));
    EXPECT_EQ(L"ISwAddIn.SetLanguageXml\t'<x/>'\nISwAddIn.SetHostObject\tobject\nISwAddIn.SetAppHandle\t'42'\n"
              L"ISwAddIn.SetAddInArgument\t'arg'\n",
              configuration.Str());

    // Late bound: success, then an injected failure whose description crosses in EXCEPINFO.
    UniqueVariant result;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(S_OK, CallByName(object.Get(), L"UpdateTable", DISPATCH_METHOD, {L"a", L"b"}, result.Put(), nullptr));
    }
    std::printf("measured: late-bound lookup and call %.2f ms\n", MillisecondsSince(start) / 50);
    ASSERT_EQ(S_OK, control->FailAddInMethod(Bstr(L"RefreshTable").Get(), E_FAIL, 12, Bstr(L"table locked").Get(),
                                             SimOnce));
    EXCEPINFO exception = {};
    EXPECT_EQ(DISP_E_EXCEPTION,
              CallByName(object.Get(), L"RefreshTable", DISPATCH_METHOD, {L"a", L"b"}, result.Put(), &exception));
    EXPECT_EQ(L"table locked", UniqueBstr(exception.bstrDescription).Str());
    UniqueBstr(exception.bstrSource).Reset();
    UniqueBstr(exception.bstrHelpFile).Reset();
    ASSERT_EQ(S_OK, CallByName(object.Get(), L"errDescription", DISPATCH_PROPERTYGET, {}, result.Put(), nullptr));
    EXPECT_EQ(L"table locked", std::wstring(V_BSTR(&result.Get())));

    // Early bound: the HRESULT crosses; the error information does only on Windows.
    ASSERT_EQ(S_OK, control->FailEntry(Bstr(L"ISwAddIn.SetAppHandle").Get(), E_ACCESSDENIED, SimOnce));
    EXPECT_EQ(E_ACCESSDENIED, addIn->SetAppHandle(Bstr(L"42").Get()));
    ComPtr<ISupportErrorInfo> supports;
    ASSERT_EQ(S_OK, addIn.As(supports));
    EXPECT_EQ(S_OK, supports->InterfaceSupportsErrorInfo(__uuidof(ISwAddIn)));
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(UnderWine() ? S_FALSE : S_OK, GetErrorInfo(0, info.Put()))
        << "Wine's channel does not carry error information of a failed early-bound call";

    EXPECT_EQ(S_OK, addIn->Disconnect());
    EXPECT_EQ(1u, host.references);  // every reference to the host's object given back
}

// Each kind of injection, across the process boundary.
TEST_F(SimulatorServer, InjectedFaultsReachTheClient) {
    ASSERT_EQ(S_OK, control->FailEntry(Bstr(L"ISldWorks.Visible.get").Get(), RPC_E_SERVERCALL_RETRYLATER, SimOnce));
    ASSERT_EQ(S_OK, control->NullResult(Bstr(L"ISldWorks.ActiveDocument").Get(), SimAlways));
    ASSERT_EQ(S_OK, control->DelayEntry(Bstr(L"IFrame.GetHWnd").Get(), 300, SimOnce));
    ASSERT_EQ(S_OK, control->SetLoadAddInStatus(1, SimAlways));
    VARIANT_BOOL visible;
    EXPECT_EQ(RPC_E_SERVERCALL_RETRYLATER, app->get_Visible(&visible));
    EXPECT_EQ(S_OK, app->get_Visible(&visible));
    ComPtr<ICaxDocument> document;
    ASSERT_EQ(S_OK, app->OpenDocument(Bstr(samples.File(L"plate.sldprt")).Get(), 1, document.Put()));
    ComPtr<ICaxDocument> active;
    EXPECT_EQ(S_OK, app->ActiveDocument(active.Put()));
    EXPECT_FALSE(active);
    const auto start = std::chrono::steady_clock::now();
    WindowOf(app.Get());
    EXPECT_GE(MillisecondsSince(start), 290);
    LONG status = -1;
    EXPECT_EQ(S_OK, app->LoadAddIn(Bstr(AddInPath()).Get(), &status));
    EXPECT_EQ(1, status);
    EXPECT_EQ(E_INVALIDARG, control->FailEntry(Bstr(L"ISldWorks.NoSuchEntry").Get(), E_FAIL, SimOnce));

    LONG id = 0;
    ASSERT_EQ(S_OK, control->get_InstanceId(&id));
    const std::wstring log = CallLog(control.Get()), i = std::to_wstring(id) + L"\t";
    std::wstring quotedPath;  // the log escapes backslashes
    for (wchar_t c : samples.File(L"plate.sldprt")) quotedPath += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    EXPECT_NE(std::wstring::npos, log.find(i + L"ISldWorks.OpenDocument('" + quotedPath + L"', 1)\n")) << log;
    EXPECT_EQ(S_OK, app->CloseDocument(Bstr(L"plate.sldprt").Get()));
}

TEST_F(SimulatorServer, ObjectCountsReturnToTheirBaselineAfterTheClientLetsGo) {
    const std::wstring baseline = Counts(control.Get());
    {
        ComPtr<ICaxDocument> document;
        ASSERT_EQ(S_OK, app->OpenDocument(Bstr(samples.File(L"bolt.sldprt")).Get(), 1, document.Put()));
        ComPtr<IEnumCaxDocuments> documents;
        ASSERT_EQ(S_OK, app->EnumDocuments(documents.Put()));
        ComPtr<ICaxDocument> next;
        LONG fetched = 0;
        ASSERT_EQ(S_OK, documents->Next(1, next.Put(), &fetched));
        WindowOf(app.Get());
        EXPECT_NE(baseline, Counts(control.Get()));
        EXPECT_EQ(S_OK, app->CloseDocument(Bstr(samples.File(L"bolt.sldprt")).Get()));
    }
    EXPECT_EQ(baseline, Counts(control.Get()));
    EXPECT_NE(std::wstring::npos, baseline.find(L"frame 0 0\ndocument 0 0\nenumerator 0 0\n")) << baseline;
}

// qarcadsim.exe with `arguments`, to its end; its exit code.
DWORD RunSimulator(const std::wstring& arguments) {
    const std::wstring program = TestProgramDirectory() + L"..\\simulator\\qarcadsim.exe";
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return GetLastError();
    }
    DWORD code = 1;
    if (WaitForSingleObject(info.hProcess, 30000) != WAIT_OBJECT_0 || !GetExitCodeProcess(info.hProcess, &code)) {
        code = 1;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return code;
}

// What the tests register is machine-wide, because Wine 8 looks up classes only there. A per-user
// registration (HKCU\Software\Classes) reaches ProgID lookup on Windows only.
TEST(SimulatorRegistrationScope, PerUserClassesReachProgIdLookupOnWindowsOnly) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CLSID clsid;
    ASSERT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(L"SldWorks.Application.20", &clsid));
    ASSERT_EQ(0u, RunSimulator(L"/regserver /user \"/version:SolidWorks 2012\""));
    const HRESULT perUser = CLSIDFromProgID(L"SldWorks.Application.20", &clsid);
    EXPECT_EQ(0u, RunSimulator(L"/unregserver /user"));
    EXPECT_EQ(UnderWine() ? CO_E_CLASSSTRING : S_OK, perUser) << "Wine 8 ignores HKCU\\Software\\Classes";
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(L"SldWorks.Application.20", &clsid));
    CoUninitialize();
}

}  // namespace
