// The stand-in add-in's automation object and the small internal interfaces through which the
// simulated application controls it. The same object code runs in BrivexSw18_x64.dll (loaded by
// ISldWorks::LoadAddIn) and in a test's own process (CreateAddIn). The module and the application are
// separate binaries with separate C++ runtimes, so these interfaces pass only COM types and wide C
// strings.
//
//   ComPtr<ISwAddIn> addIn;
//   qarsim::CreateAddIn(addIn.Put());
//   ComPtr<ISimAddInControl> control;
//   addIn.As(control);
//   control->FailMethod(L"CreateMenu", E_FAIL, 7, L"no menu file", TRUE);
#pragma once

#include <windows.h>

#include "Public/cad_interfaces.h"

// Reports each call of the add-in to whoever loaded it (the application's call log and its injected
// faults).
struct ISimAddInHook : public IUnknown {
    // Records `entry` ("ISwAddIn.CreateMenu") with its argument text and applies what was injected for
    // it: returns the HRESULT to fail with (S_OK to go on) and sets *nullResult when the entry is to
    // hand back a null result.
    virtual HRESULT STDMETHODCALLTYPE Enter(const wchar_t* entry, const wchar_t* arguments,
                                            BOOL* nullResult) = 0;
    // While the application is busy: the code the call of `entry` ("ISwAddIn.CreateMenu",
    // "ISwAddIn.Invoke") is refused with, logged as refused; the add-in answers it untouched, as if the
    // call had never reached it. S_OK otherwise.
    virtual HRESULT STDMETHODCALLTYPE Refusal(const wchar_t* entry) = 0;
};
__CRT_UUID_DECL(ISimAddInHook, 0x5b7a3c0e, 0x3f1d, 0x4c6e, 0x9a, 0x51, 0x0c, 0x2e, 0x7d, 0x41, 0x88, 0x13)

// The add-in object's own controls, reached by QueryInterface in process only (never marshaled).
struct ISimAddInControl : public IUnknown {
    // Calls are reported to `hook` from now on (null: to nobody).
    virtual HRESULT STDMETHODCALLTYPE SetHook(ISimAddInHook* hook) = 0;
    // The method ("CreateMenu", "RefreshTable", "UpdateTable", "Disconnect") fails with `hr` and sets
    // errNumber and errDescription (null: an empty description); once = the next call only.
    // E_INVALIDARG for any other method name.
    virtual HRESULT STDMETHODCALLTYPE FailMethod(const wchar_t* method, HRESULT hr, LONG errNumber,
                                                 const wchar_t* errDescription, BOOL once) = 0;
    // The configuration calls received, "<entry>\t<value>\n" each, oldest first.
    virtual HRESULT STDMETHODCALLTYPE Configuration(BSTR* values) = 0;
    // Forgets the injected failures and the configuration log.
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
};
__CRT_UUID_DECL(ISimAddInControl, 0x1e0f4b62, 0x7a3d, 0x4d0b, 0xb1, 0x5e, 0x62, 0x9c, 0x0a, 0x7f, 0x33, 0xd4)

namespace qarsim {

// A new add-in object; the caller receives its one reference.
HRESULT CreateAddIn(ISwAddIn** addIn);
// The live add-in objects of the calling module and the references held on them.
void AddInCounts(LONG* live, LONG* refs);

}  // namespace qarsim

// The add-in module's export: its automation object. The application loads the module and calls it.
// The add-in module's exports: its automation object, and the live add-in objects of the module with
// the references held on them (asked through the module, so that asking adds no reference).
extern "C" typedef HRESULT(STDMETHODCALLTYPE* QarSimCreateAddInFunction)(ISwAddIn** addIn);
extern "C" typedef void(STDMETHODCALLTYPE* QarSimAddInCountsFunction)(LONG* live, LONG* refs);
inline constexpr const char* kQarSimCreateAddInExport = "QarSimCreateAddIn";
inline constexpr const char* kQarSimAddInCountsExport = "QarSimAddInCounts";
