// The automation server (QarSldwAutomation_x64.dll, loaded from beside this program with the library,
// the add-in module and the language folders) as late-bound clients see it: names looked up and
// invoked through IDispatch. In process against a simulated application in the running-object table
// that the connector attaches to by window handle; its registration against a redirected registry;
// a VBScript session run by Windows Script Host against the registered simulator and server.
#include <gtest/gtest.h>
#include <olectl.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "automation/qarsldw_automation.h"
#include "counted_dispatch.h"
#include "qar_c_api.h"
#include "registry_redirect.h"
#include "sim_test_support.h"
#include "simulator/sim_application.h"
#include "sldw/running_instances.h"

using qar::ComErrorMessage;
using qar::SystemMessageText;
using qar::TrimFinalLineBreak;

using qar::UniqueBstr;
using qar::UniqueSafeArray;
using qar::UniqueVariant;

namespace {

// The server's own codes (QarAutomationError in its type library).
constexpr HRESULT kLibraryFailure = MAKE_HRESULT(1, FACILITY_ITF, 0x201),
                  kNoAddIn = MAKE_HRESULT(1, FACILITY_ITF, 0x202),
                  kNotLoaded = MAKE_HRESULT(1, FACILITY_ITF, 0x203);

constexpr const wchar_t* kLibrary = L"QarSldwInterface_x64.dll";

template <class Function>
Function Entry(const wchar_t* module, const char* name) {
    const HMODULE loaded = LoadLibraryW((TestProgramDirectory() + module).c_str());  // stays loaded
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(loaded, name)));
}
HRESULT ServerEntry(const char* name) {
    return Entry<HRESULT(STDAPICALLTYPE*)()>(L"QarSldwAutomation_x64.dll", name)();
}

ComPtr<IDispatch> NewConnector() {
    ComPtr<IClassFactory> factory;
    ComPtr<IDispatch> connector;
    const auto get = Entry<decltype(&DllGetClassObject)>(L"QarSldwAutomation_x64.dll", "DllGetClassObject");
    if (SUCCEEDED(get(CLSID_Connector, IID_IClassFactory, reinterpret_cast<void**>(factory.Put()))))
        factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(connector.Put()));
    return connector;
}

// Arguments as clients pass them: `type` with the value `set` stores.
template <class Set>
UniqueVariant Arg(VARTYPE type, Set set) {
    UniqueVariant value;
    V_VT(value.Ptr()) = type;
    set(*value.Ptr());
    return value;
}
UniqueVariant Str(const wchar_t* text) {
    return Arg(VT_BSTR, [&](VARIANT& v) { V_BSTR(&v) = text != nullptr ? SysAllocString(text) : nullptr; });
}
UniqueVariant Num(LONG number) {
    return Arg(VT_I4, [&](VARIANT& v) { V_I4(&v) = number; });
}
UniqueVariant Obj(IUnknown* object, VARTYPE type = VT_DISPATCH) {
    if (object != nullptr) object->AddRef();
    return Arg(type, [&](VARIANT& v) { V_UNKNOWN(&v) = object; });
}
UniqueVariant Ref(VARIANT* inner) {
    return Arg(VT_BYREF | VT_VARIANT, [&](VARIANT& v) { V_VARIANTREF(&v) = inner; });
}

struct Answer {
    HRESULT hr = S_OK;
    UniqueVariant value;
    WORD code = 0;
    SCODE scode = 0;
    std::wstring source, description;

    static std::wstring TextOf(const VARIANT& v) {
        return V_VT(&v) == VT_BSTR ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"<no text>";
    }
    std::wstring Text() const { return TextOf(value.Get()); }
    LONG Number() const { return V_VT(&value.Get()) == VT_I4 ? V_I4(&value.Get()) : -12345; }
    ComPtr<IDispatch> Object() const {
        return ComPtr<IDispatch>(V_VT(&value.Get()) == VT_DISPATCH ? V_DISPATCH(&value.Get()) : nullptr);
    }
};

