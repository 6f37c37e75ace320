#include "Public/dispatch_invoke.h"

#include <memory>
#include <new>

#include "Public/busy_retry.h"
#include "Public/owners.h"
#include "Public/text_helpers.h"

namespace qar {

using QARBASE::HResultError;

namespace {

// Every lookup and call uses the user's default locale, as an automation controller should.
constexpr LCID kLocale = LOCALE_USER_DEFAULT;

// A VT_BSTR value holding a copy of `text` up to its first NUL; an empty text gives an empty BSTR,
// never a null one, because a null BSTR means "no string" to some servers.
UniqueVariant BstrValue(const std::wstring& text) {
    UniqueBstr copy = qar::MakeBstr(text.c_str());
    UniqueVariant value;
    value.Ptr()->vt = VT_BSTR;
    value.Ptr()->bstrVal = copy.Release();
    return value;
}

// The argument block of one call: owns its values and clears them when it goes. Automation expects
// the arguments last to first, so element 0 holds the last argument.
template <size_t N>
class ArgumentBlock {
public:
    ArgumentBlock() {
        for (VARIANT& value : values_) VariantInit(&value);
    }
    ArgumentBlock(const ArgumentBlock&) = delete;
    ArgumentBlock& operator=(const ArgumentBlock&) = delete;
    ~ArgumentBlock() {
        for (VARIANT& value : values_) VariantClear(&value);
    }
    // Copies `value` in as argument `position` (0 = first as the method declares them).
    void CopyIn(size_t position, const VARIANT& value) {
        const HRESULT hr = VariantCopy(&values_[N - 1 - position], const_cast<VARIANT*>(&value));
        if (FAILED(hr)) throw HResultError(hr);
    }
    DISPPARAMS Params() { return DISPPARAMS{values_, nullptr, static_cast<UINT>(N), 0}; }

private:
    VARIANT values_[N];
};

HRESULT LookUp(IDispatch* target, const std::wstring& name, DISPID& id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    return qar::RetryWhileBusy({"IDispatch.GetIDsOfNames", name.c_str()},
                               [&] { return target->GetIDsOfNames(IID_NULL, names, 1, kLocale, &id); });
}

HRESULT LookUp(IDispatch* target, const std::wstring& name, DISPID& id, DispatchIdCache* cache) {
    return cache != nullptr ? cache->LookUp(target, name, id) : LookUp(target, name, id);
}

// Calls the method `id` (named `name`) with `params`; whatever it returns is dropped.
HRESULT CallMethod(IDispatch* target, const std::wstring& name, DISPID id, DISPPARAMS& params) {
    UniqueVariant result;
    return qar::RetryWhileBusy({"IDispatch.Invoke", name.c_str()}, [&] {
        return target->Invoke(id, IID_NULL, kLocale, DISPATCH_METHOD, &params, result.Put(), nullptr,
                              nullptr);
    });
}

// Reads the property `name`; the value stays empty when the object lacks it or cannot give it.
UniqueVariant ReadProperty(IDispatch* target, const std::wstring& name) {
    UniqueVariant value;
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(LookUp(target, name, id))) return value;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (FAILED(qar::RetryWhileBusy({"IDispatch.Invoke", name.c_str()}, [&] {
            return target->Invoke(id, IID_NULL, kLocale, DISPATCH_PROPERTYGET, &none, value.Put(), nullptr,
                                  nullptr);
        }))) {
        value.Reset();
    }
    return value;
}

// Reports a failed call with arguments. The add-in keeps its own number and text for its last
// failure; its text is preferred, and the HRESULT's text stands in when it gives none.
void ReportAddInFailure(IDispatch* target, const std::wstring& method, HRESULT hr, StatusRecord record) {
    int number = 0;
    {
        UniqueVariant value = ReadProperty(target, L"errNumber");
        if (value.Get().vt != VT_EMPTY && SUCCEEDED(VariantChangeType(value.Ptr(), value.Ptr(), 0, VT_I4))) {
            number = value.Get().lVal;
        }
    }
    std::wstring description;
    {
        // Each property is read into its own value: the number's value read as a string would be
        // taken for a pointer.
        UniqueVariant value = ReadProperty(target, L"errDescription");
        if (value.Get().vt == VT_BSTR && value.Get().bstrVal != nullptr) {
            description.assign(value.Get().bstrVal, SysStringLen(value.Get().bstrVal));
        }
    }
    if (description.empty()) {
        record.Fail(hr, L"call" + method + L"() error, " + ComErrorMessage(hr));
    } else {
        record.Fail(number, std::move(description));
    }
}

}  // namespace

