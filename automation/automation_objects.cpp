// The two automation objects: Connector (class QarSldw.Connector) and the Command it makes. Each
// method runs the library's operation and turns its int result and status record into an HRESULT
// with error information (automation_errors.cpp); texts arrive as BSTR (null = "") and lists leave
// as arrays of strings.
#include <Public/status_record.h>
#include <QarSldwInterface.h>

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "automation_server.h"
#include "dual_object.h"
#include "Public/version_choice.h"

using qar::CCaxVersion;
using qar::ChosenVersion;
using qar::CreateCaxVersion;
using qar::InstalledVersions;

namespace qarauto {

BusyScope::BusyScope(unsigned long milliseconds) : previous_(QARCAX::GetBusyTimeout()) {
    QARCAX::SetBusyTimeout(milliseconds);
}

BusyScope::~BusyScope() {
    QARCAX::SetBusyTimeout(previous_);
}

namespace {

// A copy of `text` owned by the caller, for an [out] BSTR.
HRESULT CopyOut(const std::wstring& text, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = UniqueBstr::Copy(text).Release();
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// An array of strings as automation clients read it natively: VT_ARRAY | VT_VARIANT, one dimension,
// lower bound 0, each element a VT_BSTR; no element for an empty list.
template <class Texts>
HRESULT StringArray(const Texts& texts, VARIANT* out) {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    UniqueSafeArray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(texts.size())));
    if (!array) return E_OUTOFMEMORY;
    if (!texts.empty()) {
        VARIANT* elements = nullptr;
        HRESULT hr = SafeArrayAccessData(array.Get(), reinterpret_cast<void**>(&elements));
        if (FAILED(hr)) return hr;
        size_t index = 0;
        for (const auto& text : texts) {
            // Each element is written whole before the next: a failed copy leaves only complete
            // elements for SafeArrayDestroy to free.
            BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (copy == nullptr) hr = E_OUTOFMEMORY;
            if (FAILED(hr)) break;
            V_VT(&elements[index]) = VT_BSTR;
            V_BSTR(&elements[index]) = copy;
            ++index;
        }
        SafeArrayUnaccessData(array.Get());
        if (FAILED(hr)) return hr;
    }
    V_VT(out) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(out) = array.Release();
    return S_OK;
}

// The pieces of a "|"-joined list (file paths never hold a "|"); none for "".
std::vector<std::wstring_view> Pieces(const std::wstring& list) {
    std::vector<std::wstring_view> pieces;
    const std::wstring_view text(list);
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(L'|', start), text.size());
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

// The host object a Connect argument names: an automation object (VT_DISPATCH, or VT_UNKNOWN that
// answers IDispatch), also by reference; missing, empty, null and Nothing name none. Anything else is
// DISP_E_TYPEMISMATCH.
HRESULT HostObject(const VARIANT& argument, ComPtr<IDispatch>& host) {
    const VARIANT* value = &argument;
    if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value) != nullptr) value = V_VARIANTREF(value);
    IUnknown* object = nullptr;
    switch (V_VT(value)) {
        case VT_EMPTY:
        case VT_NULL:
            return S_OK;
        case VT_ERROR:
            return V_ERROR(value) == DISP_E_PARAMNOTFOUND ? S_OK : DISP_E_TYPEMISMATCH;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            object = V_UNKNOWN(value);
            break;
        case VT_BYREF | VT_DISPATCH:
        case VT_BYREF | VT_UNKNOWN:
            object = V_UNKNOWNREF(value) != nullptr ? *V_UNKNOWNREF(value) : nullptr;
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (object == nullptr) return S_OK;
    return SUCCEEDED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(host.Put())))
               ? S_OK
               : DISP_E_TYPEMISMATCH;
}

