// Owner types for COM resources. Each owns exactly one resource and gives it back in its destructor,
// so no early return or exception can leak it.
//   UniqueBstr   - a BSTR; move-only; frees with SysFreeString.
//   UniqueVariant- a VARIANT; move-only; clears with VariantClear.
//   UniqueSafeArray - a SAFEARRAY; move-only; destroys it and its elements with SafeArrayDestroy.
//   ComPtr<T>    - a counted interface pointer; copying adds a reference, assigning takes the new
//                  reference before releasing the old one, destroying releases.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

class UniqueBstr {
public:
    UniqueBstr() = default;
    // Takes ownership of `value` (may be null).
    explicit UniqueBstr(BSTR value) : value_(value) {}
    UniqueBstr(UniqueBstr&& other) noexcept : value_(other.Release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { Reset(); }

    // A new BSTR holding all of `text` (embedded zeros included); null only when out of memory.
    //   UniqueBstr path = UniqueBstr::Copy(L"C:\\part.sldprt");
    static UniqueBstr Copy(const std::wstring& text) {
        return UniqueBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    }

    BSTR Get() const { return value_; }
    // For out-parameters: frees the current string first.  obj->get_Name(name.Put());
    BSTR* Put() {
        Reset();
        return &value_;
    }
    // Gives up ownership.
    BSTR Release() { return std::exchange(value_, nullptr); }
    void Reset(BSTR value = nullptr) {
        if (value_ != nullptr && value_ != value) SysFreeString(value_);
        value_ = value;
    }
    // The characters, with a null string read as "".
    const wchar_t* CStr() const { return value_ != nullptr ? value_ : L""; }
    std::wstring Str() const { return std::wstring(CStr(), value_ != nullptr ? SysStringLen(value_) : 0); }
    explicit operator bool() const { return value_ != nullptr; }

private:
    BSTR value_ = nullptr;
};

class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&value_); }
    UniqueVariant(UniqueVariant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept {
        if (this != &other) {
            VariantClear(&value_);
            value_ = other.value_;
            VariantInit(&other.value_);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    ~UniqueVariant() { VariantClear(&value_); }

    const VARIANT& Get() const { return value_; }
    VARIANT* Ptr() { return &value_; }
    // For out-parameters: clears the current value first.  Invoke(..., result.Put(), ...);
    VARIANT* Put() {
        VariantClear(&value_);
        return &value_;
    }
    void Reset() { VariantClear(&value_); }

private:
    VARIANT value_;
};

class UniqueSafeArray {
public:
    UniqueSafeArray() = default;
    // Takes ownership of `array` (may be null).
    explicit UniqueSafeArray(SAFEARRAY* array) : array_(array) {}
    UniqueSafeArray(UniqueSafeArray&& other) noexcept : array_(other.Release()) {}
    UniqueSafeArray& operator=(UniqueSafeArray&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueSafeArray(const UniqueSafeArray&) = delete;
    UniqueSafeArray& operator=(const UniqueSafeArray&) = delete;
    ~UniqueSafeArray() { Reset(); }

    SAFEARRAY* Get() const { return array_; }
    // For out-parameters: destroys the current array first.
    SAFEARRAY** Put() {
        Reset();
        return &array_;
    }
    // Gives up ownership.
    SAFEARRAY* Release() { return std::exchange(array_, nullptr); }
    void Reset(SAFEARRAY* array = nullptr) {
        if (array_ != nullptr && array_ != array) SafeArrayDestroy(array_);
        array_ = array;
    }
    explicit operator bool() const { return array_ != nullptr; }

    // Checks the shape before anything is read: true, with the lower bound and the element count,
    // only for a one-dimensional array whose elements are of type `type`.
    //   LONG lower, count;
    //   if (list.IsVector(VT_BSTR, lower, count)) for (LONG i = 0; i < count; ++i) ... lower + i ...
    bool IsVector(VARTYPE type, LONG& lower, LONG& count) const {
        return IsVector(array_, type, lower, count);
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

private:
    SAFEARRAY* array_ = nullptr;
};

template <class T>
class ComPtr {
public:
    ComPtr() = default;
    // Adds a reference of its own to `p`.
    explicit ComPtr(T* p) : p_(p) {
        if (p_ != nullptr) p_->AddRef();
    }
    // Takes over a reference that the caller already holds.
    static ComPtr Adopt(T* p) {
        ComPtr result;
        result.p_ = p;
        return result;
    }
    ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(const ComPtr& other) {
        ComPtr copy(other);  // take the new reference before the old one is released
        Swap(copy);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr moved(std::move(other));
        Swap(moved);
        return *this;
    }
    ~ComPtr() { Reset(); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases the current pointer first.  CoCreateInstance(..., (void**)app.Put());
    T** Put() {
        Reset();
        return &p_;
    }
    // Gives up the reference to the caller.
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() {
        if (T* old = std::exchange(p_, nullptr)) old->Release();
    }
    void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

    // QueryInterface for U; `out` is empty on failure.
    template <class U>
    HRESULT As(ComPtr<U>& out) const {
        if (p_ == nullptr) {
            out.Reset();
            return E_POINTER;
        }
        return p_->QueryInterface(__uuidof(U), reinterpret_cast<void**>(out.Put()));
    }

private:
    T* p_ = nullptr;
};
