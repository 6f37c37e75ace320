// Internals of the simulated application shared by its source files and the server program.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim_addin.h"
#include "sim_application.h"
#include "sim_common.h"

namespace qarsim {

// What a test injected, the call log, and the process's other shared state. One per process: every
// application instance in the process reports to it, tagging its calls with its instance id. All
// access is from the one single-threaded apartment, except ReleaseHung (any thread).
class Simulation {
public:
    static Simulation& Get();

    // Refuses the call while the application is busy (Refusal); otherwise logs it as
    // "<instance>\t<entry>(<arguments>)" and applies what was injected for `entry`: waits, then
    // returns the HRESULT to fail with (S_OK to go on); *null tells whether the entry is to hand back a
    // null object or string (pass null for entries without such a result).
    HRESULT Enter(long instance, const wchar_t* entry, const std::wstring& arguments, bool* null = nullptr);

    // The busy window (ISimControl::SetBusy). Valid: (0, 0) to end a window, or each of the two
    // limits -1 (none) or positive; and a known kind.
    HRESULT SetBusy(long milliseconds, long calls, SimBusyKind kind);
    static bool BusyArgumentsValid(long milliseconds, long calls, SimBusyKind kind);
    // The code a call of `entry` is refused with, logged as "<instance>\t<entry> refused", while a
    // busy window lasts or when the server's message filter refused this call already; S_OK otherwise.
    HRESULT Refusal(long instance, const wchar_t* entry);
    // For the server's message filter, for an incoming call from another process that is not on the
    // control interface: the code to refuse it with (RPC_E_CALL_REJECTED, RPC_E_SERVERCALL_RETRYLATER),
    // logged and counted as a refusal, or S_OK to let it run.
    HRESULT RefuseIncoming(long instance, const std::wstring& entry);
    // The control interface's calls are never refused: forgets a refusal the filter left for Refusal.
    void AdmitControlCall() { filterRefusal_ = S_OK; }

    // Ends every hung entry's wait: S_OK, or S_FALSE when none was waiting. Any thread.
    HRESULT ReleaseHung();
    // Hung entries wait at most until this tick (the end of the instance's lifetime).
    void LimitHangs(DWORD deadline) {
        hangsLimited_ = true;
        hangDeadline_ = deadline;
    }

    HRESULT FailEntry(BSTR entry, HRESULT hr, SimFaultMode mode);
    HRESULT NullResult(BSTR entry, SimFaultMode mode);
    HRESULT DelayEntry(BSTR entry, long milliseconds, SimFaultMode mode);
    HRESULT SetLoadAddInStatus(long status, SimFaultMode mode);
    // True, with the status to answer, when one was injected for this call.
    bool TakeLoadAddInStatus(long& status);
    HRESULT SetWindowHandle(long handle, SimFaultMode mode);
    // True, with the handle to answer, when one was injected for this call.
    bool TakeWindowHandle(long& handle);
    HRESULT SetDependencies(const VARIANT& value, SimFaultMode mode);
    // True, with a copy of the injected value, when one was injected for this call.
    bool TakeDependencies(VARIANT* value, HRESULT& hr);

    const std::wstring& CallLog() const { return log_; }
    void Reset();

    long NewInstanceId() { return nextInstance_++; }

    // Add-in objects that applications of this process hold, per module: their references are the
    // simulation's own, not a client's.
    void AddInHeld(HMODULE module, long change) { addInHolds_[module] += change; }
    // Live add-in objects of this binary and of every add-in module loaded, and the references clients
    // hold on them.
    void AddInCounts(long& live, long& refs) const;

    // Counts an application's external connections (IExternalConnection); the server ends when they
    // and every client reference to the other objects are gone (ClientsGone).
    void ConnectionsChanged(long change);
    bool HadClient() const { return hadClient_; }
    long Connections() const { return connections_; }
    bool ClientsGone() const;

private:
    struct Rule {
        bool fail = false, failOnce = false;
        HRESULT hr = S_OK;
        bool null = false, nullOnce = false;
        bool delay = false, delayOnce = false;
        long milliseconds = 0;  // -1: hangs
    };
    struct BusyWindow {
        bool on = false;
        DWORD start = 0;
        long milliseconds = -1, calls = -1;  // -1: no limit
        HRESULT code = S_OK;
    };
    // The rule for a known entry name; null for an unknown one, or when `needsNullableResult` and the
    // entry has no object or string result.
    Rule* RuleFor(BSTR entry, bool needsNullableResult);
    // The busy window's code, counting one refused call and logging it; S_OK when no window is on.
    HRESULT TakeBusyRefusal(long instance, const std::wstring& entry);
    // Logs "<instance>\t<entry> refused": a refused call has a line of its own, without arguments.
    void LogRefused(long instance, const std::wstring& entry);
    // Waits until ReleaseHung or the hang deadline, taking incoming calls meanwhile.
    void Hang();
    // True while an entry waits in Hang and has not been released.
    bool Hanging();