class Command final : public DualObject<IQarCommand> {
public:
    static HRESULT Make(std::unique_ptr<QARCAX::CaxCommand> command, unsigned long busyTimeout,
                        IQarCommand** out) {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        ComPtr<Command> object = ComPtr<Command>::Adopt(new Command(std::move(command), busyTimeout));
        const HRESULT hr = object->LoadOwnTypeInfo();
        if (FAILED(hr)) return hr;
        *out = object.Detach();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Disconnect() override {
        return Run([](QARCAX::CaxCommand& c) {
            c.Disconnect();
            return 0;  // a failure shows only in the status record
        });
    }
    HRESULT STDMETHODCALLTYPE get_IsConnected(VARIANT_BOOL* connected) override {
        if (connected == nullptr) return E_POINTER;
        *connected = VARIANT_FALSE;
        return Run([&](QARCAX::CaxCommand& c) {
            *connected = c.IsConnected() ? VARIANT_TRUE : VARIANT_FALSE;
            return 0;
        });
    }
    HRESULT STDMETHODCALLTYPE CreateMenu(BSTR arg) override {
        return Run([&](QARCAX::CaxCommand& c) { return c.CreateMenu(Text(arg)); });
    }
    HRESULT STDMETHODCALLTYPE RefreshTable(BSTR arg1, BSTR arg2) override {
        return Run([&](QARCAX::CaxCommand& c) { return c.RefreshTable(Text(arg1), Text(arg2)); });
    }
    HRESULT STDMETHODCALLTYPE UpdateTable(BSTR arg1, BSTR arg2) override {
        return Run([&](QARCAX::CaxCommand& c) { return c.UpdateTable(Text(arg1), Text(arg2)); });
    }
    HRESULT STDMETHODCALLTYPE OpenFile(BSTR path) override {
        return Run([&](QARCAX::CaxCommand& c) { return c.OpenFile(Text(path)); });
    }
    HRESULT STDMETHODCALLTYPE SaveFile(BSTR* path) override {
        if (path == nullptr) return E_POINTER;
        *path = nullptr;
        std::wstring saved;
        const HRESULT hr = Run([&](QARCAX::CaxCommand& c) { return c.SaveFile(saved); });
        return FAILED(hr) ? hr : CopyOut(saved, path);
    }
    HRESULT STDMETHODCALLTYPE CloseFile() override {
        return Run([](QARCAX::CaxCommand& c) { return c.CloseFile(); });
    }
    HRESULT STDMETHODCALLTYPE get_Dependencies(VARIANT* files) override {
        if (files == nullptr) return E_POINTER;
        VariantInit(files);
        std::wstring list;
        const HRESULT hr = Run([&](QARCAX::CaxCommand& c) { return c.GetDependencies(list); });
        return FAILED(hr) ? hr
                          : Guarded(__uuidof(IQarCommand), [&] { return StringArray(Pieces(list), files); });
    }
    HRESULT STDMETHODCALLTYPE get_DependencyText(BSTR* files) override {
        if (files == nullptr) return E_POINTER;
        *files = nullptr;
        std::wstring list;
        const HRESULT hr = Run([&](QARCAX::CaxCommand& c) { return c.GetDependencies(list); });
        return FAILED(hr) ? hr : CopyOut(list, files);
    }
    HRESULT STDMETHODCALLTYPE get_ErrorCode(LONG* code) override {
        if (code == nullptr) return E_POINTER;
        *code = command_->errorCode;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ErrorMessage(BSTR* message) override {
        return Guarded(__uuidof(IQarCommand), [&] { return CopyOut(command_->errorMessage, message); });
    }

private:
    Command(std::unique_ptr<QARCAX::CaxCommand> command, unsigned long busyTimeout)
        : command_(std::move(command)), busyTimeout_(busyTimeout) {}
    ~Command() override {
        // Deleting the library's command says "Disconnect" to the add-in: with the command's own
        // busy timeout, like every other call it makes.
        const BusyScope busy(busyTimeout_);
        command_.reset();
    }

    // Runs `operation` (int result, 0 = success) on the library's command. The status record is
    // watched (set aside and cleared), so that afterwards it shows whether this call wrote it; a call
    // that did not write it gets the earlier record back, as the library leaves it (a success does
    // not clear it). A failure is raised with the record this call wrote.
    template <class Operation>
    HRESULT Run(Operation&& operation) {
        return Guarded(__uuidof(IQarCommand), [&]() -> HRESULT {
            const BusyScope busy(busyTimeout_);
            QARCAX::CaxCommand& c = *command_;
            const qar::StatusRecord record = qar::RecordOf(c);
            const qar::StatusRecord::Watch watch(record);
            const int result = operation(c);
            if (result == 0 && !watch.Written()) return S_OK;
            return Raise(FailureResult(result, record.Code(), false),
                         watch.Written() ? record.Message() : L"", __uuidof(IQarCommand));
        });
    }

    std::unique_ptr<QARCAX::CaxCommand> command_;
    const unsigned long busyTimeout_;
};

class Connector final : public DualObject<IQarConnector> {
public:
    static HRESULT Make(REFIID iid, void** out) {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        ComPtr<Connector> object = ComPtr<Connector>::Adopt(new Connector());
        const HRESULT hr = object->LoadOwnTypeInfo();
        return FAILED(hr) ? hr : object->QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE get_CadType(LONG* cadType) override { return Get(cadType_, cadType); }
    HRESULT STDMETHODCALLTYPE put_CadType(LONG cadType) override {
        cadType_ = cadType;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Version(BSTR* version) override { return GetText(version_, version); }
    HRESULT STDMETHODCALLTYPE put_Version(BSTR version) override { return PutText(version, version_); }
    HRESULT STDMETHODCALLTYPE get_WindowHandle(BSTR* handle) override {
        return GetText(windowHandle_, handle);
    }
    HRESULT STDMETHODCALLTYPE put_WindowHandle(BSTR handle) override {
        return PutText(handle, windowHandle_);
    }
    HRESULT STDMETHODCALLTYPE get_Argument(BSTR* argument) override { return GetText(argument_, argument); }
    HRESULT STDMETHODCALLTYPE put_Argument(BSTR argument) override { return PutText(argument, argument_); }
    HRESULT STDMETHODCALLTYPE get_BusyTimeout(LONG* milliseconds) override {
        return Get(busyTimeout_, milliseconds);
    }
    HRESULT STDMETHODCALLTYPE put_BusyTimeout(LONG milliseconds) override {
        if (milliseconds < 0) {
            return Raise(E_INVALIDARG,
                         L"BusyTimeout must be 0 (off) or a number of milliseconds, not " +
                             std::to_wstring(milliseconds) + L".",
                         __uuidof(IQarConnector));
        }
        busyTimeout_ = milliseconds;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Connect(VARIANT host, IQarCommand** command) override {
        if (command == nullptr) return E_POINTER;
        *command = nullptr;
        return Guarded(__uuidof(IQarConnector), [&]() -> HRESULT {
            ComPtr<IDispatch> hostObject;
            if (FAILED(HostObject(host, hostObject))) {
                return Raise(DISP_E_TYPEMISMATCH, L"Connect: host must be an automation object or nothing.",
                             __uuidof(IQarConnector));
            }
            const unsigned long busyTimeout = static_cast<unsigned long>(busyTimeout_);
            const BusyScope busy(busyTimeout);
            QARCAX::SldwConnector connector(cadType_, ChosenVersion(cadType_, version_), windowHandle_,
                                            argument_);
            QARCAX::CaxCommand* made = nullptr;
            const int result = connector.NewCommand(hostObject.Get(), made);
            std::unique_ptr<QARCAX::CaxCommand> owned(made);
            if (result != 0 || !owned) {
                errorCode_ = connector.errorCode;
                errorMessage_ = connector.errorMessage;
                return Raise(FailureResult(result, connector.errorCode, true), connector.errorMessage,
                             __uuidof(IQarConnector));
            }
            return MakeCommand(std::move(owned), busyTimeout, command);
        });
    }

    HRESULT STDMETHODCALLTYPE InstalledVersions(LONG cadType, VARIANT* versions) override {
        if (versions == nullptr) return E_POINTER;
        VariantInit(versions);
        return Guarded(__uuidof(IQarConnector), [&]() -> HRESULT {
            const std::unique_ptr<CCaxVersion> family(CreateCaxVersion(cadType));
            if (!family) {
                return Raise(
                    E_INVALIDARG,
                    L"InstalledVersions: cadType must be 1, 2 or 3, not " + std::to_wstring(cadType) + L".",
                    __uuidof(IQarConnector));
            }
            return StringArray(::InstalledVersions(*family), versions);
        });
    }

    HRESULT STDMETHODCALLTYPE get_ErrorCode(LONG* code) override { return Get(errorCode_, code); }
    HRESULT STDMETHODCALLTYPE get_ErrorMessage(BSTR* message) override {
        return GetText(errorMessage_, message);
    }

private:
    Connector() = default;

    static HRESULT Get(LONG value, LONG* out) {
        if (out == nullptr) return E_POINTER;
        *out = value;
        return S_OK;
    }
    static HRESULT GetText(const std::wstring& value, BSTR* out) {
        return Guarded(__uuidof(IQarConnector), [&] { return CopyOut(value, out); });
    }
    static HRESULT PutText(BSTR value, std::wstring& field) {
        return Guarded(__uuidof(IQarConnector), [&] {
            field = Text(value);
            return S_OK;
        });
    }

    LONG cadType_ = 3;
    std::wstring version_, windowHandle_, argument_;
    LONG busyTimeout_ = 0;
    // The status record of the library's connector of the last failed Connect.
    LONG errorCode_ = 0;
    std::wstring errorMessage_;
};

}  // namespace

HRESULT MakeConnector(REFIID iid, void** object) {
    return Connector::Make(iid, object);
}

HRESULT MakeCommand(std::unique_ptr<QARCAX::CaxCommand> command, unsigned long busyTimeout,
                    IQarCommand** object) {
    return Command::Make(std::move(command), busyTimeout, object);
}

}  // namespace qarauto
