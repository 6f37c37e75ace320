// The process's shared simulation state and the control interface that tests use to steer it.
#include <algorithm>
#include <memory>

#include "sim_internal.h"

namespace qarsim {
namespace {

// Every entry a test can steer. `nullable`: the entry has an object or string result that NullResult
// can take away.
struct EntryName {
    const wchar_t* name;
    bool nullable;
};
const EntryName kEntries[] = {
    {L"ISldWorks.OpenDocument", true},
    {L"ISldWorks.ActivateDocument", true},
    {L"ISldWorks.Frame", true},
    {L"ISldWorks.CloseDocument", false},
    {L"ISldWorks.Visible.get", false},
    {L"ISldWorks.Visible.put", false},
    {L"ISldWorks.UserControl.get", false},
    {L"ISldWorks.UserControl.put", false},
    {L"ISldWorks.LoadAddIn", false},
    {L"ISldWorks.ActiveDocument", true},
    {L"ISldWorks.EnumDocuments", true},
    {L"ISldWorks.AddInObject", true},
    {L"IFrame.GetHWnd", false},
    {L"ICaxDocument.NameText", true},
    {L"ICaxDocument.FullPath", true},
    {L"ICaxDocument.PrepareClose", false},
    {L"ICaxDocument.Save", false},
    {L"ICaxDocument.Dependencies", true},
    {L"IEnumCaxDocuments.Next", true},
    {L"IEnumCaxDocuments.Skip", false},
    {L"IEnumCaxDocuments.Reset", false},
    {L"IEnumCaxDocuments.Clone", true},
    {L"ISwAddIn.Disconnect", false},
    {L"ISwAddIn.CreateMenu", false},
    {L"ISwAddIn.RefreshTable", false},
    {L"ISwAddIn.UpdateTable", false},
    {L"ISwAddIn.errNumber.get", false},
    {L"ISwAddIn.errDescription.get", true},
    {L"ISwAddIn.SetLanguageXml", false},
    {L"ISwAddIn.SetHostObject", false},
    {L"ISwAddIn.SetAppHandle", false},
    {L"ISwAddIn.SetAddInArgument", false},
};

// The longest wait a test may inject: long enough for any time-out test, short enough that a
// mistaken value cannot hang a test run.
constexpr long kMaxDelayMilliseconds = 120000;

bool ValidMode(SimFaultMode mode) {
    return mode == SimAlways || mode == SimOnce;
}

}  // namespace

Simulation& Simulation::Get() {
    static Simulation simulation;
    return simulation;
}

// Instance ids differ between processes too, so a test that attached to one of several servers can
// tell which one answered.
Simulation::Simulation() : nextInstance_(static_cast<long>(GetCurrentProcessId() % 2000000) * 1000 + 1) {}

Simulation::Rule* Simulation::RuleFor(BSTR entry, bool needsNullableResult) {
    if (entry == nullptr) return nullptr;
    for (const EntryName& known : kEntries) {
        if (wcscmp(known.name, entry) == 0) {
            if (needsNullableResult && !known.nullable) return nullptr;
            return &rules_[known.name];
        }
    }
    return nullptr;
}

HRESULT Simulation::Enter(long instance, const wchar_t* entry, const std::wstring& arguments, bool* null) {
    if (null != nullptr) *null = false;
    const HRESULT refused = Refusal(instance, entry);
    if (FAILED(refused)) return refused;
    log_ += std::to_wstring(instance) + L"\t" + entry + L"(" + arguments + L")\n";
    auto found = rules_.find(entry);
    if (found == rules_.end()) return S_OK;
    if (found->second.delay) {
        found->second.delay = !found->second.delayOnce;
        if (found->second.milliseconds < 0) {
            Hang();
        } else {
            Sleep(static_cast<DWORD>(found->second.milliseconds));
        }
        // A hung entry took calls meanwhile: a Reset may have dropped the rule.
        found = rules_.find(entry);
        if (found == rules_.end()) return S_OK;
    }
    Rule& rule = found->second;
    if (rule.fail) {
        rule.fail = !rule.failOnce;
        return rule.hr;
    }
    if (rule.null && null != nullptr) {
        rule.null = !rule.nullOnce;
        *null = true;
    }
    return S_OK;
}

HRESULT Simulation::FailEntry(BSTR entry, HRESULT hr, SimFaultMode mode) {
    Rule* rule = RuleFor(entry, false);
    if (rule == nullptr || !ValidMode(mode)) return E_INVALIDARG;
    rule->fail = true;
    rule->failOnce = mode == SimOnce;
    rule->hr = hr;
    return S_OK;
}

HRESULT Simulation::NullResult(BSTR entry, SimFaultMode mode) {
    Rule* rule = RuleFor(entry, true);
    if (rule == nullptr || !ValidMode(mode)) return E_INVALIDARG;
    rule->null = true;
    rule->nullOnce = mode == SimOnce;
    return S_OK;
}

HRESULT Simulation::DelayEntry(BSTR entry, long milliseconds, SimFaultMode mode) {
    Rule* rule = RuleFor(entry, false);
    if (rule == nullptr || !ValidMode(mode) || milliseconds < -1 || milliseconds > kMaxDelayMilliseconds) {
        return E_INVALIDARG;
    }
    rule->delay = true;
    rule->delayOnce = mode == SimOnce;
    rule->milliseconds = milliseconds;
    return S_OK;
}

HRESULT Simulation::SetLoadAddInStatus(long status, SimFaultMode mode) {
    if (!ValidMode(mode)) return E_INVALIDARG;
    loadStatusSet_ = true;
    loadStatusOnce_ = mode == SimOnce;
    loadStatus_ = status;
    return S_OK;
}

bool Simulation::TakeLoadAddInStatus(long& status) {
    if (!loadStatusSet_) return false;
    loadStatusSet_ = !loadStatusOnce_;
    status = loadStatus_;
    return true;
}

HRESULT Simulation::SetWindowHandle(long handle, SimFaultMode mode) {
    if (!ValidMode(mode)) return E_INVALIDARG;
    windowHandleSet_ = true;
    windowHandleOnce_ = mode == SimOnce;
    windowHandle_ = handle;
    return S_OK;
}

bool Simulation::TakeWindowHandle(long& handle) {
    if (!windowHandleSet_) return false;
    windowHandleSet_ = !windowHandleOnce_;
    handle = windowHandle_;
    return true;
}

HRESULT Simulation::SetDependencies(const VARIANT& value, SimFaultMode mode) {
    if (!ValidMode(mode)) return E_INVALIDARG;
    if (V_VT(&value) == VT_EMPTY) {
        dependenciesSet_ = false;
        dependencies_.Reset();
        return S_OK;
    }
    UniqueVariant copy;
    HRESULT hr = VariantCopy(copy.Ptr(), const_cast<VARIANT*>(&value));
    if (FAILED(hr)) return hr;
    dependencies_ = std::move(copy);
    dependenciesSet_ = true;
    dependenciesOnce_ = mode == SimOnce;
    return S_OK;
}

bool Simulation::TakeDependencies(VARIANT* value, HRESULT& hr) {
    if (!dependenciesSet_) return false;
    hr = VariantCopy(value, dependencies_.Ptr());
    if (dependenciesOnce_) {
        dependenciesSet_ = false;
        dependencies_.Reset();
    }
    return true;
}

bool Simulation::BusyArgumentsValid(long milliseconds, long calls, SimBusyKind kind) {
    if (kind != SimBusyRejected && kind != SimBusyRetryLater) return false;
    if (milliseconds == 0 && calls == 0) return true;
    return (milliseconds == -1 || milliseconds > 0) && (calls == -1 || calls > 0);
}

HRESULT Simulation::SetBusy(long milliseconds, long calls, SimBusyKind kind) {
    if (!BusyArgumentsValid(milliseconds, calls, kind)) return E_INVALIDARG;
    busy_ = BusyWindow{milliseconds != 0, GetTickCount(), milliseconds, calls,
                       kind == SimBusyRejected ? RPC_E_CALL_REJECTED : RPC_E_SERVERCALL_RETRYLATER};
    return S_OK;
}

HRESULT Simulation::TakeBusyRefusal(long instance, const std::wstring& entry) {
    if (busy_.on && busy_.milliseconds > 0 &&
        GetTickCount() - busy_.start >= static_cast<DWORD>(busy_.milliseconds)) {
        busy_.on = false;
    }
    if (!busy_.on) return S_OK;
    if (busy_.calls > 0 && --busy_.calls == 0) busy_.on = false;
    LogRefused(instance, entry);
    return busy_.code;
}

void Simulation::LogRefused(long instance, const std::wstring& entry) {
    log_ += std::to_wstring(instance) + L"\t" + entry + L" refused\n";
}

HRESULT Simulation::Refusal(long instance, const wchar_t* entry) {
    // The message filter refused this call and logged it already, but the channel ran it anyway.
    if (filterRefusal_ != S_OK) return std::exchange(filterRefusal_, S_OK);
    return TakeBusyRefusal(instance, entry);
}

HRESULT Simulation::RefuseIncoming(long instance, const std::wstring& entry) {
    filterRefusal_ = S_OK;
    if (Hanging()) {
        // Inside a modal operation an application refuses outright, busy window or not.
        LogRefused(instance, entry);
        return RPC_E_CALL_REJECTED;
    }
    const HRESULT code = TakeBusyRefusal(instance, entry);
    // Under Wine a call answered SERVERCALL_RETRYLATER runs all the same (measured); its entry then
    // answers the code itself, as the caller would receive it from the channel on Windows.
    if (code == RPC_E_SERVERCALL_RETRYLATER) filterRefusal_ = code;
    return code;
}

void Simulation::Hang() {
    const std::unique_ptr<void, decltype(&CloseHandle)> event(CreateEventW(nullptr, TRUE, FALSE, nullptr),
                                                              &CloseHandle);
    if (!event) return;
    HANDLE handle = event.get();
    {
        std::lock_guard<std::mutex> lock(hungMutex_);
        hungEvents_.push_back(handle);
    }
    DWORD timeout = INFINITE;
    if (hangsLimited_) {
        const LONG left = static_cast<LONG>(hangDeadline_ - GetTickCount());
        timeout = left > 0 ? static_cast<DWORD>(left) : 0;
    }
    // In a single-threaded apartment this dispatches incoming calls while it waits, so that the
    // control interface can release the entry.
    DWORD index = 0;
    CoWaitForMultipleHandles(0, timeout, 1, &handle, &index);
    std::lock_guard<std::mutex> lock(hungMutex_);
    const auto still = std::find(hungEvents_.begin(), hungEvents_.end(), handle);  // the deadline passed
    if (still != hungEvents_.end()) hungEvents_.erase(still);
}

bool Simulation::Hanging() {
    std::lock_guard<std::mutex> lock(hungMutex_);
    return !hungEvents_.empty();
}

HRESULT Simulation::ReleaseHung() {
    // Released entries leave the list at once: a client that calls as soon as ReleaseHung has answered
    // must not be refused while the released entry is still on its way out of the wait.
    std::lock_guard<std::mutex> lock(hungMutex_);
    for (HANDLE event : hungEvents_) SetEvent(event);
    const HRESULT hr = hungEvents_.empty() ? S_FALSE : S_OK;
    hungEvents_.clear();
    return hr;
}

void Simulation::Reset() {
    ReleaseHung();
    busy_ = BusyWindow{};
    rules_.clear();
    log_.clear();
    loadStatusSet_ = false;
    windowHandleSet_ = false;
    dependenciesSet_ = false;
    dependencies_.Reset();
}

void Simulation::AddInCounts(long& live, long& refs) const {
    live = Tally(Kind::AddIn).live;
    refs = Tally(Kind::AddIn).clientRefs;
    for (const auto& [module, holds] : addInHolds_) {
        if (holds <= 0) continue;
        auto counts = reinterpret_cast<QarSimAddInCountsFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, kQarSimAddInCountsExport)));
        if (counts == nullptr) continue;
        LONG moduleLive = 0, moduleRefs = 0;
        counts(&moduleLive, &moduleRefs);
        live += moduleLive;
        refs += moduleRefs - holds;
    }
}

