// qarcadsim.exe: the simulated CAD application as a COM local server.
//
//   qarcadsim /regserver [/machine] [/version:"SolidWorks 2014" ...]   register (per user by default)
//   qarcadsim /unregserver [/machine]                                   remove what /regserver wrote
//   qarcadsim -Embedding            started by COM activation: one class object, in the running-object
//                                   table too; every activation reaches the same application object
//   qarcadsim /instance             an additional instance, only in the running-object table
// With either of the last two (also from the environment variable QARCADSIM_OPTIONS, switches
// separated by spaces, for a server that COM starts):
//   /lifetime:<seconds>             end after this long whatever happens (default: the environment
//                                   variable QARCADSIM_LIFETIME, else none)
//   /start-delay:<seconds>          a slow start: reachable only this long after the process started
//   /busy:<ms>[,retrylater]         busy for this long (-1: until ISimControl::SetBusy(0, 0, ...))
//                                   from the start of serving, as ISimControl::SetBusy(ms, -1, kind)
//   /hang:<entry>                   the entry hangs on every call until ISimControl::ReleaseHung
// An instance ends when its last client has let go of everything (after at least one came), on
// ISimControl::Quit, or when its main window is closed; a server started by COM that no client reaches
// within a minute ends too.
#include <cerrno>
#include <climits>
#include <cwctype>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "sim_internal.h"
#include "sim_registration.h"

using qar::ComPtr;
using qar::UniqueBstr;

