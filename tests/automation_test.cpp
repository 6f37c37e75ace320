// The automation server (QarSldwAutomation_x64.dll, loaded from beside this program with the library,
// the add-in module and the language folders) as late-bound clients see it: names looked up and
// invoked through IDispatch. In process against a simulated application in the running-object table
// that the connector attaches to by window handle; its registration against a redirected registry;
// a VBScript session run by Windows Script Host against the registered simulator and server.
#include <gtest/gtest.h>
#include <olectl.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "automation/qarsldw_automation.h"
#include "counted_dispatch.h"
#include "registry_redirect.h"
#include "sim_test_support.h"
#include "simulator/sim_application.h"

namespace {

const std::wstring kSource = L"QarSldw.Connector";
// The server's own codes (QarAutomationError).
constexpr HRESULT kLibraryFailure = static_cast<HRESULT>(0x80040201L),
                  kNoAddIn = static_cast<HRESULT>(0x80040202L),
                  kAddInNotLoaded = static_cast<HRESULT>(0x80040203L);

HMODULE Server() {
    static const HMODULE module =
        LoadLibraryW((TestProgramDirectory() + L"QarSldwAutomation_x64.dll").c_str());
    return module;
}
template <class Function>
Function Entry(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(Server(), name)));
}
using Action = HRESULT(STDAPICALLTYPE*)();

ComPtr<IDispatch> NewConnector() {
    ComPtr<IClassFactory> factory;
    ComPtr<IDispatch> connector;
    const auto getClassObject =
        Entry<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    EXPECT_EQ(S_OK,
              getClassObject(CLSID_Connector, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())));
    if (factory) {
        EXPECT_EQ(S_OK,
                  factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(connector.Put())));
    }
    return connector;
}

// Arguments as clients pass them.
UniqueVariant Str(const wchar_t* text) {
    UniqueVariant value;
    V_VT(value.Ptr()) = VT_BSTR;
    V_BSTR(value.Ptr()) = text != nullptr ? SysAllocString(text) : nullptr;
    return value;
}
UniqueVariant Number(LONG number) {
    UniqueVariant value;
    V_VT(value.Ptr()) = VT_I4;
    V_I4(value.Ptr()) = number;
    return value;
}
UniqueVariant Object(IUnknown* object, VARTYPE type = VT_DISPATCH) {
    UniqueVariant value;
    V_VT(value.Ptr()) = type;
    V_UNKNOWN(value.Ptr()) = object;
    if (object != nullptr) object->AddRef();
    return value;
}
UniqueVariant Of(VARTYPE type, SCODE error = 0) {
    UniqueVariant value;
    V_VT(value.Ptr()) = type;
    if (type == VT_ERROR) V_ERROR(value.Ptr()) = error;
    if (type == (VT_ARRAY | VT_I4)) V_ARRAY(value.Ptr()) = SafeArrayCreateVector(VT_I4, 0, 2);
    return value;
}
UniqueVariant ByReference(VARIANT& inner) {
    UniqueVariant value;
    V_VT(value.Ptr()) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(value.Ptr()) = &inner;
    return value;
}

struct Answer {
    HRESULT hr = S_OK;
    UniqueVariant value;
    WORD code = 0;
    SCODE scode = 0;
    std::wstring source, description;
};

// A late-bound call as a script makes it: the name looked up, then Invoke with the arguments in the
// caller's order (DISPPARAMS holds them last first).
template <class... Args>
Answer Call(IDispatch* target, const wchar_t* name, WORD flags, const Args&... args) {
    Answer answer;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    answer.hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(answer.hr)) return answer;
    std::vector<VARIANT> raw = {args.Get()...};  // shallow: the owners outlive the call
    std::reverse(raw.begin(), raw.end());
    DISPID put = DISPID_PROPERTYPUT;
    const bool putting = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params = {raw.data(), putting ? &put : nullptr, static_cast<UINT>(raw.size()),
                         putting ? 1u : 0u};
    EXCEPINFO exception = {};
    answer.hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, answer.value.Put(),
                               &exception, nullptr);
    answer.code = exception.wCode;
    answer.scode = exception.scode;
    answer.source = UniqueBstr(exception.bstrSource).Str();
    answer.description = UniqueBstr(exception.bstrDescription).Str();
    UniqueBstr(exception.bstrHelpFile).Reset();
    return answer;
}
// A text result ("" for none).
std::wstring TextOf(const Answer& answer) {
    const VARIANT& value = answer.value.Get();
    return V_VT(&value) == VT_BSTR && V_BSTR(&value) != nullptr
               ? std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)))
               : std::wstring();
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