    std::map<std::wstring, Rule> rules_;
    std::wstring log_;
    BusyWindow busy_;
    // A refusal the server's message filter answered for the call being dispatched, when the COM
    // channel may run the call anyway (SERVERCALL_RETRYLATER under Wine): the entry then refuses it.
    HRESULT filterRefusal_ = S_OK;
    bool hangsLimited_ = false;
    DWORD hangDeadline_ = 0;
    std::mutex hungMutex_;
    std::vector<HANDLE> hungEvents_;  // one per waiting entry not yet released, owned by its Hang
    bool loadStatusSet_ = false, loadStatusOnce_ = false;
    long loadStatus_ = 0;
    bool windowHandleSet_ = false, windowHandleOnce_ = false;
    long windowHandle_ = 0;
    bool dependenciesSet_ = false, dependenciesOnce_ = false;
    UniqueVariant dependencies_;
    long nextInstance_;
    std::map<HMODULE, long> addInHolds_;
    long connections_ = 0;
    bool hadClient_ = false;

    Simulation();
};

// An open document, read from its file.
class Document final : public Counted, public ICaxDocument {
public:
    // Reads `fullPath`. Fails (no document) when the file is missing, unreadable, larger than the
    // simulation reads, or of another type than `type`; see simulator/README.md for the format.
    static HRESULT Open(long instance, const std::wstring& fullPath, long type, Held<Document>& document);

