#include "stand_in_add_in.h"

#include <iterator>

namespace {

struct Member {
    const wchar_t* name;
    bool isProperty;
    UINT arity;
};
// DISPID = index + 1.
constexpr Member kMembers[] = {{L"Disconnect", false, 0},   {L"CreateMenu", false, 1},
                               {L"RefreshTable", false, 2}, {L"UpdateTable", false, 2},
                               {L"errNumber", true, 0},     {L"errDescription", true, 0}};
constexpr DISPID kMemberCount = static_cast<DISPID>(std::size(kMembers));
constexpr DISPID kErrNumber = 5;

std::wstring Describe(const VARIANT& value) {
    if (value.vt != VT_BSTR) return L"vt " + std::to_wstring(value.vt);
    if (value.bstrVal == nullptr) return L"null";
    return L"'" + std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) + L"'";
}

}  // namespace

STDMETHODIMP StandInAddIn::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    ++lookUps_;
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (count != 1) return E_INVALIDARG;
    ids[0] = DISPID_UNKNOWN;
    for (DISPID id = 1; id <= kMemberCount; ++id) {
        const wchar_t* name = kMembers[id - 1].name;
        // Automation names are case-insensitive.
        if (forgotten_.count(name) == 0 && CompareStringOrdinal(names[0], -1, name, -1, TRUE) == CSTR_EQUAL) {
            ids[0] = id;
            return S_OK;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP StandInAddIn::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO*, UINT*) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (id < 1 || id > kMemberCount || forgotten_.count(kMembers[id - 1].name) != 0) {
        return DISP_E_MEMBERNOTFOUND;
    }
    const Member& member = kMembers[id - 1];

    std::wstring call = flags == DISPATCH_METHOD        ? L""
                        : flags == DISPATCH_PROPERTYGET ? L"get "
                                                        : L"flags " + std::to_wstring(flags) + L" ";
    call += member.name + std::wstring(L"(");
    bool allText = true;
    for (UINT i = params->cArgs; i-- > 0;) {  // rgvarg holds the last argument first
        allText = allText && params->rgvarg[i].vt == VT_BSTR;
        call += (i + 1 == params->cArgs ? L"" : L", ") + Describe(params->rgvarg[i]);
    }
    calls_.push_back(call + L")");

    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != member.arity) return DISP_E_BADPARAMCOUNT;
    if (!allText) return DISP_E_TYPEMISMATCH;
    const WORD wanted = member.isProperty ? DISPATCH_PROPERTYGET : DISPATCH_METHOD;
    if ((flags & wanted) == 0) return DISP_E_MEMBERNOTFOUND;
    const auto failure = failures_.find(member.name);
    if (failure != failures_.end() && FAILED(failure->second)) return failure->second;
    if (result == nullptr) return member.isProperty ? E_POINTER : S_OK;

    VariantInit(result);
    if (id == kErrNumber) {
        result->vt = VT_I4;
        result->lVal = errNumber_;
        return S_OK;
    }
    // A method gives a result that the caller must clear, so that dropping it uncleared shows as a leak.
    const std::optional<std::wstring> text = member.isProperty ? errDescription_ : std::wstring(L"done");
    result->vt = VT_BSTR;
    result->bstrVal = text ? SysAllocStringLen(text->data(), static_cast<UINT>(text->size())) : nullptr;
    return text && result->bstrVal == nullptr ? E_OUTOFMEMORY : S_OK;
}