HRESULT DispatchIdCache::LookUp(IDispatch* target, const std::wstring& name, DISPID& id) {
    if (target != target_) {
        ids_.clear();
        target_ = target;
    }
    for (const auto& known : ids_) {
        if (known.first == name) {
            id = known.second;
            return S_OK;
        }
    }
    const HRESULT hr = qar::LookUp(target, name, id);
    if (SUCCEEDED(hr)) ids_.emplace_back(name, id);
    return hr;
}

int InvokeByName(IDispatch* target, const std::wstring& method, StatusRecord record, DispatchIdCache* cache) {
    if (target == nullptr) return 0;
    const ComPtr<IDispatch> hold(target);  // the target stays alive for the whole call
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = LookUp(target, method, id, cache);
    if (SUCCEEDED(hr)) {
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        hr = CallMethod(target, method, id, none);
    }
    if (SUCCEEDED(hr)) return 0;
    record.Fail(hr, ComErrorMessage(hr));
    return hr;
}

int InvokeByName(IDispatch* target, const std::wstring& method, const std::wstring& arg, StatusRecord record,
                 DispatchIdCache* cache) {
    if (target == nullptr) return 0;
    const ComPtr<IDispatch> hold(target);
    UniqueVariant value = BstrValue(arg);
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = LookUp(target, method, id, cache);
    if (SUCCEEDED(hr)) {
        DISPPARAMS params = {value.Ptr(), nullptr, 1, 0};
        hr = CallMethod(target, method, id, params);
    }
    if (SUCCEEDED(hr)) return 0;
    ReportAddInFailure(target, method, hr, record);
    return hr;
}

int InvokeByName(IDispatch* target, const std::wstring& method, const std::wstring& arg1,
                 const std::wstring& arg2, StatusRecord record, DispatchIdCache* cache) {
    if (target == nullptr) return 0;
    const ComPtr<IDispatch> hold(target);
    const UniqueVariant first = BstrValue(arg1);
    const UniqueVariant second = BstrValue(arg2);
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = LookUp(target, method, id, cache);
    if (SUCCEEDED(hr)) {
        // The callee works on copies, so the values above stay as made whatever it does to its
        // arguments; the copies go as soon as the call returns.
        ArgumentBlock<2> block;
        block.CopyIn(0, first.Get());
        block.CopyIn(1, second.Get());
        DISPPARAMS params = block.Params();
        hr = CallMethod(target, method, id, params);
    }
    if (SUCCEEDED(hr)) return 0;
    ReportAddInFailure(target, method, hr, record);
    return hr;
}

std::wstring TrimFinalLineBreak(std::wstring text) {
    if (text.size() > 1 && text.back() == L'\n') {
        text.pop_back();
        if (text.back() == L'\r') text.pop_back();
    }
    return text;
}

std::wstring ComErrorMessage(HRESULT hr) {
    const std::wstring text = SystemMessageText(static_cast<unsigned long>(hr));
    if (!text.empty()) return TrimFinalLineBreak(text);

    // Without memory for the fallback text the message is empty rather than an exception.
    try {
        const unsigned long code = static_cast<unsigned long>(hr);
        if (code >= 0x80040201UL && code <= 0x8004FFFFUL) {
            return FormatString(L"IDispatch error #%d", static_cast<int>((code & 0xFFFF) - 0x200));
        }
        return FormatString(L"Unknown error 0x%0lX", code);
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
}

}  // namespace qar