namespace {

using qarsim::Application;

constexpr DWORD kIdleMilliseconds = 60000;
constexpr UINT kCheckMilliseconds = 250;
constexpr DWORD kLingerMilliseconds = 1000;
// How long past its lifetime a server whose apartment no longer answers is ended by force.
constexpr DWORD kLifetimeGraceMilliseconds = 10000;

void Say(const std::wstring& text) {
    const std::wstring line = L"qarcadsim: " + text + L"\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr,
                        nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
}

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

struct ServerOptions {
    bool classObject = false;
    DWORD lifetimeMilliseconds = 0;    // 0: none
    DWORD startDelayMilliseconds = 0;  // before the class object and the table entry are registered
    long busyMilliseconds = 0;         // a busy window from the start of serving; 0: none, -1: unlimited
    SimBusyKind busyKind = SimBusyRejected;
};

// The IUnknown and IDispatch methods that begin every interface's table.
const wchar_t* const kBaseMethods[] = {L"QueryInterface", L"AddRef",        L"Release", L"GetTypeInfoCount",
                                       L"GetTypeInfo",    L"GetIDsOfNames", L"Invoke"};

// "Interface.Member" of slot `method` of the interface `type` describes, with ".get" / ".put" for a
// property, as the control interface names entries.
std::wstring MemberName(ITypeInfo* type, WORD method) {
    UniqueBstr interfaceName;
    type->GetDocumentation(MEMBERID_NIL, interfaceName.Put(), nullptr, nullptr, nullptr);
    const std::wstring prefix = interfaceName.Str() + L".";
    if (method < std::size(kBaseMethods)) return prefix + kBaseMethods[method];
    // A dual interface is described by dispatch ids; its interface half knows the slots.
    ComPtr<ITypeInfo> slots(type);
    HREFTYPE half = 0;
    if (SUCCEEDED(type->GetRefTypeOfImplType(-1, &half))) type->GetRefTypeInfo(half, slots.Put());
    for (UINT index = 0;; ++index) {
        FUNCDESC* function = nullptr;
        if (FAILED(slots->GetFuncDesc(index, &function))) break;
        const qar::ScopeExit release([&] { slots->ReleaseFuncDesc(function); });
        if (function->oVft != static_cast<SHORT>(method * sizeof(void*))) continue;
        UniqueBstr member;
        slots->GetDocumentation(function->memid, member.Put(), nullptr, nullptr, nullptr);
        const wchar_t* kind = function->invkind == INVOKE_PROPERTYGET ? L".get"
                              : function->invkind == INVOKE_FUNC      ? L""
                                                                      : L".put";
        return prefix + member.Str() + kind;
    }
    return prefix + std::to_wstring(method);
}

// An incoming call's name for the call log. Measured under Wine 8: the filter receives INTERFACEINFO
// for every call (never null), with pUnk the server-side object; a new client's activation arrives as
// IRemUnknown.RemAddRef, IServiceProvider.QueryService (Wine's own class-object lookup),
// IRemUnknown.RemRelease and IClassFactory.CreateInstance; a QueryInterface, AddRef or Release a proxy
// cannot answer itself as IRemUnknown.RemQueryInterface / RemAddRef / RemRelease; a call through an
// IDispatch proxy carries IID_IDispatch, whatever the object.
std::wstring CallName(const INTERFACEINFO* call) {
    if (call == nullptr) return L"(unknown interface)";
    static const IID kRemUnknown = {0x00000131, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    static const struct {
        const IID* iid;
        const wchar_t* name;
        const wchar_t* methods[3];  // from slot 3
    } kSystem[] = {
        {&kRemUnknown, L"IRemUnknown", {L"RemQueryInterface", L"RemAddRef", L"RemRelease"}},
        {&IID_IClassFactory, L"IClassFactory", {L"CreateInstance", L"LockServer", nullptr}},
        {&IID_IServiceProvider, L"IServiceProvider", {L"QueryService", nullptr, nullptr}},
    };
    ComPtr<ITypeInfo> type;
    if (FAILED(qarsim::LoadOwnTypeInfo(qarsim::kCadInterfaces, call->iid, type)) &&
        call->iid == IID_IDispatch && call->pUnk != nullptr) {
        ComPtr<IDispatch> object;
        if (SUCCEEDED(call->pUnk->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(object.Put())))) {
            object->GetTypeInfo(0, 0, type.Put());
        }
    }
    if (type) return MemberName(type.Get(), call->wMethod);
    for (const auto& known : kSystem) {
        if (call->iid != *known.iid) continue;
        const WORD method = call->wMethod;
        if (method < 3) return std::wstring(known.name) + L"." + kBaseMethods[method];
        if (method - 3 < 3 && known.methods[method - 3] != nullptr) {
            return std::wstring(known.name) + L"." + known.methods[method - 3];
        }
    }
    wchar_t iid[40] = L"";
    StringFromGUID2(call->iid, iid, 40);
    return std::wstring(iid) + L"." + std::to_wstring(call->wMethod);
}

// The server's message filter, registered for the server's thread while it lives: a busy or hung
// application refuses every incoming call but those of the control interface, as a real one inside a
// rebuild or a modal dialog does. The caller's COM channel then answers RPC_E_CALL_REJECTED (measured
// under Wine 8: in about 13 ms) or, on Windows, RPC_E_SERVERCALL_RETRYLATER.
class MessageFilter final : public IMessageFilter {
public:
    explicit MessageFilter(long instance) : instance_(instance) {}
    ~MessageFilter() {
        if (registered_) CoRegisterMessageFilter(nullptr, nullptr);
    }
    HRESULT Register() {
        const HRESULT hr = CoRegisterMessageFilter(this, nullptr);
        registered_ = SUCCEEDED(hr);
        return hr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_IMessageFilter) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IMessageFilter*>(this);
        return S_OK;
    }
    // Lives on the server's stack for the whole run.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, INTERFACEINFO* call) override {
        qarsim::Simulation& simulation = qarsim::Simulation::Get();
        if (call != nullptr && call->iid == __uuidof(ISimControl)) {
            simulation.AdmitControlCall();
            return SERVERCALL_ISHANDLED;
        }
        const HRESULT refused = simulation.RefuseIncoming(instance_, CallName(call));
        if (refused == S_OK) return SERVERCALL_ISHANDLED;
        return refused == RPC_E_SERVERCALL_RETRYLATER ? SERVERCALL_RETRYLATER : SERVERCALL_REJECTED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }

private:
    long instance_;
    bool registered_ = false;
};

// Runs `change` and counts the references it took (or gave back) on the application as the
// simulation's own, not a client's.
template <class Change>
void AsOwnReferences(Application& application, Change change) {
    const long before = application.ClientRefs();
    change();
    application.MarkInternal(application.ClientRefs() - before);
}