// A late-bound call as a script makes it: the name looked up, then Invoke with the arguments in the
// caller's order (DISPPARAMS holds them last first).
template <class... Args>
Answer Call(IDispatch* target, const wchar_t* name, WORD flags, const Args&... args) {
    Answer answer;
    DISPID id = DISPID_UNKNOWN, put = DISPID_PROPERTYPUT;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    answer.hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(answer.hr)) return answer;
    std::vector<VARIANT> raw = {args.Get()...};  // shallow: the owners outlive the call
    std::reverse(raw.begin(), raw.end());
    const UINT named = flags == DISPATCH_PROPERTYPUT ? 1 : 0;
    DISPPARAMS params = {raw.data(), named != 0 ? &put : nullptr, static_cast<UINT>(raw.size()), named};
    EXCEPINFO exception = {};
    answer.hr = target->Invoke(id, IID_NULL, 0, flags, &params, answer.value.Put(), &exception, nullptr);
    answer.code = exception.wCode;
    answer.scode = exception.scode;
    answer.source = UniqueBstr(exception.bstrSource).Str();
    answer.description = UniqueBstr(exception.bstrDescription).Str();
    UniqueBstr(exception.bstrHelpFile).Reset();
    return answer;
}
template <class... Args>
Answer Method(IDispatch* target, const wchar_t* name, const Args&... args) {
    return Call(target, name, DISPATCH_METHOD, args...);
}
Answer Get(IDispatch* target, const wchar_t* name) {
    return Call(target, name, DISPATCH_PROPERTYGET);
}
HRESULT Put(IDispatch* target, const wchar_t* name, const UniqueVariant& value) {
    return Call(target, name, DISPATCH_PROPERTYPUT, value).hr;
}

// The strings of an array after checking its shape: VARIANTs in one dimension from lower bound 0.
std::vector<std::wstring> Strings(const Answer& answer) {
    const VARIANT& value = answer.value.Get();
    LONG lower = -1, count = 0;
    if (V_VT(&value) != (VT_ARRAY | VT_VARIANT) ||
        !UniqueSafeArray::IsVector(V_ARRAY(&value), VT_VARIANT, lower, count) || lower != 0) {
        return {L"<no array of VARIANT from 0>"};
    }
    std::vector<std::wstring> strings;
    for (LONG i = 0; i < count; ++i)
        strings.push_back(Answer::TextOf(static_cast<const VARIANT*>(V_ARRAY(&value)->pvData)[i]));
    return strings;
}

// A simulated application in the running-object table and a connector set to attach to it by window
// handle. Afterwards the server holds no object (it may unload) and the application's client
// references are as before.
class AutomationInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ComPtr<IMoniker> moniker;
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, GetRunningObjectTable(0, table.Put()));
        ASSERT_EQ(S_OK, CreateItemMoniker(L"!", L"QarAutomationTest", moniker.Put()));
        ASSERT_EQ(S_OK, table->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, app.Get(), moniker.Get(), &cookie));
        ASSERT_EQ(S_OK, qar::MainWindowText(app.Get(), handleText));
        ASSERT_EQ(S_OK, app.As(control));
        baseline = ClientReferences(control.Get());
        connector = Connector();
        ASSERT_TRUE(connector);
    }
    void TearDown() override {
        connector.Reset();
        EXPECT_EQ(S_OK, ServerEntry("DllCanUnloadNow")) << "every object of the server is gone";
        EXPECT_EQ(baseline, ClientReferences(control.Get())) << "every reference given back";
        if (table) table->Revoke(cookie);
    }
    ComPtr<IDispatch> Connector() {
        ComPtr<IDispatch> made = NewConnector();
        if (made) Put(made.Get(), L"Version", Str(L"SolidWorks 2016"));
        if (made) Put(made.Get(), L"WindowHandle", Str(handleText.c_str()));
        return made;
    }
    std::wstring Log() { return CallLog(control.Get()); }

    ComApartment apartment;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
    ComPtr<IRunningObjectTable> table;
    DWORD cookie = 0;
    std::wstring baseline, handleText;
    ComPtr<IDispatch> connector;
    SampleFolder samples;
};