// The strings of an array of VARIANTs after checking its shape: one dimension, lower bound 0.
std::vector<std::wstring> Strings(const VARIANT& value) {
    std::vector<std::wstring> strings;
    LONG lower = -1, count = 0;
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, V_VT(&value));
    if (V_VT(&value) != (VT_ARRAY | VT_VARIANT) ||
        !UniqueSafeArray::IsVector(V_ARRAY(&value), VT_VARIANT, lower, count)) {
        return {L"<not a vector of VARIANT>"};
    }
    EXPECT_EQ(0, lower);
    for (LONG i = 0; i < count; ++i) {
        const VARIANT& element = static_cast<const VARIANT*>(V_ARRAY(&value)->pvData)[i];
        strings.push_back(V_VT(&element) == VT_BSTR
                              ? std::wstring(V_BSTR(&element), SysStringLen(V_BSTR(&element)))
                              : L"<no BSTR>");
    }
    return strings;
}

// A simulated application in the running-object table and a connector set to attach to it by its
// window handle. Afterwards the server holds no object (it may unload) and the application's client
// references are as before.
class AutomationInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_NE(nullptr, Server());
        ComPtr<IMoniker> moniker;
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, GetRunningObjectTable(0, table.Put()));
        ASSERT_EQ(S_OK, CreateItemMoniker(
                            L"!", (L"QarAutomationTest" + std::to_wstring(GetCurrentProcessId())).c_str(),
                            moniker.Put()));
        ASSERT_EQ(S_OK, table->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, app.Get(), moniker.Get(), &cookie));
        LONG handle = 0;
        {
            ComPtr<IDispatch> frameObject;
            ComPtr<IFrame> frame;
            ASSERT_EQ(S_OK, app->Frame(frameObject.Put()));
            ASSERT_EQ(S_OK, frameObject.As(frame));
            ASSERT_EQ(S_OK, frame->GetHWnd(&handle));
        }
        ASSERT_EQ(S_OK, app.As(control));
        baseline = ClientReferences(control.Get());
        handleText = DecimalText(handle);
        connector = Connector(handleText);
    }
    void TearDown() override {
        connector.Reset();
        EXPECT_EQ(S_OK, Entry<Action>("DllCanUnloadNow")()) << "every object of the server is gone";
        EXPECT_EQ(baseline, ClientReferences(control.Get())) << "every reference given back";
        if (table) table->Revoke(cookie);
        CoUninitialize();
    }
    ComPtr<IDispatch> Connector(const std::wstring& handle) {
        ComPtr<IDispatch> made = NewConnector();
        EXPECT_EQ(S_OK, Put(made.Get(), L"Version", Str(L"SolidWorks 2016")));
        EXPECT_EQ(S_OK, Put(made.Get(), L"WindowHandle", Str(handle.c_str())));
        return made;
    }
    // Connect's command, or null with the failure reported.
    template <class... Args>
    ComPtr<IDispatch> Connect(IDispatch* from, const Args&... host) {
        Answer answer = Method(from, L"Connect", host...);
        EXPECT_EQ(S_OK, answer.hr) << answer.description.c_str();
        return answer.hr == S_OK && V_VT(&answer.value.Get()) == VT_DISPATCH
                   ? ComPtr<IDispatch>(V_DISPATCH(&answer.value.Get()))
                   : ComPtr<IDispatch>();
    }
    std::wstring Log() { return CallLog(control.Get()); }

    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
    ComPtr<IRunningObjectTable> table;
    DWORD cookie = 0;
    std::wstring baseline, handleText;
    ComPtr<IDispatch> connector;
    SampleFolder samples;
};