// What lets clients reach the instance: its running-object-table entry under a moniker of its own, so
// that several instances can be told apart, and (when COM started the server) the class object. The
// table's entry does not keep the instance alive (weak registration).
class Registration {
public:
    ~Registration() { Revoke(); }

    HRESULT Register(Application& application, bool classObject) {
        application_ = &application;
        const std::wstring item = L"QarCadSim:" + std::to_wstring(GetCurrentProcessId()) + L":" +
                                  std::to_wstring(application.InstanceId());
        ComPtr<IMoniker> moniker;
        HRESULT hr = GetRunningObjectTable(0, table_.Put());
        if (SUCCEEDED(hr)) hr = CreateItemMoniker(L"!", item.c_str(), moniker.Put());
        if (SUCCEEDED(hr)) {
            AsOwnReferences(application, [&] {
                hr = table_->Register(0, static_cast<ISldWorks*>(&application), moniker.Get(), &rotCookie_);
            });
        }
        if (FAILED(hr)) {
            Say(L"cannot register in the running-object table: " + qarsim::Hex(hr));
            return hr;
        }
        if (!classObject) return S_OK;
        AsOwnReferences(application, [&] { hr = qarsim::CreateClassFactory(&application, factory_.Put()); });
        if (SUCCEEDED(hr)) {
            hr = CoRegisterClassObject(qarsim::kApplicationClass, factory_.Get(), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &classCookie_);
        }
        if (FAILED(hr)) Say(L"cannot register the class object: " + qarsim::Hex(hr));
        return hr;
    }

    // So that no new client reaches an instance that is ending. Not from inside ISimControl::Quit:
    // measured under Wine 8, revoking there made the Quit call itself fail with 0x800706BE.
    void Revoke() {
        if (classCookie_ != 0) CoRevokeClassObject(std::exchange(classCookie_, 0));
        if (rotCookie_ != 0)
            AsOwnReferences(*application_, [&] { table_->Revoke(std::exchange(rotCookie_, 0)); });
        if (factory_) AsOwnReferences(*application_, [&] { factory_.Reset(); });
    }

private:
    Application* application_ = nullptr;
    ComPtr<IRunningObjectTable> table_;
    DWORD rotCookie_ = 0;
    ComPtr<IClassFactory> factory_;
    DWORD classCookie_ = 0;
};