// A whole session by name: commands outlive their connector, a second connect's command works beside
// the first, lists arrive as arrays of strings (empty ones too), and the last release of a command
// deletes the library's command, which says "Disconnect" and lets go of the host. BusyTimeout: Connect
// and the commands it makes call again what a busy application refuses, each command with the value
// it was made with; the thread's own value (the host's) is back after each call.
TEST_F(AutomationInProcess, SessionArraysReferenceCountsAndBusyTimeouts) {
    const auto setTimeout = Entry<decltype(&qar_set_busy_timeout)>(kLibrary, "qar_set_busy_timeout");
    const auto getTimeout = Entry<decltype(&qar_get_busy_timeout)>(kLibrary, "qar_get_busy_timeout");
    const auto refuseOnce = [&](const wchar_t* entry) {
        return control->FailEntry(Bstr(entry).Get(), RPC_E_CALL_REJECTED, SimOnce);
    };
    ASSERT_EQ(0, setTimeout(777));
    CountedDispatch host;
    ASSERT_EQ(S_OK, Put(connector.Get(), L"BusyTimeout", Num(5000)));
    ASSERT_EQ(S_OK, refuseOnce(L"ISldWorks.UserControl.put"));
    const ComPtr<IDispatch> first = Method(connector.Get(), L"Connect", Obj(&host)).Object();
    ASSERT_EQ(S_OK, Put(connector.Get(), L"BusyTimeout", Num(0)));
    ComPtr<IDispatch> second = Method(connector.Get(), L"Connect").Object();
    ASSERT_TRUE(first && second);
    connector.Reset();
    ASSERT_EQ(S_OK, Method(first.Get(), L"OpenFile", Str(samples.File(L"clamp.sldasm").c_str())).hr);
    const std::vector<std::wstring> files = {samples.File(L"plate.sldprt"), samples.File(L"bolt.sldprt")};
    EXPECT_EQ(files, Strings(Get(first.Get(), L"Dependencies")));
    EXPECT_EQ(files[0] + L"|" + files[1], Get(first.Get(), L"DependencyText").Text());
    ASSERT_EQ(S_OK, refuseOnce(L"ICaxDocument.Save"));
    EXPECT_EQ(samples.File(L"clamp.sldasm"), Method(first.Get(), L"SaveFile").Text()) << "made with 5000 ms";
    ASSERT_EQ(S_OK, refuseOnce(L"ICaxDocument.Save"));
    EXPECT_EQ(kLibraryFailure, Method(second.Get(), L"SaveFile").scode) << "made with 0";
    EXPECT_EQ(S_OK, Method(second.Get(), L"CreateMenu", Str(L"second")).hr);
    unsigned long timeout = 0;
    EXPECT_TRUE(getTimeout(&timeout) == 0 && timeout == 777u) << "the host's own value: " << timeout;
    setTimeout(0);
    const UniqueVariant none =
        Arg(VT_ARRAY | VT_BSTR, [](VARIANT& v) { V_ARRAY(&v) = SafeArrayCreateVector(VT_BSTR, 0, 0); });
    ASSERT_EQ(S_OK, control->SetDependencies(none.Get(), SimAlways));
    EXPECT_EQ(std::vector<std::wstring>(), Strings(Get(first.Get(), L"Dependencies")));
    EXPECT_EQ(L"", Get(first.Get(), L"DependencyText").Text());

    ASSERT_EQ(S_OK, control->Reset());
    EXPECT_EQ(0u, second.Detach()->Release()) << "the caller held the only reference";
    EXPECT_EQ(L"ISwAddIn.Disconnect()\n", Log().substr(Log().find(L'\t') + 1));
    EXPECT_EQ(1u, host.references);
}

