// qar::ComPtr, the owner of one counted COM interface pointer. A host needs it only because the
// connector class it constructs holds two (their size and layout are part of the class); the
// project's helper lives in the namespace qar so that it cannot clash with a host's own ComPtr.
//
//   qar::ComPtr<ISldWorks> app;
//   CoCreateInstance(id, nullptr, CLSCTX_LOCAL_SERVER, IID_ISldWorks, reinterpret_cast<void**>(app.Put()));
//
// Copying adds a reference, assigning takes the new reference before releasing the old one,
// destroying releases.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <utility>

namespace qar {

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

}  // namespace qar