// Takes calls until the instance is to end: Quit or its window closed (WM_QUIT), its lifetime over, no
// client within a minute of a start by COM, or a moment after its last client let go.
void ServeUntilDone(const ServerOptions& options, DWORD start) {
    DWORD goneSince = 0;
    SetTimer(nullptr, 0, kCheckMilliseconds, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr) {
            const DWORD now = GetTickCount();
            const qarsim::Simulation& simulation = qarsim::Simulation::Get();
            if (options.lifetimeMilliseconds != 0 && now - start >= options.lifetimeMilliseconds) return;
            if (!simulation.HadClient() && options.classObject && now - start >= kIdleMilliseconds) return;
            // The last client gone: linger a moment, so that a client that lets go and activates again
            // at once meets this instance rather than one that is shutting down.
            if (!simulation.HadClient() || !simulation.ClientsGone()) {
                goneSince = 0;
            } else if (goneSince == 0) {
                goneSince = now;
            } else if (now - goneSince >= kLingerMilliseconds) {
                return;
            }
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int Serve(const ServerOptions& options) {
    const DWORD start = GetTickCount();
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return 3;
    const qar::ScopeExit uninitialize([] { CoUninitialize(); });

    ComPtr<Application> created;
    hr = Application::Create(created);
    if (FAILED(hr)) {
        Say(L"cannot create the application: " + qarsim::Hex(hr));
        return 3;
    }
    // The server's own hold, not a client's.
    qarsim::Held<Application> application = qarsim::Held<Application>::Adopt(created.Detach());
    qarsim::Simulation& simulation = qarsim::Simulation::Get();
    if (options.lifetimeMilliseconds != 0) simulation.LimitHangs(start + options.lifetimeMilliseconds);
    if (options.lifetimeMilliseconds != 0) {
        // The lifetime is a promise to the test runs: the serving loop keeps it, and this thread keeps
        // it when the loop cannot. Measured under Wine 8: an apartment that releases the last
        // reference to an interface while another call on it waits to be dispatched deadlocks in
        // RpcServerUnregisterIf, and a server stuck so would serve nobody for as long as its prefix
        // lives.
        std::thread([deadline = options.lifetimeMilliseconds + kLifetimeGraceMilliseconds] {
            Sleep(deadline);
            TerminateProcess(GetCurrentProcess(), 4);
        }).detach();
    }
    MessageFilter filter(application->InstanceId());
    hr = filter.Register();
    if (FAILED(hr)) {
        Say(L"cannot register the message filter: " + qarsim::Hex(hr));
        return 3;
    }

    // A slow start: the application is not reachable until it has "loaded".
    if (GetTickCount() - start < options.startDelayMilliseconds) {
        Sleep(options.startDelayMilliseconds - (GetTickCount() - start));
    }
    Registration registration;
    if (FAILED(registration.Register(*application.Get(), options.classObject))) return 3;
    if (options.busyMilliseconds != 0) simulation.SetBusy(options.busyMilliseconds, -1, options.busyKind);

    application->onQuit = [] { PostQuitMessage(0); };
    ServeUntilDone(options, start);
    application->onQuit = nullptr;
    registration.Revoke();
    // Remaining clients are cut off before the objects go.
    CoDisconnectObject(static_cast<ISldWorks*>(application.Get()), 0);
    return 0;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return _wcsnicmp(text.c_str(), prefix, wcslen(prefix)) == 0;
}

// Switches may start with '-' as well as '/'.
std::wstring SwitchOf(std::wstring argument) {
    if (!argument.empty() && argument[0] == L'-') argument[0] = L'/';
    return argument;
}

// A whole decimal number from `min` to `max`, nothing else.
bool ParseNumber(const std::wstring& text, long min, long max, long& value) {
    if (text.empty() || (text[0] != L'-' && !iswdigit(text[0]))) return false;
    wchar_t* end = nullptr;
    errno = 0;
    const long parsed = wcstol(text.c_str(), &end, 10);
    if (errno != 0 || *end != L'\0' || parsed < min || parsed > max) return false;
    value = parsed;
    return true;
}

enum class Parsed { Taken, Unknown, Bad };

// A switch of the serving program, from the command line or from QARCADSIM_OPTIONS; Bad with `error`
// when its value is. /hang applies at once: the injection lives in the process's simulation.
Parsed ParseServingSwitch(const std::wstring& argument, ServerOptions& options, std::wstring& error) {
    constexpr long kMaxSeconds = 2000000;  // about 23 days, within a tick count's range
    long value = 0;
    auto bad = [&](const wchar_t* expected) {
        error = L"bad value in " + argument + L" (expected " + expected + L")";
        return Parsed::Bad;
    };
    if (StartsWith(argument, L"/lifetime:")) {
        if (!ParseNumber(argument.substr(10), 0, kMaxSeconds, value)) return bad(L"seconds");
        options.lifetimeMilliseconds = static_cast<DWORD>(value) * 1000;
    } else if (StartsWith(argument, L"/start-delay:")) {
        if (!ParseNumber(argument.substr(13), 0, 3600, value)) return bad(L"seconds, at most 3600");
        options.startDelayMilliseconds = static_cast<DWORD>(value) * 1000;
    } else if (StartsWith(argument, L"/busy:")) {
        std::wstring text = argument.substr(6);
        SimBusyKind kind = SimBusyRejected;
        const size_t comma = text.find(L',');
        if (comma != std::wstring::npos) {
            if (_wcsicmp(text.c_str() + comma + 1, L"retrylater") != 0)
                return bad(L"<milliseconds>[,retrylater]");
            kind = SimBusyRetryLater;
            text.resize(comma);
        }
        if (!ParseNumber(text, -1, LONG_MAX, value) || value == 0 ||
            !qarsim::Simulation::BusyArgumentsValid(value, -1, kind)) {
            return bad(L"<milliseconds>[,retrylater], milliseconds positive or -1");
        }
        options.busyMilliseconds = value;
        options.busyKind = kind;
    } else if (StartsWith(argument, L"/hang:")) {
        const UniqueBstr entry = UniqueBstr::Copy(argument.substr(6));
        if (FAILED(qarsim::Simulation::Get().DelayEntry(entry.Get(), -1, SimAlways))) {
            return bad(L"an entry name such as ISldWorks.Visible.get");
        }
    } else {
        return Parsed::Unknown;
    }
    return Parsed::Taken;
}

// The serving switches from the environment, for a server that COM starts (under Wine it inherits
// its client's environment): QARCADSIM_LIFETIME=<seconds>, and QARCADSIM_OPTIONS, serving switches
// separated by spaces. False with `error` for a bad value or another switch.
bool ParseEnvironment(ServerOptions& options, std::wstring& error) {
    if (const wchar_t* lifetime = _wgetenv(L"QARCADSIM_LIFETIME")) {
        if (ParseServingSwitch(std::wstring(L"/lifetime:") + lifetime, options, error) != Parsed::Taken) {
            error = L"QARCADSIM_LIFETIME: " + error;
            return false;
        }
    }
    const wchar_t* text = _wgetenv(L"QARCADSIM_OPTIONS");
    std::wistringstream words(text != nullptr ? text : L"");
    for (std::wstring word; words >> word;) {
        const Parsed parsed = ParseServingSwitch(SwitchOf(word), options, error);
        if (parsed == Parsed::Taken) continue;
        error = L"QARCADSIM_OPTIONS: " + (parsed == Parsed::Bad ? error : L"unknown option " + word);
        return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    enum class Action { None, Register, Unregister, ServeClass, ServeInstance } action = Action::None;
    qarsim::RegistrationOptions registration;
    ServerOptions server;
    bool versionsGiven = false;
    std::wstring error;
    if (!ParseEnvironment(server, error)) {
        Say(error);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = SwitchOf(argv[i]);
        if (_wcsicmp(argument.c_str(), L"/regserver") == 0) {
            action = Action::Register;
        } else if (_wcsicmp(argument.c_str(), L"/unregserver") == 0) {
            action = Action::Unregister;
        } else if (_wcsicmp(argument.c_str(), L"/embedding") == 0 ||
                   _wcsicmp(argument.c_str(), L"/automation") == 0) {
            action = Action::ServeClass;
        } else if (_wcsicmp(argument.c_str(), L"/instance") == 0) {
            action = Action::ServeInstance;
        } else if (_wcsicmp(argument.c_str(), L"/machine") == 0) {
            registration.machine = true;
        } else if (_wcsicmp(argument.c_str(), L"/user") == 0) {
            registration.machine = false;
        } else if (StartsWith(argument, L"/version:")) {
            if (!versionsGiven) registration.versions.clear();
            versionsGiven = true;
            registration.versions.push_back(argument.substr(9));
        } else if (const Parsed parsed = ParseServingSwitch(argument, server, error);
                   parsed != Parsed::Taken) {
            Say(parsed == Parsed::Bad ? error : L"unknown option " + argument);
            return 2;
        }
    }
    std::wstring message;
    switch (action) {
        case Action::Register:
        case Action::Unregister: {
            const LONG status = action == Action::Register
                                    ? qarsim::Register(ProgramPath(), registration, message)
                                    : qarsim::Unregister(ProgramPath(), registration, message);
            if (status != ERROR_SUCCESS) Say(message + L" (error " + std::to_wstring(status) + L")");
            return status == ERROR_SUCCESS ? 0 : 1;
        }
        case Action::ServeClass:
            server.classObject = true;
            return Serve(server);
        case Action::ServeInstance:
            return Serve(server);
        case Action::None:
            break;
    }
    Say(L"usage: qarcadsim /regserver [/machine|/user] [/version:<name>]... | /unregserver [/machine|/user] "
        L"| "
        L"/instance [/lifetime:<seconds>] [/start-delay:<seconds>] [/busy:<milliseconds>[,retrylater]] "
        L"[/hang:<entry>]");
    return 2;
}
