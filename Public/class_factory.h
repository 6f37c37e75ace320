// The part every class object of ours shares: it is an IClassFactory and nothing else. A class
// object derives from this and supplies its own reference counting and CreateInstance.
//   class ClassFactory final : public qar::ClassFactoryBase { ... AddRef, Release, CreateInstance ... };
#pragma once

#include <unknwn.h>

namespace qar {

class ClassFactoryBase : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) final {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }

protected:
    ~ClassFactoryBase() = default;
};

}  // namespace qar
