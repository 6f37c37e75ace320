// Dependency arrays as an application hands them over, and the dependency rule written out literally
// as the reference that the library's linear version must match.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "Public/com_owners.h"

using Elements = std::vector<std::optional<std::wstring>>;  // nullopt: a null element

// A VARIANT holding a one-dimensional array of `type` (VT_BSTR, or VT_VARIANT whose elements hold
// BSTRs) with lower bound `lower`. In a VT_VARIANT array a null element is an empty VARIANT.
inline UniqueVariant DependencyArray(const Elements& elements, VARTYPE type = VT_BSTR, LONG lower = 0) {
    UniqueVariant value;
    SAFEARRAYBOUND bound = {static_cast<ULONG>(elements.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(type, 1, &bound);
    if (array == nullptr) return value;
    value.Ptr()->vt = VT_ARRAY | type;
    value.Ptr()->parray = array;
    for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
        if (!elements[i]) continue;
        UniqueBstr text = UniqueBstr::Copy(*elements[i]);
        LONG index = lower + i;
        if (type == VT_BSTR) {
            SafeArrayPutElement(array, &index, text.Get());
        } else {
            VARIANT element;
            element.vt = VT_BSTR;
            element.bstrVal = text.Get();
            SafeArrayPutElement(array, &index, &element);
        }
    }
    return value;
}

// The rule exactly as stated: absolute indexes 1, 3, 5, ... below the element count; a null or
// failed element is empty; skip empty ones; keep one unless "|" + list + "|" already contains
// "|" + it + "|". Quadratic on purpose: it is the reference, not an implementation.
inline std::wstring LiteralDependencies(SAFEARRAY* array) {
    std::wstring list;
    const LONG count = static_cast<LONG>(array->rgsabound[0].cElements);
    for (LONG index = 1; index < count; index += 2) {
        UniqueBstr element;
        if (FAILED(SafeArrayGetElement(array, &index, element.Put()))) element.Reset();
        const std::wstring text = element.CStr();
        if (text.empty()) continue;
        if (list.empty()) {
            list = text;
        } else if ((L"|" + list + L"|").find(L"|" + text + L"|") == std::wstring::npos) {
            list += L"|" + text;
        }
    }
    return list;
}
