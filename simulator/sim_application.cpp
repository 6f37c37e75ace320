// The application object, its frame, and what connects it to a loaded add-in.
#include <new>

#include "Public/class_factory.h"
#include "sim_internal.h"

namespace qarsim {
namespace {

constexpr const wchar_t* kWindowClass = L"QarCadSimMainWindow";
constexpr const wchar_t* kAddInProgId = L"BrivexSw18.BrivexSw18";

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) {
        // A user closing the main window quits the application (in a server); in process the window
        // only hides, since the objects still have their clients.
        auto* application = reinterpret_cast<Application*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (application != nullptr && application->onQuit) {
            application->onQuit();
        } else {
            ShowWindow(window, SW_HIDE);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HRESULT RegisterWindowClass() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = ThisModule();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    return S_OK;
}

std::wstring FullPathOf(BSTR path) {
    if (path == nullptr || path[0] == L'\0') return std::wstring();
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetFullPathNameW(path, MAX_PATH * 4, buffer, nullptr);
    return length == 0 || length >= MAX_PATH * 4 ? std::wstring() : std::wstring(buffer, length);
}

// The main window, as the frame object hands it out. It holds its application, as the real frame
// keeps its application alive.
class Frame final : public Counted, public IFrame {
public:
    explicit Frame(Application* application) : Counted(Kind::Frame), application_(application) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(IFrame)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IFrame*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCounted(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseCounted(); }
    QARSIM_DISPATCH(IFrame, kCadInterfaces)
    HRESULT Refusal(const wchar_t* entry) {
        return Simulation::Get().Refusal(application_->InstanceId(), entry);
    }

    QARSIM_SLOT(007)
    QARSIM_SLOT(008)
    QARSIM_SLOT(009)
    QARSIM_SLOT(010)
    QARSIM_SLOT(011)
    QARSIM_SLOT(012)
    QARSIM_SLOT(013)
    QARSIM_SLOT(014)
    QARSIM_SLOT(015)
    QARSIM_SLOT(016)
    HRESULT STDMETHODCALLTYPE GetHWnd(LONG* handle) override {
        if (handle == nullptr) return E_POINTER;
        *handle = 0;
        HRESULT hr = Simulation::Get().Enter(application_->InstanceId(), L"IFrame.GetHWnd", L"");
        if (FAILED(hr)) return hr;
        LONG injected = 0;
        if (Simulation::Get().TakeWindowHandle(injected)) {
            *handle = injected;
            return S_OK;
        }
        // Window handles carry 32 significant bits, also in 64-bit processes.
        *handle = static_cast<LONG>(reinterpret_cast<LONG_PTR>(application_->Window()));
        return S_OK;
    }

private:
    Held<Application> application_;
};

// Reports the loaded add-in's calls to the call log and the injected faults, as calls of the instance
// that loaded it. It holds no application, so the add-in holding it makes no cycle.
class AddInHook final : public ISimAddInHook {
public:
    explicit AddInHook(long instance) : instance_(instance) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && iid != __uuidof(ISimAddInHook)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<ISimAddInHook*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Enter(const wchar_t* entry, const wchar_t* arguments,
                                    BOOL* nullResult) override {
        bool null = false;
        HRESULT hr = Simulation::Get().Enter(instance_, entry, arguments, &null);
        if (nullResult != nullptr) *nullResult = null;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Refusal(const wchar_t* entry) override {
        return Simulation::Get().Refusal(instance_, entry);
    }

private:
    long instance_;
    ULONG refs_ = 1;
};

// Hands every activation the one application object.
class ClassFactory final : public qar::ClassFactoryBase {
public:
    ClassFactory(ISldWorks* application, long instance) : application_(application), instance_(instance) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        const HRESULT refused = Simulation::Get().Refusal(instance_, L"IClassFactory.CreateInstance");
        if (FAILED(refused)) return refused;
        return application_->QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    ComPtr<ISldWorks> application_;
    long instance_;
    LONG refs_ = 1;
};

}  // namespace

Application::Application() : Counted(Kind::Application), instance_(Simulation::Get().NewInstanceId()) {}

Application::~Application() {
    for (LoadedAddIn& addIn : addIns_) {
        ComPtr<ISimAddInControl> control;
        if (SUCCEEDED(addIn.object.As(control))) control->SetHook(nullptr);
        Simulation::Get().AddInHeld(addIn.module, -1);
        // The module stays loaded: clients may still hold its objects, whose code lives in it.
    }
    for (Held<Document>& document : documents_) document->Close();
    if (window_ != nullptr) DestroyWindow(window_);
}

HRESULT Application::Create(ComPtr<Application>& application) {
    ComPtr<Application> created = ComPtr<Application>::Adopt(new (std::nothrow) Application());
    if (!created) return E_OUTOFMEMORY;
    HRESULT hr = created->Init();
    if (FAILED(hr)) return hr;
    application = std::move(created);
    return S_OK;
}

HRESULT Application::Init() {
    // Without its type libraries the object could answer no late-bound call: fail now, not later.
    ComPtr<ITypeInfo> info;
    HRESULT hr = LoadOwnTypeInfo(kCadInterfaces, __uuidof(ISldWorks), info);
    if (SUCCEEDED(hr)) hr = LoadOwnTypeInfo(kSimControl, __uuidof(ISimControl), info);
    if (FAILED(hr)) return hr;
    hr = RegisterWindowClass();
    if (FAILED(hr)) return hr;
    const std::wstring title = L"Simulated CAD application " + std::to_wstring(instance_);
    window_ = CreateWindowExW(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 640, 480, nullptr, nullptr, ThisModule(), nullptr);
    if (window_ == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    hook_ = ComPtr<ISimAddInHook>::Adopt(new (std::nothrow) AddInHook(instance_));
    return hook_ ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE Application::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(ISldWorks)) {
        *out = static_cast<ISldWorks*>(this);
    } else if (iid == __uuidof(ISimControl)) {
        *out = static_cast<ISimControl*>(&control_);
    } else if (iid == IID_IExternalConnection) {
        *out = static_cast<IExternalConnection*>(this);
    } else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT Application::Failure(HRESULT hr, const std::wstring& description) {
    return ReportFailure(__uuidof(ISldWorks), L"ISldWorks", description, hr);
}

size_t Application::FindDocument(const std::wstring& text) const {
    for (size_t i = 0; i < documents_.size(); ++i) {
        if (_wcsicmp(documents_[i]->Path().c_str(), text.c_str()) == 0) return i;
    }
    for (size_t i = 0; i < documents_.size(); ++i) {
        if (documents_[i]->Name() == text) return i;
    }
    return documents_.size();
}

HRESULT STDMETHODCALLTYPE Application::OpenDocument(BSTR path, LONG type, ICaxDocument** document) {
    if (document == nullptr) return E_POINTER;
    *document = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.OpenDocument",
                                         Quoted(path) + L", " + std::to_wstring(type), &null);
    if (FAILED(hr) || null) return hr;
    const std::wstring fullPath = FullPathOf(path);
    // The application opens a file only as the type its extension names, also one already open.
    if (fullPath.empty() || type != DocumentTypeOfPath(fullPath)) {
        return Failure(E_INVALIDARG, L"cannot open " + Quoted(path) + L" as type " + std::to_wstring(type));
    }
    size_t index = FindDocument(fullPath);
    if (index < documents_.size() && _wcsicmp(documents_[index]->Path().c_str(), fullPath.c_str()) != 0) {
        index = documents_.size();  // only the same file is the same document
    }
    if (index == documents_.size()) {
        Held<Document> opened;
        hr = Document::Open(instance_, path != nullptr ? path : L"", type, opened);
        if (FAILED(hr))
            return Failure(hr, L"cannot open " + Quoted(path) + L" as type " + std::to_wstring(type));
        documents_.push_back(std::move(opened));
    }
    active_ = index;
    ICaxDocument* result = documents_[index].Get();
    result->AddRef();
    *document = result;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::ActivateDocument(BSTR path, IDispatch** document) {
    if (document == nullptr) return E_POINTER;
    *document = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.ActivateDocument", Quoted(path), &null);
    if (FAILED(hr)) return hr;
    const std::wstring fullPath = FullPathOf(path);
    size_t index = fullPath.empty() ? documents_.size() : FindDocument(fullPath);
    if (index == documents_.size() && path != nullptr) index = FindDocument(path);
    if (index == documents_.size()) return Failure(E_INVALIDARG, Quoted(path) + L" is not open");
    active_ = index;
    if (null) return S_OK;
    IDispatch* result = documents_[index].Get();
    result->AddRef();
    *document = result;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::Frame(IDispatch** frame) {
    if (frame == nullptr) return E_POINTER;
    *frame = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.Frame", L"", &null);
    if (FAILED(hr) || null) return hr;
    IFrame* created = new (std::nothrow) class Frame(this);
    if (created == nullptr) return E_OUTOFMEMORY;
    *frame = created;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::CloseDocument(BSTR name) {
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.CloseDocument", Quoted(name));
    if (FAILED(hr)) return hr;
    // The name text or the full path: what ICaxDocument::NameText or ::FullPath gave.
    const size_t index = name != nullptr ? FindDocument(name) : documents_.size();
    if (index == documents_.size()) return Failure(E_INVALIDARG, Quoted(name) + L" is not open");
    documents_[index]->Close();
    documents_.erase(documents_.begin() + static_cast<std::ptrdiff_t>(index));
    if (active_ == index) {
        active_ = documents_.empty() ? 0 : documents_.size() - 1;
    } else if (active_ > index) {
        --active_;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::get_Visible(VARIANT_BOOL* visible) {
    if (visible == nullptr) return E_POINTER;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.Visible.get", L"");
    if (FAILED(hr)) return hr;
    *visible = visible_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::put_Visible(VARIANT_BOOL visible) {
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.Visible.put", std::to_wstring(visible));
    if (FAILED(hr)) return hr;
    visible_ = visible != VARIANT_FALSE;
    ShowWindow(window_, visible_ ? SW_SHOWNOACTIVATE : SW_HIDE);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::get_UserControl(VARIANT_BOOL* userControl) {
    if (userControl == nullptr) return E_POINTER;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.UserControl.get", L"");
    if (FAILED(hr)) return hr;
    *userControl = userControl_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::put_UserControl(VARIANT_BOOL userControl) {
    HRESULT hr =
        Simulation::Get().Enter(instance_, L"ISldWorks.UserControl.put", std::to_wstring(userControl));
    if (SUCCEEDED(hr)) userControl_ = userControl != VARIANT_FALSE;
    return hr;
}

HRESULT STDMETHODCALLTYPE Application::LoadAddIn(BSTR path, LONG* status) {
    if (status == nullptr) return E_POINTER;
    Simulation& simulation = Simulation::Get();
    // An injected failure leaves the caller's status as it was: the call did nothing.
    HRESULT hr = simulation.Enter(instance_, L"ISldWorks.LoadAddIn", Quoted(path));
    if (FAILED(hr)) return hr;
    *status = 1;
    long injected = 0;
    if (simulation.TakeLoadAddInStatus(injected)) {
        *status = injected;
        return S_OK;
    }
    const std::wstring fullPath = FullPathOf(path);
    if (fullPath.empty()) return S_OK;  // status 1: nothing to load
    for (const LoadedAddIn& loaded : addIns_) {
        if (_wcsicmp(loaded.path.c_str(), fullPath.c_str()) == 0) {
            *status = 2;
            return S_OK;
        }
    }
    qar::UniqueModule owner(LoadLibraryExW(fullPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!owner) return S_OK;
    auto create = reinterpret_cast<QarSimCreateAddInFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(owner.Get(), kQarSimCreateAddInExport)));
    if (create == nullptr) return S_OK;  // not an add-in module: unloaded again
    LoadedAddIn loaded{fullPath, owner.Get(), {}};
    if (FAILED(create(loaded.object.Put())) || !loaded.object) return S_OK;
    ComPtr<ISimAddInControl> control;
    if (SUCCEEDED(loaded.object.As(control))) {
        control->SetHook(hook_.Get());
        for (const PendingFailure& failure : pendingAddInFailures_) {
            control->FailMethod(failure.method.c_str(), failure.hr, failure.errNumber,
                                failure.description.c_str(), failure.once);
        }
    }
    pendingAddInFailures_.clear();
    addIns_.push_back(std::move(loaded));
    simulation.AddInHeld(owner.Get(), 1);
    owner.Release();  // loaded for the rest of the process: its objects' code lives in it
    *status = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::ActiveDocument(ICaxDocument** document) {
    if (document == nullptr) return E_POINTER;
    *document = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.ActiveDocument", L"", &null);
    if (FAILED(hr) || null) return hr;
    if (documents_.empty()) return S_FALSE;
    ICaxDocument* result = documents_[active_].Get();
    result->AddRef();
    *document = result;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Application::EnumDocuments(IEnumCaxDocuments** documents) {
    if (documents == nullptr) return E_POINTER;
    *documents = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.EnumDocuments", L"", &null);
    if (FAILED(hr) || null) return hr;
    return CreateEnumerator(instance_, documents_, 0, documents);
}

HRESULT STDMETHODCALLTYPE Application::AddInObject(BSTR progId, IDispatch** addIn) {
    if (addIn == nullptr) return E_POINTER;
    *addIn = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ISldWorks.AddInObject", Quoted(progId), &null);
    if (FAILED(hr) || null) return hr;
    // Unknown or not loaded: no object, and no failure, as the real application answers.
    if (progId == nullptr || _wcsicmp(progId, kAddInProgId) != 0 || addIns_.empty()) return S_OK;
    return addIns_.front().object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(addIn));
}

DWORD STDMETHODCALLTYPE Application::AddConnection(DWORD type, DWORD) {
    if ((type & EXTCONN_STRONG) != 0) Simulation::Get().ConnectionsChanged(1);
    return static_cast<DWORD>(Simulation::Get().Connections());
}

DWORD STDMETHODCALLTYPE Application::ReleaseConnection(DWORD type, DWORD, BOOL) {
    if ((type & EXTCONN_STRONG) != 0) Simulation::Get().ConnectionsChanged(-1);
    return static_cast<DWORD>(Simulation::Get().Connections());
}

HRESULT Application::FailAddInMethod(BSTR method, HRESULT hr, long errNumber, BSTR description,
                                     SimFaultMode mode) {
    static const wchar_t* const kMethods[] = {L"CreateMenu", L"RefreshTable", L"UpdateTable", L"Disconnect"};
    bool known = false;
    for (const wchar_t* name : kMethods) known = known || (method != nullptr && wcscmp(method, name) == 0);
    if (!known || (mode != SimAlways && mode != SimOnce)) return E_INVALIDARG;
    const BOOL once = mode == SimOnce;
    const wchar_t* text = description != nullptr ? description : L"";
    if (addIns_.empty()) {
        // Applies to the add-in that a later LoadAddIn loads.
        pendingAddInFailures_.push_back(PendingFailure{method, hr, errNumber, text, once != FALSE});
        return S_OK;
    }
    for (LoadedAddIn& addIn : addIns_) {
        ComPtr<ISimAddInControl> control;
        if (FAILED(addIn.object.As(control))) return E_UNEXPECTED;
        HRESULT result = control->FailMethod(method, hr, errNumber, text, once);
        if (FAILED(result)) return result;
    }
    return S_OK;
}

HRESULT Application::AddInConfiguration(BSTR* values) {
    std::wstring all;
    for (LoadedAddIn& addIn : addIns_) {
        ComPtr<ISimAddInControl> control;
        UniqueBstr text;
        if (SUCCEEDED(addIn.object.As(control)) && SUCCEEDED(control->Configuration(text.Put())))
            all += text.Str();
    }
    *values = UniqueBstr::Copy(all).Release();
    return *values != nullptr ? S_OK : E_OUTOFMEMORY;
}

void Application::ResetAddIns() {
    pendingAddInFailures_.clear();
    for (LoadedAddIn& addIn : addIns_) {
        ComPtr<ISimAddInControl> control;
        if (SUCCEEDED(addIn.object.As(control))) control->Reset();
    }
}

HRESULT CreateApplication(ISldWorks** application) {
    if (application == nullptr) return E_POINTER;
    *application = nullptr;
    ComPtr<Application> created;
    HRESULT hr = Application::Create(created);
    if (SUCCEEDED(hr)) *application = created.Detach();
    return hr;
}

HRESULT CreateClassFactory(ISldWorks* application, IClassFactory** factory) {
    if (factory == nullptr) return E_POINTER;
    *factory = nullptr;
    if (application == nullptr) return E_INVALIDARG;
    // The instance id for the call log; an application without the control interface logs as 0.
    LONG instance = 0;
    ComPtr<ISimControl> control;
    if (SUCCEEDED(
            application->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put())))) {
        control->get_InstanceId(&instance);
    }
    *factory = new (std::nothrow) ClassFactory(application, instance);
    return *factory != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace qarsim