bool Has(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

// A whole session by name: the command outlives its connector, a second command of a new connect
// works beside the first, lists arrive as arrays of strings (empty ones too), and the last release of
// a command deletes the library's command, which says "Disconnect" to the add-in.
TEST_F(AutomationInProcess, SessionArraysAndReferenceCounts) {
    CountedDispatch host;
    ComPtr<IDispatch> first = Connect(connector.Get(), Object(&host));
    ASSERT_TRUE(first);
    ComPtr<IDispatch> second = Connect(connector.Get());
    ASSERT_TRUE(second);
    connector.Reset();
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&Get(first.Get(), L"IsConnected").value.Get()));
    ASSERT_EQ(S_OK, Method(first.Get(), L"OpenFile", Str(samples.File(L"clamp.sldasm").c_str())).hr);
    const std::vector<std::wstring> expected = {samples.File(L"plate.sldprt"), samples.File(L"bolt.sldprt")};
    EXPECT_EQ(expected, Strings(Get(first.Get(), L"Dependencies").value.Get()));
    EXPECT_EQ(expected[0] + L"|" + expected[1], TextOf(Get(first.Get(), L"DependencyText")));
    EXPECT_EQ(samples.File(L"clamp.sldasm"), TextOf(Method(first.Get(), L"SaveFile")));
    EXPECT_EQ(S_OK, Method(second.Get(), L"CreateMenu", Str(L"second")).hr);
    ASSERT_EQ(S_OK, control->SetDependencies(Of(VT_ARRAY | VT_I4).Get(), SimOnce));
    EXPECT_EQ(DISP_E_EXCEPTION, Get(first.Get(), L"Dependencies").hr) << "numbers are no dependency list";
    UniqueVariant none;
    V_VT(none.Ptr()) = VT_ARRAY | VT_BSTR;
    V_ARRAY(none.Ptr()) = SafeArrayCreateVector(VT_BSTR, 0, 0);
    ASSERT_EQ(S_OK, control->SetDependencies(none.Get(), SimAlways));
    EXPECT_EQ(std::vector<std::wstring>(), Strings(Get(first.Get(), L"Dependencies").value.Get()));
    EXPECT_EQ(L"", TextOf(Get(first.Get(), L"DependencyText")));

    ASSERT_EQ(S_OK, control->Reset());
    EXPECT_EQ(0u, second.Detach()->Release()) << "the caller held the only reference";
    EXPECT_TRUE(Has(Log(), L"ISwAddIn.Disconnect()")) << Log();
    first.Reset();
    EXPECT_EQ(1u, host.references) << "the add-in let go of the host";
}

