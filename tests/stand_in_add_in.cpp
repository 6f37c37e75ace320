#include "stand_in_add_in.h"

StandInAddIn::StandInAddIn()
    : members_{{L"Disconnect", false, 0},  {L"CreateMenu", false, 1}, {L"RefreshTable", false, 2},
               {L"UpdateTable", false, 2}, {L"errNumber", true, 0},   {L"errDescription", true, 0}} {}

void StandInAddIn::Fail(const std::wstring& name, HRESULT hr) {
    for (Member& member : members_) {
        if (member.name == name) member.outcome = hr;
    }
}

void StandInAddIn::Forget(const std::wstring& name) {
    for (Member& member : members_) {
        if (member.name == name) member.known = false;
    }
}

void StandInAddIn::SetLastError(LONG number, std::optional<std::wstring> description) {
    errNumber_ = number;
    errDescription_ = std::move(description);
}

STDMETHODIMP StandInAddIn::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) StandInAddIn::AddRef() {
    return ++references_;
}

STDMETHODIMP_(ULONG) StandInAddIn::Release() {
    return references_ == 0 ? 0 : --references_;
}

STDMETHODIMP StandInAddIn::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP StandInAddIn::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
}

STDMETHODIMP StandInAddIn::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    ++lookUps_;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr || count != 1 || names[0] == nullptr) return E_INVALIDARG;
    // Automation names are case-insensitive.
    for (size_t i = 0; i < members_.size(); ++i) {
        if (members_[i].known &&
            CompareStringOrdinal(names[0], -1, members_[i].name.c_str(), -1, TRUE) == CSTR_EQUAL) {
            ids[0] = static_cast<DISPID>(i + 1);
            return S_OK;
        }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP StandInAddIn::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO*, UINT*) {
    ++invokes_;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (id < 1 || static_cast<size_t>(id) > members_.size() || !members_[id - 1].known) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (params == nullptr || (params->cArgs != 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
    const Member& member = members_[id - 1];

    Call call{member.name, flags, {}};
    for (UINT i = params->cArgs; i-- > 0;) {  // rgvarg holds the last argument first
        const VARIANT& value = params->rgvarg[i];
        Argument argument{value.vt, value.vt == VT_BSTR && value.bstrVal == nullptr, L""};
        if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
            argument.text.assign(value.bstrVal, SysStringLen(value.bstrVal));
        }
        call.arguments.push_back(argument);
    }
    calls_.push_back(call);

    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != member.arity) return DISP_E_BADPARAMCOUNT;
    for (const Argument& argument : call.arguments) {
        if (argument.type != VT_BSTR) return DISP_E_TYPEMISMATCH;
    }
    if (member.isProperty) {
        if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
        if (FAILED(member.outcome)) return member.outcome;
        return ReadProperty(member, result);
    }
    if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
    if (FAILED(member.outcome)) return member.outcome;
    // A result that the caller must clear, so that dropping it without clearing shows as a leak.
    if (result != nullptr) {
        VariantInit(result);
        result->bstrVal = SysAllocString(L"done");
        if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
        result->vt = VT_BSTR;
    }
    return S_OK;
}

HRESULT StandInAddIn::ReadProperty(const Member& member, VARIANT* result) const {
    if (result == nullptr) return E_POINTER;
    VariantInit(result);
    if (member.name == L"errNumber") {
        result->vt = VT_I4;
        result->lVal = errNumber_;
        return S_OK;
    }
    result->vt = VT_BSTR;
    result->bstrVal = nullptr;
    if (errDescription_) {
        result->bstrVal =
            SysAllocStringLen(errDescription_->data(), static_cast<UINT>(errDescription_->size()));
        if (result->bstrVal == nullptr) return E_OUTOFMEMORY;
    }
    return S_OK;
}