void Simulation::ConnectionsChanged(long change) {
    connections_ += change;
    if (change > 0) hadClient_ = true;
}

bool Simulation::ClientsGone() const {
    if (!hadClient_ || connections_ > 0) return false;
    for (Kind kind : {Kind::Frame, Kind::Document, Kind::Enumerator}) {
        if (Tally(kind).clientRefs > 0) return false;
    }
    long live = 0, refs = 0;
    AddInCounts(live, refs);
    return refs <= 0;
}

// The control interface shares the application's identity and reference count.
HRESULT STDMETHODCALLTYPE ApplicationControl::QueryInterface(REFIID iid, void** out) {
    return owner_.QueryInterface(iid, out);
}
ULONG STDMETHODCALLTYPE ApplicationControl::AddRef() {
    return owner_.AddRef();
}
ULONG STDMETHODCALLTYPE ApplicationControl::Release() {
    return owner_.Release();
}

HRESULT STDMETHODCALLTYPE ApplicationControl::FailEntry(BSTR entry, LONG hr, SimFaultMode mode) {
    return Simulation::Get().FailEntry(entry, hr, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::NullResult(BSTR entry, SimFaultMode mode) {
    return Simulation::Get().NullResult(entry, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::DelayEntry(BSTR entry, LONG milliseconds, SimFaultMode mode) {
    return Simulation::Get().DelayEntry(entry, milliseconds, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::SetLoadAddInStatus(LONG status, SimFaultMode mode) {
    return Simulation::Get().SetLoadAddInStatus(status, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::SetWindowHandle(LONG handle, SimFaultMode mode) {
    return Simulation::Get().SetWindowHandle(handle, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::SetDependencies(VARIANT value, SimFaultMode mode) {
    return Simulation::Get().SetDependencies(value, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::FailAddInMethod(BSTR method, LONG hr, LONG errNumber,
                                                              BSTR errDescription, SimFaultMode mode) {
    return owner_.FailAddInMethod(method, hr, errNumber, errDescription, mode);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::Terminate(LONG exitCode) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return E_UNEXPECTED;  // not reached
}

HRESULT STDMETHODCALLTYPE ApplicationControl::CallLog(BSTR* log) {
    if (log == nullptr) return E_POINTER;
    *log = UniqueBstr::Copy(Simulation::Get().CallLog()).Release();
    return *log != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE ApplicationControl::AddInConfiguration(BSTR* values) {
    if (values == nullptr) return E_POINTER;
    return owner_.AddInConfiguration(values);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::ObjectCounts(BSTR* counts) {
    if (counts == nullptr) return E_POINTER;
    std::wstring text;
    const std::pair<const wchar_t*, Kind> kinds[] = {{L"application", Kind::Application},
                                                     {L"frame", Kind::Frame},
                                                     {L"document", Kind::Document},
                                                     {L"enumerator", Kind::Enumerator}};
    for (const auto& [name, kind] : kinds) {
        text += std::wstring(name) + L" " + std::to_wstring(Tally(kind).live) + L" " +
                std::to_wstring(Tally(kind).clientRefs) + L"\n";
    }
    long live = 0, refs = 0;
    Simulation::Get().AddInCounts(live, refs);
    text += L"addin " + std::to_wstring(live) + L" " + std::to_wstring(refs) + L"\n";
    *counts = UniqueBstr::Copy(text).Release();
    return *counts != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE ApplicationControl::get_InstanceId(LONG* id) {
    if (id == nullptr) return E_POINTER;
    *id = owner_.InstanceId();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationControl::SetBusy(LONG milliseconds, LONG calls, SimBusyKind kind) {
    return Simulation::Get().SetBusy(milliseconds, calls, kind);
}

HRESULT STDMETHODCALLTYPE ApplicationControl::ReleaseHung() {
    return Simulation::Get().ReleaseHung();
}

HRESULT STDMETHODCALLTYPE ApplicationControl::Reset() {
    Simulation::Get().Reset();
    owner_.ResetAddIns();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ApplicationControl::Quit() {
    if (!owner_.onQuit) return S_FALSE;
    Simulation::Get().ReleaseHung();  // a hung entry ends with its application
    owner_.onQuit();
    return S_OK;
}

}  // namespace qarsim