// Every failure arrives as DISP_E_EXCEPTION whose EXCEPINFO carries the failure's HRESULT, the
// library's message without its final line feed and the ProgID as source; ErrorCode and ErrorMessage
// keep the library's status record as it is, and a later success does not clear it. Early-bound the
// same failure is the HRESULT with the same error information.
TEST_F(AutomationInProcess, FailuresRaiseTheLibrarysMessage) {
    const std::wstring module = TestProgramDirectory() + L"BrivexSw18_x64.dll";
    const std::wstring absent = samples.File(L"missing.sldasm"),
                       missing = SystemMessageText(ERROR_FILE_NOT_FOUND);
    const auto connect = [](IDispatch* c) { return Method(c, L"Connect"); };
    const struct {
        const char* what;
        std::function<HRESULT(ISimControl*)> inject;
        bool onCommand;
        std::function<Answer(IDispatch*)> call;
        SCODE scode;
        std::wstring description;
        LONG code;
        std::wstring record;  // the record's message when it is not the description
    } rows[] = {
        {"unregistered version", nullptr, false,
         [](IDispatch* c) {
             Put(c, L"WindowHandle", Str(L""));
             Put(c, L"Version", Str(L"SolidWorks 2030"));
             return Method(c, L"Connect");
         },
         CO_E_CLASSSTRING, L"Start SldWorks.Application.38 failed," + ComErrorMessage(CO_E_CLASSSTRING), -1,
         L""},
        {"load status 1", [](ISimControl* s) { return s->SetLoadAddInStatus(1, SimOnce); }, false, connect,
         kAddInNotLoaded, L"LoadAddin " + module + L" failed.", 1, L""},
        {"no add-in object",
         [](ISimControl* s) { return s->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimOnce); }, false,
         connect, kNoAddIn, L"QARCAX::SldwConnector::GetAddInObj():Get BrivexSw18.BrivexSw18 failed", -255,
         L""},
        // The library reports this one by its result alone: the description is the code's text.
        {"user control refused",
         [](ISimControl* s) {
             return s->FailEntry(Bstr(L"ISldWorks.UserControl.put").Get(), E_ACCESSDENIED, SimOnce);
         },
         false, connect, E_ACCESSDENIED, TrimFinalLineBreak(SystemMessageText(E_ACCESSDENIED)), 0,
         L"(empty)"},
        {"missing file", nullptr, true,
         [&](IDispatch* m) { return Method(m, L"OpenFile", Str(absent.c_str())); }, kLibraryFailure,
         TrimFinalLineBreak(missing), -1, missing},
        {"nothing to close", nullptr, true, [](IDispatch* m) { return Method(m, L"CloseFile"); },
         kLibraryFailure,
         L"QARCAX::SldwCommand::CloseFile():close file failed, " + ComErrorMessage(E_POINTER) + L". ", -1,
         L""},
        {"add-in method",
         [](ISimControl* s) {
             return s->FailAddInMethod(Bstr(L"CreateMenu").Get(), E_FAIL, 42, Bstr(L"no menu").Get(),
                                       SimOnce);
         },
         true, [](IDispatch* m) { return Method(m, L"CreateMenu", Str(L"PLM")); }, DISP_E_EXCEPTION,
         L"no menu", 42, L""},
    };
    for (const auto& row : rows) {
        const ComPtr<IDispatch> fresh = Connector(handleText);
        const ComPtr<IDispatch> command = row.onCommand ? Connect(fresh.Get()) : ComPtr<IDispatch>();
        IDispatch* const target = row.onCommand ? command.Get() : fresh.Get();
        ASSERT_NE(nullptr, target) << row.what;
        if (row.inject) {
            ASSERT_EQ(S_OK, row.inject(control.Get())) << row.what;
        }
        const Answer answer = row.call(target);
        EXPECT_EQ(DISP_E_EXCEPTION, answer.hr) << row.what;
        EXPECT_EQ(row.scode, answer.scode) << row.what;
        EXPECT_EQ(0, answer.code) << row.what;
        EXPECT_EQ(kSource, answer.source) << row.what;
        EXPECT_EQ(row.description, answer.description) << row.what;
        EXPECT_EQ(S_OK, row.onCommand ? Get(target, L"IsConnected").hr
                                      : Method(target, L"InstalledVersions", Number(3)).hr);
        EXPECT_EQ(row.code, V_I4(&Get(target, L"ErrorCode").value.Get())) << row.what;
        const std::wstring record = row.record == L"(empty)" ? L""
                                    : row.record.empty()     ? row.description
                                                             : row.record;
        EXPECT_EQ(record, TextOf(Get(target, L"ErrorMessage"))) << row.what;
    }

    ComPtr<IQarCommand> early;
    ASSERT_EQ(S_OK, Connect(connector.Get()).As(early));
    EXPECT_EQ(kLibraryFailure, early->OpenFile(Bstr(absent).Get()));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.Put()));
    UniqueBstr description, source;
    GUID guid = GUID_NULL;
    info->GetDescription(description.Put());
    info->GetSource(source.Put());
    info->GetGUID(&guid);
    EXPECT_EQ(TrimFinalLineBreak(missing), description.Str());
    EXPECT_EQ(kSource, source.Str());
    EXPECT_TRUE(IsEqualGUID(IID_IQarCommand, guid));
    ComPtr<ISupportErrorInfo> supports;
    ASSERT_EQ(S_OK, early.As(supports));
    EXPECT_EQ(S_OK, supports->InterfaceSupportsErrorInfo(IID_IQarCommand));
}

