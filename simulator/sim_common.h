// What the simulation's objects share: reference accounting per object kind, an owner for the
// references the simulation holds itself, the type information each module carries, and the text
// forms of the call log. Header-only, because the add-in module and the application are separate
// binaries; each binary keeps its own tallies.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <utility>

#include "Public/owners.h"

namespace qarsim {

using qar::ComPtr;
using qar::UniqueBstr;
using qar::UniqueSafeArray;
using qar::UniqueVariant;

enum class Kind { Application, Frame, Document, Enumerator, AddIn, Count };

// Live objects of a kind and the references held on them by anyone but the simulation itself.
struct KindTally {
    long live = 0;
    long clientRefs = 0;
};

inline KindTally& Tally(Kind kind) {
    static KindTally tallies[static_cast<int>(Kind::Count)];
    return tallies[static_cast<int>(kind)];
}

// Base of every served object: one reference count, split in the tallies between references the
// simulation holds (Held<T>) and everybody else's. The creator's first reference counts as a client's
// until a Held<T> adopts it. All objects live in one single-threaded apartment.
class Counted {
public:
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

    // Moves `n` references from the clients' share to the simulation's own (negative: back).
    void MarkInternal(long n) {
        internal_ += n;
        Tally(kind_).clientRefs -= n;
    }
    long ClientRefs() const { return static_cast<long>(refs_) - internal_; }

protected:
    explicit Counted(Kind kind) : kind_(kind) {
        ++Tally(kind_).live;
        ++Tally(kind_).clientRefs;
    }
    virtual ~Counted() { --Tally(kind_).live; }