// Every failure arrives as DISP_E_EXCEPTION whose EXCEPINFO carries the failure's HRESULT, the
// library's message without its final line feed and the ProgID as source; ErrorCode and ErrorMessage
// keep the library's status record as it is, also after a later success. Early-bound the same failure
// is the HRESULT with the same error information. (An unregistered version is the script's case.)
TEST_F(AutomationInProcess, FailuresRaiseTheLibrarysMessage) {
    const std::wstring absent = samples.File(L"missing.sldasm"),
                       missing = SystemMessageText(ERROR_FILE_NOT_FOUND);
    const struct {
        std::function<HRESULT(ISimControl*)> inject;
        const wchar_t *method, *argument;
        SCODE scode;
        std::wstring description;
        LONG code;
        std::wstring record;  // the status record's message; "=" the description
    } rows[] = {
        {[](ISimControl* s) { return s->SetLoadAddInStatus(1, SimOnce); }, L"Connect", nullptr, kNotLoaded,
         L"LoadAddin " + TestProgramDirectory() + L"BrivexSw18_x64.dll failed.", 1, L"="},
        {[](ISimControl* s) { return s->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimOnce); },
         L"Connect", nullptr, kNoAddIn,
         L"QARCAX::SldwConnector::GetAddInObj():Get BrivexSw18.BrivexSw18 failed", -255, L"="},
        // Reported by its result alone: the description is the code's text, the record stays empty.
        {[](ISimControl* s) {
             return s->FailEntry(Bstr(L"ISldWorks.UserControl.put").Get(), E_ACCESSDENIED, SimOnce);
         },
         L"Connect", nullptr, E_ACCESSDENIED, TrimFinalLineBreak(SystemMessageText(E_ACCESSDENIED)), 0, L""},
        {[](ISimControl*) { return S_OK; }, L"OpenFile", absent.c_str(), kLibraryFailure,
         TrimFinalLineBreak(missing), -1, missing},
        {[](ISimControl* s) {
             return s->FailAddInMethod(Bstr(L"CreateMenu").Get(), E_FAIL, 42, Bstr(L"no").Get(), SimOnce);
         },
         L"CreateMenu", L"PLM", DISP_E_EXCEPTION, L"no", 42, L"="},
    };
    for (const auto& row : rows) {
        const bool connecting = std::wstring(row.method) == L"Connect";
        const ComPtr<IDispatch> fresh = Connector();
        const ComPtr<IDispatch> target = connecting ? fresh : Method(fresh.Get(), L"Connect").Object();
        ASSERT_TRUE(target);
        ASSERT_EQ(S_OK, row.inject(control.Get()));
        const Answer answer = row.argument != nullptr ? Method(target.Get(), row.method, Str(row.argument))
                                                      : Method(target.Get(), row.method);
        EXPECT_EQ(DISP_E_EXCEPTION, answer.hr) << row.scode;
        EXPECT_EQ(row.scode, answer.scode);
        EXPECT_EQ(0, answer.code);
        EXPECT_EQ(L"QarSldw.Connector", answer.source);
        EXPECT_EQ(row.description, answer.description);
        EXPECT_EQ(S_OK, Get(target.Get(), connecting ? L"CadType" : L"IsConnected").hr);
        EXPECT_EQ(row.code, Get(target.Get(), L"ErrorCode").Number()) << row.scode;
        EXPECT_EQ(row.record == L"=" ? row.description : row.record,
                  Get(target.Get(), L"ErrorMessage").Text());
    }

    ComPtr<IQarCommand> early;
    ComPtr<ISupportErrorInfo> supports;
    ComPtr<IErrorInfo> info;
    UniqueBstr description;
    ASSERT_EQ(S_OK, Method(connector.Get(), L"Connect").Object().As(early));
    EXPECT_EQ(kLibraryFailure, early->OpenFile(Bstr(absent).Get()));
    EXPECT_TRUE(early.As(supports) == S_OK && supports->InterfaceSupportsErrorInfo(IID_IQarCommand) == S_OK);
    EXPECT_TRUE(GetErrorInfo(0, info.Put()) == S_OK && info->GetDescription(description.Put()) == S_OK &&
                description.Str() == TrimFinalLineBreak(missing));
}