    const std::wstring& Path() const { return path_; }
    const std::wstring& Name() const { return name_; }
    void Close() { closed_ = true; }
    HRESULT Refusal(const wchar_t* entry) { return Simulation::Get().Refusal(instance_, entry); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCounted(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseCounted(); }
    QARSIM_DISPATCH(ICaxDocument, kCadInterfaces)

    QARSIM_SLOT(007)
    QARSIM_SLOT(008)
    QARSIM_SLOT(009)
    QARSIM_SLOTS10(01)
    QARSIM_SLOTS10(02)
    QARSIM_SLOTS10(03)
    QARSIM_SLOTS10(04)
    QARSIM_SLOTS10(05)
    QARSIM_SLOTS10(06)
    QARSIM_SLOTS10(07)
    QARSIM_SLOTS10(08)
    HRESULT STDMETHODCALLTYPE NameText(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE FullPath(BSTR* path) override;
    QARSIM_SLOT(092)
    QARSIM_SLOT(093)
    QARSIM_SLOT(094)
    QARSIM_SLOT(095)
    QARSIM_SLOT(096)
    QARSIM_SLOT(097)
    QARSIM_SLOT(098)
    QARSIM_SLOT(099)
    QARSIM_SLOTS10(10)
    QARSIM_SLOTS10(11)
    QARSIM_SLOTS10(12)
    QARSIM_SLOTS10(13)
    QARSIM_SLOTS10(14)
    QARSIM_SLOT(150)
    QARSIM_SLOT(151)
    QARSIM_SLOT(152)
    QARSIM_SLOT(153)
    QARSIM_SLOT(154)
    QARSIM_SLOT(155)
    QARSIM_SLOT(156)
    QARSIM_SLOT(157)
    HRESULT STDMETHODCALLTYPE PrepareClose() override;
    QARSIM_SLOT(159)
    QARSIM_SLOTS10(16)
    QARSIM_SLOTS10(17)
    QARSIM_SLOTS10(18)
    QARSIM_SLOTS10(19)
    QARSIM_SLOTS10(20)
    QARSIM_SLOTS10(21)
    QARSIM_SLOTS10(22)
    QARSIM_SLOTS10(23)
    QARSIM_SLOTS10(24)
    QARSIM_SLOTS10(25)
    QARSIM_SLOTS10(26)
    QARSIM_SLOTS10(27)
    QARSIM_SLOTS10(28)
    QARSIM_SLOTS10(29)
    QARSIM_SLOTS10(30)
    QARSIM_SLOTS10(31)
    QARSIM_SLOTS10(32)
    QARSIM_SLOTS10(33)
    QARSIM_SLOTS10(34)
    QARSIM_SLOTS10(35)
    QARSIM_SLOTS10(36)
    QARSIM_SLOTS10(37)
    QARSIM_SLOTS10(38)
    QARSIM_SLOTS10(39)
    QARSIM_SLOTS10(40)
    QARSIM_SLOTS10(41)
    QARSIM_SLOTS10(42)
    QARSIM_SLOTS10(43)
    QARSIM_SLOTS10(44)
    QARSIM_SLOTS10(45)
    QARSIM_SLOTS10(46)
    QARSIM_SLOTS10(47)
    QARSIM_SLOTS10(48)
    QARSIM_SLOTS10(49)
    QARSIM_SLOT(500)
    QARSIM_SLOT(501)
    QARSIM_SLOT(502)
    QARSIM_SLOT(503)
    QARSIM_SLOT(504)
    QARSIM_SLOT(505)
    QARSIM_SLOT(506)
    QARSIM_SLOT(507)
    HRESULT STDMETHODCALLTYPE Save(VARIANT_BOOL silent, LONG* result) override;
    QARSIM_SLOT(509)
    QARSIM_SLOTS10(51)
    QARSIM_SLOTS10(52)
    QARSIM_SLOTS10(53)
    QARSIM_SLOTS10(54)
    QARSIM_SLOTS10(55)
    QARSIM_SLOTS10(56)
    QARSIM_SLOTS10(57)
    QARSIM_SLOTS10(58)
    QARSIM_SLOTS10(59)
    QARSIM_SLOT(600)
    QARSIM_SLOT(601)
    HRESULT STDMETHODCALLTYPE Dependencies(VARIANT_BOOL option1, VARIANT_BOOL option2, LONG option3,
                                           VARIANT* list) override;

private:
    Document(long instance, std::wstring path)
        : Counted(Kind::Document), instance_(instance), path_(std::move(path)) {}

    long instance_;
    std::wstring path_;
    std::wstring name_;
    std::string content_;                   // the file's bytes as read, written back by Save
    std::vector<std::wstring> components_;  // full paths, each once, in the order the file lists them
    bool closed_ = false;
};

// A new enumerator over a snapshot of `documents`.
HRESULT CreateEnumerator(long instance, const std::vector<Held<Document>>& documents, size_t position,
                         IEnumCaxDocuments** enumerator);

// The type of a document file from its extension, in any letter case: 1 part, 2 assembly, 3 drawing,
// 0 anything else.
long DocumentTypeOfPath(const std::wstring& path);

class Application;

// The control interface of an application: a part of the application object, whose IUnknown it
// shares, so that holding the control holds the application.
class ApplicationControl final : public ISimControl {
public:
    explicit ApplicationControl(Application& owner) : owner_(owner) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    QARSIM_DISPATCH(ISimControl, kSimControl)

    HRESULT STDMETHODCALLTYPE FailEntry(BSTR entry, LONG hr, SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE NullResult(BSTR entry, SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE DelayEntry(BSTR entry, LONG milliseconds, SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE SetLoadAddInStatus(LONG status, SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE SetDependencies(VARIANT value, SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE FailAddInMethod(BSTR method, LONG hr, LONG errNumber, BSTR errDescription,
                                              SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE Terminate(LONG exitCode) override;
    HRESULT STDMETHODCALLTYPE CallLog(BSTR* log) override;
    HRESULT STDMETHODCALLTYPE AddInConfiguration(BSTR* values) override;
    HRESULT STDMETHODCALLTYPE ObjectCounts(BSTR* counts) override;
    HRESULT STDMETHODCALLTYPE get_InstanceId(LONG* id) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Quit() override;
    HRESULT STDMETHODCALLTYPE SetWindowHandle(LONG handle, SimFaultMode mode) override;
    HRESULT STDMETHODCALLTYPE SetBusy(LONG milliseconds, LONG calls, SimBusyKind kind) override;
    HRESULT STDMETHODCALLTYPE ReleaseHung() override;

    // The control interface is never refused, so that a test can end a busy window.
    HRESULT Refusal(const wchar_t*) { return S_OK; }

private:
    Application& owner_;
};

// The application object: ISldWorks, its control interface (ISimControl, a part of the same object),
// and IExternalConnection, through which the server learns that its last remote client has gone.
class Application final : public Counted, public ISldWorks, public IExternalConnection {
public:
    ~Application() override;
    // A new instance; the caller receives the one reference.
    static HRESULT Create(ComPtr<Application>& application);

    long InstanceId() const { return instance_; }
    HWND Window() const { return window_; }
    HRESULT Refusal(const wchar_t* entry) { return Simulation::Get().Refusal(instance_, entry); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCounted(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseCounted(); }
    QARSIM_DISPATCH(ISldWorks, kCadInterfaces)

    QARSIM_SLOT(007)
    QARSIM_SLOT(008)
    HRESULT STDMETHODCALLTYPE OpenDocument(BSTR path, LONG type, ICaxDocument** document) override;
    QARSIM_SLOT(010)
    HRESULT STDMETHODCALLTYPE ActivateDocument(BSTR path, IDispatch** document) override;
    QARSIM_SLOT(012)
    QARSIM_SLOT(013)
    HRESULT STDMETHODCALLTYPE Frame(IDispatch** frame) override;
    QARSIM_SLOT(015)
    QARSIM_SLOT(016)
    HRESULT STDMETHODCALLTYPE CloseDocument(BSTR name) override;
    QARSIM_SLOT(018)
    QARSIM_SLOT(019)
    QARSIM_SLOTS10(02)
    QARSIM_SLOT(030)
    QARSIM_SLOT(031)
    QARSIM_SLOT(032)
    HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* visible) override;
    HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL visible) override;
    HRESULT STDMETHODCALLTYPE get_UserControl(VARIANT_BOOL* userControl) override;
    HRESULT STDMETHODCALLTYPE put_UserControl(VARIANT_BOOL userControl) override;
    QARSIM_SLOT(037)
    QARSIM_SLOT(038)
    QARSIM_SLOT(039)
    QARSIM_SLOTS10(04)
    QARSIM_SLOTS10(05)
    QARSIM_SLOTS10(06)
    QARSIM_SLOTS10(07)
    QARSIM_SLOT(080)
    QARSIM_SLOT(081)
    QARSIM_SLOT(082)
    QARSIM_SLOT(083)
    QARSIM_SLOT(084)
    QARSIM_SLOT(085)
    QARSIM_SLOT(086)
    HRESULT STDMETHODCALLTYPE LoadAddIn(BSTR path, LONG* status) override;
    QARSIM_SLOT(088)
    QARSIM_SLOT(089)
    QARSIM_SLOTS10(09)
    QARSIM_SLOTS10(10)
    QARSIM_SLOTS10(11)
    QARSIM_SLOTS10(12)
    QARSIM_SLOTS10(13)
    QARSIM_SLOTS10(14)
    QARSIM_SLOTS10(15)
    QARSIM_SLOT(160)
    QARSIM_SLOT(161)
    QARSIM_SLOT(162)
    QARSIM_SLOT(163)
    QARSIM_SLOT(164)
    HRESULT STDMETHODCALLTYPE ActiveDocument(ICaxDocument** document) override;
    QARSIM_SLOT(166)
    QARSIM_SLOT(167)
    QARSIM_SLOT(168)
    QARSIM_SLOT(169)
    QARSIM_SLOT(170)
    HRESULT STDMETHODCALLTYPE EnumDocuments(IEnumCaxDocuments** documents) override;
    QARSIM_SLOT(172)
    QARSIM_SLOT(173)
    HRESULT STDMETHODCALLTYPE AddInObject(BSTR progId, IDispatch** addIn) override;

    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD) override;
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD, BOOL) override;

    // Ends this instance as an explicit quit does: the server program sets what that means.
    std::function<void()> onQuit;

    // For the control interface.
    HRESULT FailAddInMethod(BSTR method, HRESULT hr, long errNumber, BSTR description, SimFaultMode mode);
    HRESULT AddInConfiguration(BSTR* values);
    void ResetAddIns();

private:
    struct LoadedAddIn {
        std::wstring path;  // full path as loaded
        HMODULE module = nullptr;
        ComPtr<ISwAddIn> object;
    };
    struct PendingFailure {
        std::wstring method;
        HRESULT hr;
        long errNumber;
        std::wstring description;
        bool once;
    };

    Application();
    HRESULT Init();
    // The open document whose full path (ignoring case) or else name text (exactly) is `text`.
    size_t FindDocument(const std::wstring& text) const;
    HRESULT Failure(HRESULT hr, const std::wstring& description);

    long instance_;
    HWND window_ = nullptr;
    bool visible_ = false;
    bool userControl_ = false;
    std::vector<Held<Document>> documents_;  // in the order opened
    size_t active_ = 0;                      // index into documents_ when any is open
    std::vector<LoadedAddIn> addIns_;
    std::vector<PendingFailure> pendingAddInFailures_;
    ComPtr<ISimAddInHook> hook_;
    ApplicationControl control_{*this};
};

}  // namespace qarsim
