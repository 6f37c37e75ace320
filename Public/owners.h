// Owners of the library's resources. Each owns exactly one resource and gives it back in its
// destructor, so no early return or exception can leak it. One template, UniqueAny, does the owning;
// each resource kind names how it is given back:
//   UniqueBstr       a BSTR (SysFreeString), with the text helpers below
//   UniqueVariant    a VARIANT (VariantClear)
//   UniqueSafeArray  a SAFEARRAY and its elements (SafeArrayDestroy), with a shape check
//   UniqueHandle     a kernel handle that INVALID_HANDLE_VALUE marks as none (CloseHandle)
//   UniqueModule     a loaded module (FreeLibrary)
//   UniqueLocal      memory from LocalAlloc, e.g. FormatMessage's buffer (LocalFree)
//   UniqueTaskText   text COM allocated for the caller, e.g. a display name (CoTaskMemFree)
// Counted COM pointers are ComPtr (Public/com_owners.h); anything else that must happen on the way
// out is a ScopeExit.
//
//   UniqueHandle file(CreateFileW(...));
//   if (!file) return GetLastError();
//   ScopeExit uninitialize([] { CoUninitialize(); });
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

#include "Public/com_owners.h"

namespace qar {

// Owns one value of type T; Traits says which value owns nothing (Invalid), whether a value is a
// resource (IsValid) and how to give it back (Close). Move-only.
template <class T, class Traits>
class UniqueAny {
public:
    UniqueAny() noexcept : value_(Traits::Invalid()) {}
    // Takes ownership of `value` (may be the invalid value).
    explicit UniqueAny(T value) noexcept : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.Release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { Reset(); }

    const T& Get() const noexcept { return value_; }
    // The owned value in place, for a callee that fills it without expecting it empty.
    T* Ptr() noexcept { return &value_; }
    // For out-parameters: gives the current resource back first.  FormatMessageW(..., text.Put(), ...)
    T* Put() noexcept {
        Reset();
        return &value_;
    }
    // Gives up ownership.
    T Release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    void Reset() noexcept { Reset(Traits::Invalid()); }
    // Takes `value`, giving the one held before back (unless it is the same resource).
    void Reset(T value) noexcept {
        T old = std::exchange(value_, value);
        if (Traits::IsValid(old) && !Traits::Same(old, value)) Traits::Close(old);
    }
    explicit operator bool() const noexcept { return Traits::IsValid(value_); }

private:
    T value_;
};

// Traits for resources that a null pointer or handle marks as none.
template <class T, auto CloseFunction>
struct NullMeansNone {
    static T Invalid() noexcept { return nullptr; }
    static bool IsValid(T value) noexcept { return value != nullptr; }
    static bool Same(T a, T b) noexcept { return a == b; }
    static void Close(T value) noexcept { CloseFunction(value); }
};

struct HandleTraits {
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE value) noexcept { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    static bool Same(HANDLE a, HANDLE b) noexcept { return a == b; }
    static void Close(HANDLE value) noexcept { CloseHandle(value); }
};

struct VariantTraits {
    static VARIANT Invalid() noexcept {
        VARIANT value;
        VariantInit(&value);
        return value;
    }
    static bool IsValid(const VARIANT& value) noexcept { return value.vt != VT_EMPTY; }
    static bool Same(const VARIANT&, const VARIANT&) noexcept { return false; }
    static void Close(VARIANT& value) noexcept { VariantClear(&value); }
};

using UniqueVariant = UniqueAny<VARIANT, VariantTraits>;
using UniqueHandle = UniqueAny<HANDLE, HandleTraits>;
using UniqueModule = UniqueAny<HMODULE, NullMeansNone<HMODULE, FreeLibrary>>;
using UniqueLocal = UniqueAny<wchar_t*, NullMeansNone<wchar_t*, LocalFree>>;
using UniqueTaskText = UniqueAny<wchar_t*, NullMeansNone<wchar_t*, CoTaskMemFree>>;

class UniqueBstr : public UniqueAny<BSTR, NullMeansNone<BSTR, SysFreeString>> {
public:
    using UniqueAny::UniqueAny;

    // A new BSTR holding all of `text` (embedded zeros included); null only when out of memory.
    // MakeBstr (Public/error_model.h) throws instead.
    static UniqueBstr Copy(const std::wstring& text) {
        return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    }
    // The characters, with a null string read as "".
    const wchar_t* CStr() const { return Get() != nullptr ? Get() : L""; }
    std::wstring Str() const { return std::wstring(CStr(), Get() != nullptr ? SysStringLen(Get()) : 0); }
};

class UniqueSafeArray : public UniqueAny<SAFEARRAY*, NullMeansNone<SAFEARRAY*, SafeArrayDestroy>> {
public:
    using UniqueAny::UniqueAny;

    // Checks the shape before anything is read: true, with the lower bound and the element count,
    // only for a one-dimensional array whose elements are of type `type`.
    //   LONG lower, count;
    //   if (list.IsVector(VT_BSTR, lower, count)) for (LONG i = 0; i < count; ++i) ... lower + i ...
    bool IsVector(VARTYPE type, LONG& lower, LONG& count) const {
        return IsVector(Get(), type, lower, count);
    }
    static bool IsVector(SAFEARRAY* array, VARTYPE type, LONG& lower, LONG& count) {
        VARTYPE actual = VT_EMPTY;
        if (array == nullptr || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &actual)) ||
            actual != type || array->rgsabound[0].cElements > 0x7FFFFFFFUL) {
            return false;
        }
        lower = array->rgsabound[0].lLbound;
        count = static_cast<LONG>(array->rgsabound[0].cElements);
        return true;
    }
};

// Runs `action` when the scope ends, however it ends.
//   ScopeExit unlock([&] { SafeArrayUnlock(array); });
template <class Action>
class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { action_(); }

private:
    Action action_;
};

}  // namespace qar
