// Dependency arrays as an application hands them over, and the dependency rule written out literally
// as the reference that the library's linear version must match (the tests and the benchmark).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "Public/owners.h"

using qar::UniqueBstr;
using qar::UniqueVariant;

using Elements = std::vector<std::optional<std::wstring>>;  // nullopt: a null element

// A VARIANT `vt` over a vector of `type` (the two differ only for a lying value) from `lower`; in a
// VT_VARIANT array a null element is an empty VARIANT.
inline UniqueVariant DependencyArray(const Elements& elements, VARTYPE type = VT_BSTR, LONG lower = 0,
                                     VARTYPE vt = 0) {
    UniqueVariant value;
    SAFEARRAYBOUND bound = {static_cast<ULONG>(elements.size()), lower};
    value.Ptr()->vt = VT_ARRAY | (vt != 0 ? vt : type);
    value.Ptr()->parray = SafeArrayCreate(type, 1, &bound);
    for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
        if (!elements[i]) continue;
        UniqueBstr text = UniqueBstr::Copy(*elements[i]);
        VARIANT element;
        element.vt = VT_BSTR;
        element.bstrVal = text.Get();
        LONG index = lower + i;
        SafeArrayPutElement(value.Get().parray, &index,
                            type == VT_BSTR ? static_cast<void*>(text.Get()) : &element);
    }
    return value;
}

// The rule exactly as stated: absolute indexes 1, 3, 5, ... below the element count; a null element
// is empty; skip empty ones; keep one unless "|" + list + "|" already contains "|" + it + "|".
// Quadratic on purpose: it is the reference, not an implementation.
inline std::wstring LiteralDependencies(SAFEARRAY* array) {
    std::wstring list;
    for (LONG index = 1; index < static_cast<LONG>(array->rgsabound[0].cElements); index += 2) {
        UniqueBstr element;
        if (FAILED(SafeArrayGetElement(array, &index, element.Put()))) element.Reset();
        const std::wstring text = element.CStr();
        if (text.empty() || (L"|" + list + L"|").find(L"|" + text + L"|") != std::wstring::npos) continue;
        list += (list.empty() ? L"" : L"|") + text;
    }
    return list;
}