// Arguments are converted as automation converts them: a number where a text is expected becomes its
// text, a null text is "", a reference is followed. An array, an object or a missing argument where a
// text is expected is refused with the standard code, as is an unknown name; Connect takes an
// automation object or nothing as its host and refuses anything else.
TEST_F(AutomationInProcess, ArgumentsAreConvertedOrRefused) {
    ComPtr<IDispatch> command = Connect(connector.Get());
    ASSERT_TRUE(command);
    UniqueVariant inner = Str(L"by reference");
    CountedDispatch object;
    ASSERT_EQ(S_OK, control->Reset());
    // Each call and what the add-in receives ("" when it receives nothing).
    const struct {
        Answer answer;
        HRESULT hr;
        const wchar_t* received;
    } calls[] = {
        {Method(command.Get(), L"CreateMenu", Number(42)), S_OK, L"CreateMenu('42')"},
        {Method(command.Get(), L"CreateMenu", Str(nullptr)), S_OK, L"CreateMenu('')"},
        {Method(command.Get(), L"CreateMenu", ByReference(*inner.Ptr())), S_OK,
         L"CreateMenu('by reference')"},
        {Method(command.Get(), L"RefreshTable", Str(L"parts"), Number(-7)), S_OK,
         L"RefreshTable('parts', '-7')"},
        {Method(command.Get(), L"CreateMenu", Of(VT_ARRAY | VT_I4)), DISP_E_TYPEMISMATCH, L""},
        {Method(command.Get(), L"CreateMenu", Object(&object)), DISP_E_TYPEMISMATCH, L""},
        {Method(command.Get(), L"UpdateTable", Str(L"parts")), DISP_E_BADPARAMCOUNT, L""},
        {Method(command.Get(), L"CreateMenus", Str(L"x")), DISP_E_UNKNOWNNAME, L""},
    };
    const std::wstring log = Log();
    for (const auto& call : calls) {
        EXPECT_EQ(call.hr, call.answer.hr) << call.received;
        if (*call.received != L'\0') {
            EXPECT_TRUE(Has(log, call.received)) << log;
        }
    }
    EXPECT_EQ(4, std::count(log.begin(), log.end(), L'\n')) << "refused calls reach nobody: " << log;

    // Connect's host: what the add-in is handed, or the refusal.
    {
        VARIANT objectByReference;
        V_VT(&objectByReference) = VT_DISPATCH;
        V_DISPATCH(&objectByReference) = &object;
        const struct {
            UniqueVariant host;
            SCODE refused;
            const wchar_t* handed;
        } hosts[] = {
            {Object(&object), 0, L"object"},
            {Object(&object, VT_UNKNOWN), 0, L"object"},
            {ByReference(objectByReference), 0, L"object"},
            {Of(VT_ERROR, DISP_E_PARAMNOTFOUND), 0, L"null"},
            {Of(VT_EMPTY), 0, L"null"},
            {Of(VT_NULL), 0, L"null"},
            {Object(nullptr), 0, L"null"},
            {Number(5), DISP_E_TYPEMISMATCH, L""},
            {Of(VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH, L""},
        };
        for (const auto& host : hosts) {
            ASSERT_EQ(S_OK, control->Reset());
            Answer answer = Method(connector.Get(), L"Connect", host.host);
            EXPECT_EQ(host.refused != 0 ? DISP_E_EXCEPTION : S_OK, answer.hr) << host.handed;
            EXPECT_EQ(host.refused, answer.scode);
            if (host.refused == 0) {
                EXPECT_TRUE(Has(Log(), std::wstring(L"SetHostObject(") + host.handed + L")")) << Log();
            }
        }
    }
    EXPECT_EQ(1u, object.references) << "every command let go of the host";

    // Properties: a text where a number is expected is converted; a negative busy timeout is refused.
    EXPECT_EQ(S_OK, Put(connector.Get(), L"CadType", Str(L"3")));
    EXPECT_EQ(3, V_I4(&Get(connector.Get(), L"CadType").value.Get()));
    EXPECT_EQ(S_OK, Put(connector.Get(), L"BusyTimeout", Number(250)));
    const Answer negative = Call(connector.Get(), L"BusyTimeout", DISPATCH_PROPERTYPUT, Number(-1));
    EXPECT_EQ(E_INVALIDARG, negative.scode) << negative.description.c_str();
    EXPECT_EQ(250, V_I4(&Get(connector.Get(), L"BusyTimeout").value.Get()));
}

// BusyTimeout: Connect and the commands it makes call again what a busy application refuses, each
// command with the value it was made with; the thread's own value (the host's) is back after each call.
TEST_F(AutomationInProcess, BusyTimeoutRetriesRefusedCallsAndLeavesTheThreadsOwn) {
    const HMODULE library = GetModuleHandleW(L"QarSldwInterface_x64.dll");
    const auto setTimeout = reinterpret_cast<int (*)(unsigned long)>(
        reinterpret_cast<void*>(GetProcAddress(library, "qar_set_busy_timeout")));
    const auto getTimeout = reinterpret_cast<int (*)(unsigned long*)>(
        reinterpret_cast<void*>(GetProcAddress(library, "qar_get_busy_timeout")));
    ASSERT_TRUE(setTimeout && getTimeout);
    ASSERT_EQ(0, setTimeout(777));
    const auto refuseOnce = [&](const wchar_t* entry) {
        return control->FailEntry(Bstr(entry).Get(), RPC_E_CALL_REJECTED, SimOnce);
    };
    ASSERT_EQ(S_OK, refuseOnce(L"ISldWorks.UserControl.put"));
    EXPECT_EQ(RPC_E_CALL_REJECTED, Method(connector.Get(), L"Connect").scode) << "off by default";
    ASSERT_EQ(S_OK, Put(connector.Get(), L"BusyTimeout", Number(5000)));
    ASSERT_EQ(S_OK, refuseOnce(L"ISldWorks.UserControl.put"));
    const ComPtr<IDispatch> patient = Connect(connector.Get());
    ASSERT_EQ(S_OK, Put(connector.Get(), L"BusyTimeout", Number(0)));
    const ComPtr<IDispatch> impatient = Connect(connector.Get());
    ASSERT_TRUE(patient && impatient);
    ASSERT_EQ(S_OK, Method(patient.Get(), L"OpenFile", Str(samples.File(L"clamp.sldasm").c_str())).hr);
    ASSERT_EQ(S_OK, refuseOnce(L"ICaxDocument.Save"));
    EXPECT_EQ(S_OK, Method(patient.Get(), L"SaveFile").hr) << "made with 5000 ms";
    ASSERT_EQ(S_OK, refuseOnce(L"ICaxDocument.Save"));
    EXPECT_EQ(kLibraryFailure, Method(impatient.Get(), L"SaveFile").scode) << "made with 0";
    unsigned long timeout = 0;
    EXPECT_EQ(0, getTimeout(&timeout));
    EXPECT_EQ(777u, timeout) << "the host's own value";
    setTimeout(0);
}

// The installed versions come each once in the registry's order; with Version "" a connect uses the
// user's current version, else the latest installed (the activation names its ProgID). Against a
// redirected registry, so the versions are the test's.
class AutomationRegistry : public RegistryRedirect {
protected:
    void SetUp() override {
        RegistryRedirect::SetUp();
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_NE(nullptr, Server());
    }
    void TearDown() override {
        CoUninitialize();
        RegistryRedirect::TearDown();
    }
    // Every key and value below root\path, one line each, in the registry's order.
    static std::wstring Tree(HKEY root, const std::wstring& path) {
        RegistryKey key;
        if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return L"";
        std::wstring text = path + L"\n";
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = 256;
            if (RegEnumValueW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            text += path + L" = " + name + L": " + Text(root, path, name) + L"\n";
        }
        std::wstring sub;
        for (DWORD i = 0; key.SubKeyName(i, sub) == ERROR_SUCCESS; ++i)
            text += Tree(root, path + L"\\" + sub);
        return text;
    }
};

TEST_F(AutomationRegistry, InstalledVersionsAndTheVersionAConnectChooses) {
    const ComPtr<IDispatch> connector = NewConnector();
    ASSERT_TRUE(connector);
    EXPECT_EQ(std::vector<std::wstring>(),
              Strings(Method(connector.Get(), L"InstalledVersions", Number(3)).value.Get()));
    EXPECT_EQ(L"Start  failed," + ComErrorMessage(CO_E_CLASSSTRING),
              Method(connector.Get(), L"Connect").description)
        << "nothing installed, nothing chosen";
    AddKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\SolidWorks 2008");
    AddKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\SolidWorks 2013");
    AddKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\Tools");
    EXPECT_EQ((std::vector<std::wstring>{L"SolidWorks 2008", L"SolidWorks 2013"}),
              Strings(Method(connector.Get(), L"InstalledVersions", Number(3)).value.Get()));
    EXPECT_EQ(std::vector<std::wstring>(),
              Strings(Method(connector.Get(), L"InstalledVersions", Number(1)).value.Get()));
    EXPECT_EQ(E_INVALIDARG, Method(connector.Get(), L"InstalledVersions", Number(9)).scode);
    EXPECT_TRUE(Has(Method(connector.Get(), L"Connect").description, L"SldWorks.Application.21 failed"))
        << "the latest";
    SetText(HKEY_CURRENT_USER, L"SOFTWARE\\qasoft\\plmbridge\\CaxVer", L"SolidWorks", L"SolidWorks 2012");
    EXPECT_TRUE(Has(Method(connector.Get(), L"Connect").description, L"SldWorks.Application.20 failed"))
        << "the user's";
    Put(connector.Get(), L"Version", Str(L"SolidWorks 2010"));
    EXPECT_TRUE(Has(Method(connector.Get(), L"Connect").description, L"SldWorks.Application.18 failed"))
        << "the one set";
}

// Machine-wide (DllRegisterServer) and per user (DllInstall "user") registration write the class, both
// ProgIDs, the type library and the interfaces under their own root only, and unregistration leaves
// both roots exactly as they were, keys that were there before included. Another program's key stops
// registration before it writes anything, and unregistration leaves it alone.
TEST_F(AutomationRegistry, RegistrationIsExactlyUndone) {
    const auto install = Entry<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>("DllInstall");
    const std::wstring module = TestProgramDirectory() + L"QarSldwAutomation_x64.dll";
    const std::wstring clsid = L"Software\\Classes\\CLSID\\{226D21B3-6AF4-41B0-9221-BC6D241D30CE}";
    const std::wstring library = L"Software\\Classes\\TypeLib\\{1623AF82-6CC0-4734-9371-CFA2D3298D91}\\1.0";
    AddKey(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\{00000000-0000-0000-0000-000000000001}");
    const struct {
        const char* what;
        HKEY root, other;
        std::function<HRESULT()> add, remove;
    } scopes[] = {
        {"machine", HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, Entry<Action>("DllRegisterServer"),
         Entry<Action>("DllUnregisterServer")},
        {"user", HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, [&] { return install(TRUE, L"user"); },
         [&] { return install(FALSE, L"USER"); }},
    };
    for (const auto& scope : scopes) {
        const std::wstring before = Tree(scope.root, L"Software"),
                           otherBefore = Tree(scope.other, L"Software");
        ASSERT_EQ(S_OK, scope.add()) << scope.what;
        EXPECT_EQ(module, Text(scope.root, clsid + L"\\InprocServer32", nullptr)) << scope.what;
        EXPECT_EQ(L"Apartment", Text(scope.root, clsid + L"\\InprocServer32", L"ThreadingModel"));
        EXPECT_EQ(L"QarSldw.Connector.1",
                  Text(scope.root, L"Software\\Classes\\QarSldw.Connector\\CurVer", nullptr));
        EXPECT_EQ(L"{226D21B3-6AF4-41B0-9221-BC6D241D30CE}",
                  Text(scope.root, L"Software\\Classes\\QarSldw.Connector.1\\CLSID", nullptr));
        EXPECT_EQ(module, Text(scope.root, library + L"\\0\\win64", nullptr));
        for (const wchar_t* iid :
             {L"{77E791F9-2EC0-48A4-9FD1-56B800B04EA4}", L"{8152206F-852C-4439-B5B2-1E473664EE4E}"}) {
            EXPECT_EQ(
                L"{00020424-0000-0000-C000-000000000046}",
                Text(scope.root,
                     std::wstring(L"Software\\Classes\\Interface\\") + iid + L"\\ProxyStubClsid32", nullptr));
        }
        EXPECT_EQ(otherBefore, Tree(scope.other, L"Software")) << scope.what;
        EXPECT_EQ(S_OK, scope.add()) << "again, over its own keys";
        EXPECT_EQ(S_OK, scope.remove()) << scope.what;
        EXPECT_EQ(before, Tree(scope.root, L"Software")) << scope.what;
        EXPECT_EQ(S_OK, scope.remove()) << "nothing left to remove";
    }
    AddKey(HKEY_LOCAL_MACHINE, L"Software\\Classes\\QarSldw.Connector");
    const std::wstring foreign = Tree(HKEY_LOCAL_MACHINE, L"Software");
    EXPECT_EQ(SELFREG_E_CLASS, Entry<Action>("DllRegisterServer")());
    EXPECT_EQ(S_OK, Entry<Action>("DllUnregisterServer")());
    EXPECT_EQ(foreign, Tree(HKEY_LOCAL_MACHINE, L"Software"));
    EXPECT_EQ(E_INVALIDARG, install(TRUE, L"machine"));
    EXPECT_EQ(E_INVALIDARG, install(TRUE, nullptr));
}

// cscript's standard output for `arguments`, which runs with this process's environment; its exit
// code goes to `exitCode`.
std::wstring RunCscript(const std::wstring& arguments, DWORD& exitCode) {
    using Handle = std::unique_ptr<void, decltype(&CloseHandle)>;
    wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    GetTempFileNameW(folder, L"vbs", 0, name);
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    std::string bytes;
    {
        const Handle output(
            CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr),
            &CloseHandle);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = output.get();
        PROCESS_INFORMATION process = {};
        std::wstring command = L"cscript.exe //nologo " + arguments;
        exitCode = ~0UL;
        if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            const Handle thread(process.hThread, &CloseHandle), running(process.hProcess, &CloseHandle);
            if (WaitForSingleObject(running.get(), 60000) == WAIT_OBJECT_0)
                GetExitCodeProcess(running.get(), &exitCode);
        }
    }
    {
        const std::unique_ptr<FILE, decltype(&fclose)> file(_wfopen(name, L"rb"), &fclose);
        for (int c; file && (c = fgetc(file.get())) != EOF;) bytes += static_cast<char>(c);
    }
    DeleteFileW(name);
    return std::wstring(bytes.begin(), bytes.end());  // the script writes ASCII only
}

