// The automation layer's cost: the same session (connect, open, the dependencies of a 10,000-element
// list, a menu, save, close, release) from C++ through the library and through the automation
// server's IDispatch, names looked up for every call as a script does, against the simulated CAD
// application running in its own process. Both sessions alternate; medians are compared.
// Run on demand, with the simulator registered in the prefix (see bench/README.md):
//   cmake/wine-run.sh $P build/mingw/simulator/qarcadsim.exe /regserver /machine
//   QARCADSIM_LIFETIME=600 cmake/wine-run.sh $P build/mingw/automation_bench.exe [sessions] > bench.txt
// The program lies beside QarSldwInterface_x64.dll and QarSldwAutomation_x64.dll and loads the
// server from there (no registration needed).
#include <windows.h>

#include <QarSldwInterface.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "automation/qarsldw_automation.h"
#include "bench_timing.h"
#include "dependency_arrays.h"
#include "simulator/sim_control.h"

using qar::ComPtr;
using qar::UniqueSafeArray;

namespace {

constexpr LONG kElements = 10000;  // the application's dependency array: name, path, name, path, ...

// A call by name with at most one text argument, as a late-bound client makes it.
UniqueVariant ByName(IDispatch* target, const wchar_t* name, WORD flags,
                     const std::wstring* argument = nullptr) {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    Check(SUCCEEDED(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)), "GetIDsOfNames");
    UniqueVariant value;
    if (argument != nullptr) {
        V_VT(value.Ptr()) = VT_BSTR;
        V_BSTR(value.Ptr()) = UniqueBstr::Copy(*argument).Release();
    }
    DISPID put = DISPID_PROPERTYPUT;
    const bool putting = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params = {argument != nullptr ? value.Ptr() : nullptr, putting ? &put : nullptr,
                         argument != nullptr ? 1u : 0u, putting ? 1u : 0u};
    UniqueVariant result;
    const HRESULT hr =
        target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.Ptr(), nullptr, nullptr);
    if (FAILED(hr)) std::printf("%ls: 0x%08lX\n", name, static_cast<unsigned long>(hr));
    Check(SUCCEEDED(hr), "Invoke");
    return result;
}

// The session through the library; `files` receives the number of dependencies.
void LibrarySession(const std::wstring& document, size_t& files) {
    QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
    QARCAX::CaxCommand* made = nullptr;
    Check(connector.NewCommand(nullptr, made) == 0, "NewCommand");
    const std::unique_ptr<QARCAX::CaxCommand> command(made);
    std::wstring list, saved;
    Check(command->OpenFile(document) == 0, "OpenFile");
    Check(command->GetDependencies(list) == 0, "GetDependencies");
    Check(command->CreateMenu(L"PLM") == 0, "CreateMenu");
    Check(command->SaveFile(saved) == 0, "SaveFile");
    Check(command->CloseFile() == 0, "CloseFile");
    files = list.empty() ? 0 : static_cast<size_t>(std::count(list.begin(), list.end(), L'|')) + 1;
}

// The same session through the server's IDispatch.
void AutomationSession(IClassFactory* factory, const std::wstring& document, size_t& files) {
    ComPtr<IDispatch> connector;
    Check(
        SUCCEEDED(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(connector.Put()))),
        "CreateInstance");
    const std::wstring version = L"SolidWorks 2016", menu = L"PLM";
    ByName(connector.Get(), L"Version", DISPATCH_PROPERTYPUT, &version);
    const UniqueVariant command = ByName(connector.Get(), L"Connect", DISPATCH_METHOD);
    Check(V_VT(&command.Get()) == VT_DISPATCH, "Connect");
    IDispatch* const session = V_DISPATCH(&command.Get());
    ByName(session, L"OpenFile", DISPATCH_METHOD, &document);
    const UniqueVariant list = ByName(session, L"Dependencies", DISPATCH_PROPERTYGET);
    LONG lower = 0, count = 0;
    Check(UniqueSafeArray::IsVector(V_ARRAY(&list.Get()), VT_VARIANT, lower, count), "an array of VARIANT");
    files = static_cast<size_t>(count);
    ByName(session, L"CreateMenu", DISPATCH_METHOD, &menu);
    ByName(session, L"SaveFile", DISPATCH_METHOD);
    ByName(session, L"CloseFile", DISPATCH_METHOD);
}

