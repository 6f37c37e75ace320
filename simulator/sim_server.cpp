// qarcadsim.exe: the simulated CAD application as a COM local server.
//
//   qarcadsim /regserver [/machine] [/version:"SolidWorks 2014" ...]   register (per user by default)
//   qarcadsim /unregserver [/machine]                                   remove what /regserver wrote
//   qarcadsim -Embedding            started by COM activation: one class object, in the running-object
//                                   table too; every activation reaches the same application object
//   qarcadsim /instance             an additional instance, only in the running-object table
//   /lifetime:<seconds>             with either of the last two: end after this long whatever happens
//                                   (default: the environment variable QARCADSIM_LIFETIME, else none)
// An instance ends when its last client has let go of everything (after at least one came), on
// ISimControl::Quit, or when its main window is closed; a server started by COM that no client reaches
// within a minute ends too.
#include <string>

#include "simulator/sim_internal.h"
#include "simulator/sim_registration.h"

namespace {

using qarsim::Application;

constexpr DWORD kIdleMilliseconds = 60000;
constexpr UINT kCheckMilliseconds = 250;
constexpr DWORD kLingerMilliseconds = 1000;

void Say(const std::wstring& text) {
    const std::wstring line = L"qarcadsim: " + text + L"\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// Hands every activation the one application object.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(Application* application) : application_(application) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the server's stack for the whole run.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return application_->QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    Application* application_;
};

struct ServerOptions {
    bool classObject = false;
    DWORD lifetimeMilliseconds = 0;  // 0: none
};

int Serve(const ServerOptions& options) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) return 3;
    struct Uninitializer {
        ~Uninitializer() { CoUninitialize(); }
    } uninitializer;

    ComPtr<Application> created;
    hr = Application::Create(created);
    if (FAILED(hr)) {
        Say(L"cannot create the application: " + qarsim::Hex(hr));
        return 3;
    }
    // The server's own hold, not a client's.
    qarsim::Held<Application> application = qarsim::Held<Application>::Adopt(created.Detach());
    // In the running-object table under a moniker of its own, so that several instances can be
    // told apart; the table's entry does not keep the instance alive (weak registration), and the
    // references COM takes for it count as the simulation's own.
    ComPtr<IRunningObjectTable> table;
    ComPtr<IMoniker> moniker;
    DWORD rotCookie = 0;
    const std::wstring item = L"QarCadSim:" + std::to_wstring(GetCurrentProcessId()) + L":" +
                              std::to_wstring(application->InstanceId());
    hr = GetRunningObjectTable(0, table.Put());
    if (SUCCEEDED(hr)) hr = CreateItemMoniker(L"!", item.c_str(), moniker.Put());
    if (SUCCEEDED(hr)) {
        const long before = application->ClientRefs();
        hr = table->Register(0, static_cast<ISldWorks*>(application.Get()), moniker.Get(), &rotCookie);
        application->MarkInternal(application->ClientRefs() - before);
    }
    if (FAILED(hr)) {
        Say(L"cannot register in the running-object table: " + qarsim::Hex(hr));
        return 3;
    }

    ClassFactory factory(application.Get());
    DWORD classCookie = 0;
    if (options.classObject) {
        hr = CoRegisterClassObject(qarsim::kApplicationClass, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                   &classCookie);
        if (FAILED(hr)) {
            Say(L"cannot register the class object: " + qarsim::Hex(hr));
            table->Revoke(rotCookie);
            return 3;
        }
    }

    // Revokes the registrations as soon as the loop ends, so that no new client reaches an instance
    // that is ending. Not from inside ISimControl::Quit: measured under Wine 8, revoking there made the
    // Quit call itself fail with 0x800706BE.
    bool serving = true;
    auto stopServing = [&] {
        if (!serving) return;
        serving = false;
        if (options.classObject) CoRevokeClassObject(classCookie);
        const long before = application->ClientRefs();
        table->Revoke(rotCookie);
        application->MarkInternal(application->ClientRefs() - before);  // the table's references went
    };
    application->onQuit = [] { PostQuitMessage(0); };

    const DWORD start = GetTickCount();
    DWORD goneSince = 0;
    SetTimer(nullptr, 0, kCheckMilliseconds, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr) {
            const DWORD now = GetTickCount();
            const qarsim::Simulation& simulation = qarsim::Simulation::Get();
            if (options.lifetimeMilliseconds != 0 && now - start >= options.lifetimeMilliseconds) break;
            if (!simulation.HadClient() && options.classObject && now - start >= kIdleMilliseconds) break;
            // The last client gone: linger a moment, so that a client that lets go and activates again
            // at once meets this instance rather than one that is shutting down.
            if (!simulation.HadClient() || !simulation.ClientsGone()) {
                goneSince = 0;
            } else if (goneSince == 0) {
                goneSince = now;
            } else if (now - goneSince >= kLingerMilliseconds) {
                break;
            }
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    application->onQuit = nullptr;
    stopServing();
    // Remaining clients are cut off before the objects go.
    CoDisconnectObject(static_cast<ISldWorks*>(application.Get()), 0);
    return 0;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return _wcsnicmp(text.c_str(), prefix, wcslen(prefix)) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    enum class Action { None, Register, Unregister, ServeClass, ServeInstance } action = Action::None;
    qarsim::RegistrationOptions registration;
    ServerOptions server;
    bool versionsGiven = false;
    if (const wchar_t* lifetime = _wgetenv(L"QARCADSIM_LIFETIME")) {
        server.lifetimeMilliseconds = static_cast<DWORD>(_wtoi(lifetime)) * 1000;
    }
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (!argument.empty() && argument[0] == L'-') argument[0] = L'/';
        if (_wcsicmp(argument.c_str(), L"/regserver") == 0) {
            action = Action::Register;
        } else if (_wcsicmp(argument.c_str(), L"/unregserver") == 0) {
            action = Action::Unregister;
        } else if (_wcsicmp(argument.c_str(), L"/embedding") == 0 || _wcsicmp(argument.c_str(), L"/automation") == 0) {
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
        } else if (StartsWith(argument, L"/lifetime:")) {
            server.lifetimeMilliseconds = static_cast<DWORD>(_wtoi(argument.c_str() + 10)) * 1000;
        } else {
            Say(L"unknown option " + argument);
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
    Say(L"usage: qarcadsim /regserver [/machine|/user] [/version:<name>]... | /unregserver [/machine|/user] | "
        L"/instance [/lifetime:<seconds>]");
    return 2;
}