// Arguments are converted as automation converts them: a number where a text is expected becomes its
// text, a null text is "", a reference is followed; an array or a missing argument where a text is
// expected is refused with the standard code (the type library declares the types). Connect's host is
// an automation object or nothing, anything else is refused.
TEST_F(AutomationInProcess, ArgumentsAreConvertedOrRefused) {
    const ComPtr<IDispatch> command = Method(connector.Get(), L"Connect").Object();
    ASSERT_TRUE(command);
    UniqueVariant inner = Str(L"by reference");
    CountedDispatch object;
    ASSERT_EQ(S_OK, control->Reset());
    const struct {
        HRESULT expected, actual;
    } calls[] = {
        {S_OK, Method(command.Get(), L"RefreshTable", Num(-7), Str(nullptr)).hr},
        {S_OK, Method(command.Get(), L"CreateMenu", Ref(inner.Ptr())).hr},
        {DISP_E_TYPEMISMATCH,
         Method(command.Get(), L"CreateMenu",
                Arg(VT_ARRAY | VT_I4, [](VARIANT& v) { V_ARRAY(&v) = SafeArrayCreateVector(VT_I4, 0, 2); }))
             .hr},
        {DISP_E_BADPARAMCOUNT, Method(command.Get(), L"UpdateTable", Str(L"parts")).hr},
    };
    for (const auto& call : calls) EXPECT_EQ(call.expected, call.actual);
    const std::wstring log = Log();
    for (const wchar_t* call : {L"RefreshTable('-7', '')\n", L"CreateMenu('by reference')\n"}) {
        EXPECT_NE(std::wstring::npos, log.find(call)) << log;
    }
    EXPECT_EQ(2, std::count(log.begin(), log.end(), L'\n')) << "refused calls reach nobody";

    VARIANT byReference;
    V_VT(&byReference) = VT_DISPATCH;
    V_DISPATCH(&byReference) = &object;  // borrowed
    const std::pair<UniqueVariant, const wchar_t*> hosts[] = {
        {Obj(&object), L"object"},
        {Obj(&object, VT_UNKNOWN), L"object"},
        {Ref(&byReference), L"object"},
        {Arg(VT_ERROR, [](VARIANT& v) { V_ERROR(&v) = DISP_E_PARAMNOTFOUND; }),
         L"null"},  // a missing argument
        {Obj(nullptr), L"null"},
        {Num(5), nullptr},
    };
    for (const auto& [host, handed] : hosts) {
        ASSERT_EQ(S_OK, control->Reset());
        const Answer answer = Method(connector.Get(), L"Connect", host);
        EXPECT_EQ(handed != nullptr ? S_OK : DISP_E_TYPEMISMATCH,
                  handed != nullptr ? answer.hr : answer.scode);
        EXPECT_TRUE(handed == nullptr ||
                    Log().find(L"SetHostObject(" + std::wstring(handed)) != std::wstring::npos);
    }
    EXPECT_EQ(3u, object.references) << "two in the table above; every command let go of the host";

    EXPECT_EQ(E_INVALIDARG, Call(connector.Get(), L"BusyTimeout", DISPATCH_PROPERTYPUT, Num(-1)).scode);
}

// Against a redirected registry (the versions and the classes are the test's).
using AutomationRegistry = RegistryRedirect;

// The installed versions come each once, in the registry's order, as an array of strings; with
// Version "" a connect takes the latest (the activation's message names its ProgID).
TEST_F(AutomationRegistry, InstalledVersionsAndTheVersionAConnectChooses) {
    const ComPtr<IDispatch> connector = NewConnector();
    ASSERT_TRUE(connector);
    for (const wchar_t* version : {L"SolidWorks 2008", L"SolidWorks 2013", L"Tools"})
        AddKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\" + std::wstring(version));
    EXPECT_EQ((std::vector<std::wstring>{L"SolidWorks 2008", L"SolidWorks 2013"}),
              Strings(Method(connector.Get(), L"InstalledVersions", Num(3))));
    EXPECT_EQ(L"Start SldWorks.Application.21 failed," + ComErrorMessage(CO_E_CLASSSTRING),
              Method(connector.Get(), L"Connect").description);
}