// The registered simulator's control, its dependency list made `kElements` long.
ComPtr<ISimControl> PrepareSimulator() {
    CLSID clsid;
    ComPtr<ISimControl> control;
    Check(SUCCEEDED(CLSIDFromProgID(L"SldWorks.Application.24", &clsid)),
          "simulator registered (qarcadsim /regserver /machine)");
    Check(SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                     reinterpret_cast<void**>(control.Put()))),
          "activation");
    Elements elements(kElements);
    for (LONG i = 0; i < kElements; ++i) {
        elements[i] = (i % 2 == 0 ? L"part-" : L"C:\\Projects\\Pump\\parts\\part-") + std::to_wstring(i / 2) +
                      L".SLDPRT";
    }
    Check(SUCCEEDED(control->SetDependencies(DependencyArray(elements).Get(), SimAlways)), "SetDependencies");
    return control;
}

// The server's class object, from the module beside this program (loaded into `server`).
ComPtr<IClassFactory> ServerFactory(qar::UniqueModule& server) {
    server.Reset(LoadLibraryW(L"QarSldwAutomation_x64.dll"));
    const auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(server.Get(), "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    Check(getClassObject != nullptr && SUCCEEDED(getClassObject(CLSID_Connector, IID_IClassFactory,
                                                                reinterpret_cast<void**>(factory.Put()))),
          "QarSldwAutomation_x64.dll beside the program");
    return factory;
}

// `sessions` sessions each way, alternating, after one of each for first use; prints the medians.
void Compare(IClassFactory* factory, const std::wstring& document, int sessions) {
    size_t libraryFiles = 0, automationFiles = 0;
    LibrarySession(document, libraryFiles);  // first use: the add-in loads, caches fill
    AutomationSession(factory, document, automationFiles);
    std::printf("dependencies per session: library %zu, automation %zu (of %ld elements)\n", libraryFiles,
                automationFiles, kElements);
    Check(libraryFiles == kElements / 2 && automationFiles == kElements / 2, "every path listed once");
    std::vector<double> library, automation;
    for (int i = 0; i < sessions; ++i) {
        double start = Now();
        LibrarySession(document, libraryFiles);
        library.push_back(Now() - start);
        start = Now();
        AutomationSession(factory, document, automationFiles);
        automation.push_back(Now() - start);
    }
    std::sort(library.begin(), library.end());
    std::sort(automation.begin(), automation.end());
    const double cpp = library[library.size() / 2], dispatch = automation[automation.size() / 2];
    std::printf("%d sessions each, medians:\n%-40s %8.2f ms\n%-40s %8.2f ms\n%-40s %8.3f (goal 1.05) %s\n",
                sessions, "C++ through the library", cpp, "IDispatch through the automation server", dispatch,
                "ratio", dispatch / cpp, dispatch / cpp <= 1.05 ? "ok" : "OVER");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int sessions = argc > 1 ? _wtoi(argv[1]) : 30;
    Check(sessions > 0, "a positive number of sessions");
    Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), "CoInitializeEx");
    {
        const ComPtr<ISimControl> control = PrepareSimulator();
        // An empty assembly in a scratch folder: any file of the right extension opens.
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        const std::wstring document = temp + std::wstring(L"qar-automation-bench.sldasm");
        Check(qar::UniqueHandle(
                  CreateFileW(document.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr))
                  .
                  operator bool(),
              "scratch document");
        qar::UniqueModule server;
        Compare(ServerFactory(server).Get(), document, sessions);
        control->Reset();
        DeleteFileW(document.c_str());
    }
    CoUninitialize();
    return 0;
}