// A VBScript session (tests/data/automation/session.vbs) run by Windows Script Host against the
// simulator registered in this prefix and the server registered machine-wide through the real
// regsvr32 (CTest fixtures): its transcript, and what the simulator received, in order, ending with the
// "Disconnect" that releasing the command says.
TEST(AutomationScript, CscriptSessionAgainstTheRegisteredServers) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        CLSID application;
        ComPtr<ISimControl> control;
        ASSERT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &application));
        ASSERT_EQ(S_OK, CoCreateInstance(application, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                         reinterpret_cast<void**>(control.Put())));
        ASSERT_EQ(S_OK, control->Reset());
        SampleFolder samples;
        DWORD exitCode = 0;
        const std::wstring transcript = RunCscript(
            L"\"" + TestProgramDirectory() + L"session.vbs\" \"" + samples.Folder() + L"\"", exitCode);
        EXPECT_EQ(0u, exitCode);
        EXPECT_EQ(
            L"connected: True\r\n"
            L"depends on: " +
                samples.File(L"plate.sldprt") +
                L"\r\n"
                L"depends on: " +
                samples.File(L"bolt.sldprt") +
                L"\r\n"
                L"saved: " +
                samples.File(L"clamp.sldasm") +
                L"\r\n"
                L"released\r\n"
                L"error 800401F3 from QarSldw.Connector: Start SldWorks.Application.38 failed," +
                ComErrorMessage(CO_E_CLASSSTRING) +
                L"\r\n"
                L"error 80040201 from QarSldw.Connector: " +
                TrimFinalLineBreak(SystemMessageText(ERROR_FILE_NOT_FOUND)) + L"\r\n",
            transcript);
        const std::wstring log = CallLog(control.Get());
        size_t at = 0;
        for (const wchar_t* call :
             {L"ISwAddIn.SetHostObject(object)", L"ICaxDocument.Dependencies(", L"ISwAddIn.CreateMenu('PLM')",
              L"ISwAddIn.RefreshTable('parts', '1')", L"ICaxDocument.Save(", L"ISldWorks.CloseDocument(",
              L"ISwAddIn.Disconnect()", L"ISwAddIn.SetHostObject(null)"}) {
            at = log.find(call, at);
            EXPECT_NE(std::wstring::npos, at) << "in order: " << call << "\n" << log;
        }
    }
    CoUninitialize();
}

}  // namespace