    ULONG AddRefCounted() {
        ++Tally(kind_).clientRefs;
        return ++refs_;
    }
    ULONG ReleaseCounted() {
        --Tally(kind_).clientRefs;
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

private:
    Kind kind_;
    ULONG refs_ = 1;
    long internal_ = 0;
};

// A reference the simulation holds itself (a document in its application's list, the frame's hold on
// its application): counted apart from clients' references, so the object counts show only theirs.
//   Held<Document> doc = Held<Document>::Adopt(new Document(...));
template <class T>
class Held {
public:
    Held() = default;
    explicit Held(T* p) : p_(p) {
        if (p_ != nullptr) {
            p_->AddRef();
            p_->MarkInternal(1);
        }
    }
    // Takes over the creator's reference.
    static Held Adopt(T* p) {
        Held result;
        result.p_ = p;
        if (p != nullptr) p->MarkInternal(1);
        return result;
    }
    Held(const Held& other) : Held(other.p_) {}
    Held(Held&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Held& operator=(Held other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Held() { Reset(); }
    void Reset() {
        if (T* old = std::exchange(p_, nullptr)) {
            old->MarkInternal(-1);
            old->Release();
        }
    }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// Type library resources of the module that contains this code.
enum TypeLibResource : int { kCadInterfaces = 1, kSimControl = 2 };

// The type information of `iid` from TYPELIB resource `resource` of this module (the executable or
// DLL these objects were linked into). oleaut32 caches loaded type libraries, so each object may ask.
inline HRESULT LoadOwnTypeInfo(TypeLibResource resource, REFIID iid, ComPtr<ITypeInfo>& info) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&LoadOwnTypeInfo), &module)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    path += L"\\" + std::to_wstring(static_cast<int>(resource));
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(iid, info.Put());
}

// Placeholder entries of the CAD interfaces, in the same notation as Public/cad_interfaces.idl. The
// compiler checks the lists: a missing entry leaves a class abstract, an extra one overrides nothing.
#define QARSIM_SLOT(n)                             \
    HRESULT STDMETHODCALLTYPE Slot##n() override { \
        return E_NOTIMPL;                          \
    }
#define QARSIM_SLOTS10(t) \
    QARSIM_SLOT(t##0)     \
    QARSIM_SLOT(t##1)     \
    QARSIM_SLOT(t##2)     \
    QARSIM_SLOT(t##3)     \
    QARSIM_SLOT(t##4)     \
    QARSIM_SLOT(t##5)     \
    QARSIM_SLOT(t##6)     \
    QARSIM_SLOT(t##7)     \
    QARSIM_SLOT(t##8)     \
    QARSIM_SLOT(t##9)

// IDispatch of a dual interface `I`, from TYPELIB resource `resource` of this module, so that the
// late-bound names and dispatch ids are exactly the declared ones. The class provides
// `HRESULT Refusal(const wchar_t* entry)`: a busy application refuses GetIDsOfNames and Invoke
// themselves with that code, as the COM channel refuses a call before it reaches the object.
#define QARSIM_DISPATCH(I, resource)                                                                   \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {                                 \
        if (count == nullptr) return E_POINTER;                                                        \
        *count = 1;                                                                                    \
        return S_OK;                                                                                   \
    }                                                                                                  \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {               \
        if (info == nullptr) return E_POINTER;                                                         \
        *info = nullptr;                                                                               \
        if (index != 0) return DISP_E_BADINDEX;                                                        \
        return DispatchInfo(resource, __uuidof(I), info);                                              \
    }                                                                                                  \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)    \
        override {                                                                                     \
        HRESULT hr = Refusal(L"" #I ".GetIDsOfNames");                                                 \
        if (FAILED(hr)) return hr;                                                                     \
        ComPtr<ITypeInfo> info;                                                                        \
        hr = LoadOwnTypeInfo(resource, __uuidof(I), info);                                             \
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);                     \
    }                                                                                                  \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,      \
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) override { \
        HRESULT hr = Refusal(L"" #I ".Invoke");                                                        \
        if (FAILED(hr)) return hr;                                                                     \
        if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;                                           \
        ComPtr<ITypeInfo> info;                                                                        \
        hr = LoadOwnTypeInfo(resource, __uuidof(I), info);                                             \
        if (FAILED(hr)) return hr;                                                                     \
        return DispInvoke(static_cast<I*>(this), info.Get(), id, flags, params, result, exception,     \
                          argError);                                                                   \
    }

inline HRESULT DispatchInfo(TypeLibResource resource, REFIID iid, ITypeInfo** out) {
    ComPtr<ITypeInfo> info;
    HRESULT hr = LoadOwnTypeInfo(resource, iid, info);
    if (SUCCEEDED(hr)) *out = info.Detach();
    return hr;
}

// Text forms used in the call log and the add-in's configuration log. A string is quoted as 'text';
// a backslash, a quote and the control characters CR, LF and TAB are escaped (\\ \' \r \n \t), so
// that every logged call stays on one line whatever its arguments hold.
inline std::wstring Quoted(BSTR text) {
    if (text == nullptr) return L"null";
    std::wstring out = L"'";
    const UINT length = SysStringLen(text);
    out.reserve(length + 2);
    for (UINT i = 0; i < length; ++i) {
        switch (const wchar_t c = text[i]) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\'':
                out += L"\\'";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\t':
                out += L"\\t";
                break;
            default:
                out += c;
        }
    }
    out += L'\'';
    return out;
}
inline std::wstring Quoted(const std::wstring& text) {
    UniqueBstr copy = UniqueBstr::Copy(text);
    return Quoted(copy.Get());
}
inline std::wstring ObjectText(const void* object) {
    return object != nullptr ? L"object" : L"null";
}
inline std::wstring Hex(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// A reply made to look as if the object itself failed: error information for callers that ask
// ISupportErrorInfo / GetErrorInfo, then the HRESULT.
inline HRESULT ReportFailure(REFIID iid, const std::wstring& source, const std::wstring& description,
                             HRESULT hr) {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
        create->SetGUID(iid);
        create->SetSource(const_cast<LPOLESTR>(source.c_str()));
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.As(info))) SetErrorInfo(0, info.Get());
    }
    return hr;
}

}  // namespace qarsim
