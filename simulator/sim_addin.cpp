#include "sim_addin.h"

#include <map>
#include <new>
#include <string>

#include "sim_common.h"

namespace qarsim {
namespace {

// A failure injected for one method: its HRESULT and the add-in's error properties it leaves.
struct MethodFailure {
    HRESULT hr = S_OK;
    LONG errNumber = 0;
    std::wstring description;
    bool once = false;
};

const wchar_t* const kFailableMethods[] = {L"CreateMenu", L"RefreshTable", L"UpdateTable", L"Disconnect"};

class AddIn final : public Counted, public ISwAddIn, public ISupportErrorInfo, public ISimAddInControl {
public:
    AddIn() : Counted(Kind::AddIn) {}

    // Without its type library the object could answer no late-bound call: fail now, not later.
    HRESULT Init() {
        ComPtr<ITypeInfo> info;
        return LoadOwnTypeInfo(kCadInterfaces, __uuidof(ISwAddIn), info);
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(ISwAddIn)) {
            *out = static_cast<ISwAddIn*>(this);
        } else if (iid == IID_ISupportErrorInfo) {
            *out = static_cast<ISupportErrorInfo*>(this);
        } else if (iid == __uuidof(ISimAddInControl)) {
            *out = static_cast<ISimAddInControl*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCounted(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseCounted(); }

    QARSIM_DISPATCH(ISwAddIn, kCadInterfaces)
    HRESULT Refusal(const wchar_t* entry) { return hook_ ? hook_->Refusal(entry) : S_OK; }

    // ISwAddIn
    HRESULT STDMETHODCALLTYPE Disconnect() override {
        HRESULT hr = Enter(L"Disconnect", L"");
        host_.Reset();  // the host's object lives in the client's process: give it back now
        return hr;
    }
    HRESULT STDMETHODCALLTYPE CreateMenu(BSTR arg) override { return Enter(L"CreateMenu", Quoted(arg)); }
    HRESULT STDMETHODCALLTYPE RefreshTable(BSTR arg1, BSTR arg2) override {
        return Enter(L"RefreshTable", Quoted(arg1) + L", " + Quoted(arg2));
    }
    HRESULT STDMETHODCALLTYPE UpdateTable(BSTR arg1, BSTR arg2) override {
        return Enter(L"UpdateTable", Quoted(arg1) + L", " + Quoted(arg2));
    }
    HRESULT STDMETHODCALLTYPE get_errNumber(LONG* number) override {
        if (number == nullptr) return E_POINTER;
        *number = 0;
        HRESULT hr = Enter(L"errNumber.get", L"");
        if (SUCCEEDED(hr)) *number = errNumber_;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE get_errDescription(BSTR* description) override {
        if (description == nullptr) return E_POINTER;
        *description = nullptr;
        BOOL null = FALSE;
        HRESULT hr = Enter(L"errDescription.get", L"", &null);
        if (FAILED(hr) || null) return hr;
        UniqueBstr copy = UniqueBstr::Copy(errDescription_);
        if (!copy) return E_OUTOFMEMORY;
        *description = copy.Release();
        return S_OK;
    }
    QARSIM_SLOT(013)
    QARSIM_SLOT(014)
    QARSIM_SLOT(015)
    HRESULT STDMETHODCALLTYPE SetLanguageXml(BSTR xml) override {
        return Configure(L"SetLanguageXml", Quoted(xml));
    }
    QARSIM_SLOT(017)
    QARSIM_SLOT(018)
    QARSIM_SLOT(019)
    QARSIM_SLOT(020)
    HRESULT STDMETHODCALLTYPE SetHostObject(IDispatch* host) override {
        HRESULT hr = Configure(L"SetHostObject", ObjectText(host));
        if (SUCCEEDED(hr)) host_ = ComPtr<IDispatch>(host);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SetAppHandle(BSTR handleText) override {
        return Configure(L"SetAppHandle", Quoted(handleText));
    }
    QARSIM_SLOT(023)
    QARSIM_SLOT(024)
    HRESULT STDMETHODCALLTYPE SetAddInArgument(BSTR argument) override {
        return Configure(L"SetAddInArgument", Quoted(argument));
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == __uuidof(ISwAddIn) ? S_OK : S_FALSE;
    }

    // ISimAddInControl
    HRESULT STDMETHODCALLTYPE SetHook(ISimAddInHook* hook) override {
        hook_ = ComPtr<ISimAddInHook>(hook);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FailMethod(const wchar_t* method, HRESULT hr, LONG errNumber,
                                         const wchar_t* errDescription, BOOL once) override {
        if (method == nullptr) return E_INVALIDARG;
        for (const wchar_t* known : kFailableMethods) {
            if (wcscmp(known, method) == 0) {
                failures_[method] =
                    MethodFailure{hr, errNumber, errDescription ? errDescription : L"", once != FALSE};
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Configuration(BSTR* values) override {
        if (values == nullptr) return E_POINTER;
        *values = UniqueBstr::Copy(configuration_).Release();
        return *values != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        failures_.clear();
        configuration_.clear();
        return S_OK;
    }

private:
    // Reports the call and applies an injected failure: first what the application injected for the
    // entry, then a failure injected for the method itself. A failure leaves errNumber,
    // errDescription and the error information, as the real add-in reports its own failures.
    HRESULT Enter(const std::wstring& member, const std::wstring& arguments, BOOL* null = nullptr) {
        const std::wstring entry = L"ISwAddIn." + member;
        if (HRESULT refused = Refusal(entry.c_str()); FAILED(refused)) return refused;
        if (hook_) {
            BOOL injectedNull = FALSE;
            HRESULT hr = hook_->Enter(entry.c_str(), arguments.c_str(), &injectedNull);
            if (FAILED(hr)) return Fail(entry, hr, hr, entry + L" failed with " + Hex(hr) + L" (injected)");
            if (hr != S_OK) return hr;  // an injected success code (S_FALSE): answered, nothing done
            if (null != nullptr) *null = injectedNull;
        }
        auto failure = failures_.find(member);
        if (failure == failures_.end()) return S_OK;
        const MethodFailure f = failure->second;
        if (f.once) failures_.erase(failure);
        return Fail(entry, f.hr, f.errNumber, f.description);
    }
    HRESULT Configure(const std::wstring& member, const std::wstring& value) {
        HRESULT hr = Enter(member, value);
        if (SUCCEEDED(hr)) configuration_ += L"ISwAddIn." + member + L"\t" + value + L"\n";
        return hr;
    }
    HRESULT Fail(const std::wstring& entry, HRESULT hr, LONG number, const std::wstring& description) {
        errNumber_ = number;
        errDescription_ = description;
        return ReportFailure(__uuidof(ISwAddIn), entry, description, hr);
    }

    ComPtr<ISimAddInHook> hook_;
    ComPtr<IDispatch> host_;
    std::map<std::wstring, MethodFailure> failures_;
    std::wstring configuration_;
    LONG errNumber_ = 0;
    std::wstring errDescription_;
};

}  // namespace

HRESULT CreateAddIn(ISwAddIn** addIn) {
    if (addIn == nullptr) return E_POINTER;
    *addIn = nullptr;
    ComPtr<AddIn> created = ComPtr<AddIn>::Adopt(new (std::nothrow) AddIn());
    if (!created) return E_OUTOFMEMORY;
    HRESULT hr = created->Init();
    if (FAILED(hr)) return hr;
    *addIn = created.Detach();
    return S_OK;
}

void AddInCounts(LONG* live, LONG* refs) {
    *live = Tally(Kind::AddIn).live;
    *refs = Tally(Kind::AddIn).clientRefs;
}

}  // namespace qarsim
