// DualObject<I>: the COM plumbing of an object that implements the dual interface I of this module's
// type library: reference counting, QueryInterface, IDispatch through the type library (so that the
// late-bound names, dispatch ids, argument conversions and refusals are exactly the declared ones)
// and ISupportErrorInfo for I. The derived class implements I's own methods.
//
//   class Connector final : public DualObject<IQarConnector> { ... HRESULT Init() ... };
//
// Objects live in one single-threaded apartment (ThreadingModel Apartment); the count is still
// interlocked, as COM's own references may be taken from its threads.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "automation_server.h"

namespace qarauto {

// The type information of `iid` from this module's type library (resource TYPELIB 1).
HRESULT LoadTypeInfo(REFIID iid, ComPtr<ITypeInfo>& info);

template <class I>
class DualObject : public I, public ISupportErrorInfo {
public:
    DualObject(const DualObject&) = delete;
    DualObject& operator=(const DualObject&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(I)) {
            *out = static_cast<I*>(this);
        } else if (iid == IID_ISupportErrorInfo) {
            *out = static_cast<ISupportErrorInfo*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (info == nullptr) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        *info = ComPtr<ITypeInfo>(typeInfo_).Detach();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        return DispGetIDsOfNames(typeInfo_.Get(), names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
        if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        return DispInvoke(static_cast<I*>(this), typeInfo_.Get(), id, flags, params, result, exception,
                          argError);
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == __uuidof(I) ? S_OK : S_FALSE;
    }

protected:
    DualObject() { ObjectMade(); }
    virtual ~DualObject() { ObjectGone(); }
    // Called once after construction; an object without its type information could answer no
    // late-bound call, so it is not handed out.
    HRESULT LoadOwnTypeInfo() { return LoadTypeInfo(__uuidof(I), typeInfo_); }

private:
    LONG references_ = 1;  // the creator's
    ComPtr<ITypeInfo> typeInfo_;
};

}  // namespace qarauto