// Machine-wide (DllRegisterServer) and per user (DllInstall "user") registration write the class, the
// ProgIDs, the type library and the interfaces under their own root only, and unregistration leaves
// both roots exactly as they were, keys that were there before included. Another program's key stops
// registration before it writes anything, and unregistration leaves it alone.
TEST_F(AutomationRegistry, RegistrationIsExactlyUndone) {
    const auto install =
        Entry<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(L"QarSldwAutomation_x64.dll", "DllInstall");
    const std::wstring module = TestProgramDirectory() + L"QarSldwAutomation_x64.dll",
                       classes = L"Software\\Classes\\";
    const std::pair<const wchar_t*, std::wstring> written[] = {
        {L"CLSID\\{226D21B3-6AF4-41B0-9221-BC6D241D30CE}\\InprocServer32", module},
        {L"TypeLib\\{1623AF82-6CC0-4734-9371-CFA2D3298D91}\\1.0\\0\\win64", module},
        {L"Interface\\{8152206F-852C-4439-B5B2-1E473664EE4E}\\ProxyStubClsid32",
         L"{00020424-0000-0000-C000-000000000046}"},
    };
    AddKey(HKEY_LOCAL_MACHINE, classes + L"CLSID\\{00000000-0000-0000-0000-000000000001}");
    const struct {
        HKEY root, other;
        std::function<HRESULT()> add, remove;
    } scopes[] = {
        {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, [] { return ServerEntry("DllRegisterServer"); },
         [] { return ServerEntry("DllUnregisterServer"); }},
        {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, [&] { return install(TRUE, L"user"); },
         [&] { return install(FALSE, L"USER"); }},
    };
    for (const auto& scope : scopes) {
        const std::wstring before = Tree(scope.root, L"Software"), other = Tree(scope.other, L"Software");
        ASSERT_EQ(S_OK, scope.add());
        for (const auto& [path, value] : written) EXPECT_EQ(value, Text(scope.root, classes + path, nullptr));
        EXPECT_EQ(other, Tree(scope.other, L"Software"));
        EXPECT_EQ(S_OK, scope.add()) << "again, over its own keys";
        EXPECT_EQ(S_OK, scope.remove());
        EXPECT_EQ(before, Tree(scope.root, L"Software"));
    }
    AddKey(HKEY_LOCAL_MACHINE, classes + L"QarSldw.Connector");
    const std::wstring foreign = Tree(HKEY_LOCAL_MACHINE, L"Software");
    EXPECT_EQ(SELFREG_E_CLASS, ServerEntry("DllRegisterServer"));
    EXPECT_EQ(S_OK, ServerEntry("DllUnregisterServer"));
    EXPECT_EQ(foreign, Tree(HKEY_LOCAL_MACHINE, L"Software"));
    EXPECT_EQ(E_INVALIDARG, install(TRUE, L"machine"));
}

// A VBScript session (tests/data/automation/session.vbs) run by Windows Script Host against the
// simulator registered in this prefix and the server registered machine-wide through the real
// regsvr32 (CTest fixtures): its transcript, and what the simulator received, in order, up to the
// "Disconnect" that releasing the command says.
TEST(AutomationScript, CscriptSessionAgainstTheRegisteredServers) {
    ComApartment apartment;
    const RegisteredSimulator simulator;
    ASSERT_EQ(S_OK, simulator.control->Reset());
    SampleFolder samples;
    int exitCode = -1;
    const std::string bytes = RunCommand(
        L"cscript.exe //nologo \"" + TestProgramDirectory() + L"session.vbs\" \"" + samples.Folder() + L"\"",
        exitCode);
    EXPECT_EQ(
        L"connected: True\r\ndepends on: " + samples.File(L"plate.sldprt") + L"\r\ndepends on: " +
            samples.File(L"bolt.sldprt") + L"\r\nsaved: " + samples.File(L"clamp.sldasm") +
            L"\r\nreleased\r\nerror 800401F3 from QarSldw.Connector: Start SldWorks.Application.38 failed," +
            ComErrorMessage(CO_E_CLASSSTRING) + L"\r\nerror 80040201 from QarSldw.Connector: " +
            TrimFinalLineBreak(SystemMessageText(ERROR_FILE_NOT_FOUND)) + L"\r\n",
        std::wstring(bytes.begin(), bytes.end()));  // ASCII only
    const std::wstring log = CallLog(simulator.control.Get());
    size_t at = 0;
    for (const wchar_t* call :
         {L"SetHostObject(object)", L"Dependencies(", L"CreateMenu('PLM')", L"RefreshTable('parts', '1')",
          L"Save(", L"CloseDocument(", L"Disconnect()", L"SetHostObject(null)"}) {
        at = log.find(call, at);
        EXPECT_NE(std::wstring::npos, at) << "in order: " << call << "\n" << log;
    }
}

}  // namespace
