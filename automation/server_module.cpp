// The in-process server's entry points: the class object of Connector, the module's lifetime, the
// type information from its own TYPELIB resource, and (un)registration for regsvr32:
//   regsvr32 QarSldwAutomation_x64.dll            machine-wide (DllRegisterServer)
//   regsvr32 /u QarSldwAutomation_x64.dll         undoes it (DllUnregisterServer)
//   regsvr32 /n /i:user QarSldwAutomation_x64.dll per user (DllInstall(TRUE, L"user"))
//   regsvr32 /u /n /i:user ...                    undoes it (DllInstall(FALSE, L"user"))
#include <windows.h>
#include <olectl.h>

#include "Public/class_factory.h"
#include "automation_server.h"
#include "Public/text_helpers.h"
#include "sldw/localized_messages.h"
#include "dual_object.h"
#include "registration.h"

namespace qarauto {
namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;  // live objects and class-object locks

class ClassFactory final : public qar::ClassFactoryBase {
public:
    // One static object: its references keep the module loaded, like a lock.
    ULONG STDMETHODCALLTYPE AddRef() override {
        ObjectMade();
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ObjectGone();
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return Guarded(IID_IClassFactory, [&] { return MakeConnector(iid, object); });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ObjectMade() : ObjectGone();
        return S_OK;
    }
};

ClassFactory g_factory;

}  // namespace

std::wstring ModulePath() {
    return qar::ModuleFileName(g_module);
}

void ObjectMade() {
    InterlockedIncrement(&g_objects);
}
void ObjectGone() {
    InterlockedDecrement(&g_objects);
}
bool ModuleInUse() {
    return InterlockedCompareExchange(&g_objects, 0, 0) != 0;
}

HRESULT LoadTypeInfo(REFIID iid, ComPtr<ITypeInfo>& info) {
    const std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    ComPtr<ITypeLib> library;
    const HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
    return FAILED(hr) ? hr : library->GetTypeInfoOfGuid(iid, info.Put());
}

}  // namespace qarauto

using namespace qarauto;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_Connector) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, object);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return ModuleInUse() ? S_FALSE : S_OK;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
    return Register(Scope::Machine, ModulePath());
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return Unregister(Scope::Machine);
}

// regsvr32 /n /i:user (install) and /u /n /i:user (uninstall): the per-user registration.
HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR commandLine) {
    if (commandLine == nullptr || CompareStringOrdinal(commandLine, -1, L"user", -1, TRUE) != CSTR_EQUAL) {
        return E_INVALIDARG;
    }
    return install ? Register(Scope::User, ModulePath()) : Unregister(Scope::User);
}

}  // extern "C"
