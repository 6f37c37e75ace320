// An in-process automation object that stands in for the add-in in tests.
//
// It knows the add-in's methods by name (Disconnect, CreateMenu, RefreshTable, UpdateTable) and its
// error properties (errNumber, errDescription). Each method can be scripted to fail with an HRESULT,
// each name can be taken away, and the error properties answer with whatever SetLastError left. It
// records every call it receives and counts lookups, calls and references, so a test can check what
// arrived and that nothing was left behind.
//
// It lives on the test's stack and is never deleted through Release: a reference given back once too
// often shows as References() == 0 instead of a crash.
//   StandInAddIn addIn;
//   addIn.Fail(L"CreateMenu", E_FAIL);
//   addIn.SetLastError(7, L"no menu file");
//   InvokeByName(&addIn, L"CreateMenu", L"x", code, message);
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

class StandInAddIn : public IDispatch {
public:
    struct Argument {
        VARTYPE type;
        bool isNull;  // a VT_BSTR holding a null BSTR
        std::wstring text;
    };
    struct Call {
        std::wstring name;
        WORD flags;
        std::vector<Argument> arguments;  // in the order the method declares them
    };

    StandInAddIn();
    StandInAddIn(const StandInAddIn&) = delete;
    StandInAddIn& operator=(const StandInAddIn&) = delete;
    virtual ~StandInAddIn() = default;

    // The method `name` fails with `hr` from now on.
    void Fail(const std::wstring& name, HRESULT hr);
    // The object no longer knows `name`: its lookup fails with DISP_E_UNKNOWNNAME.
    void Forget(const std::wstring& name);
    // Reading the property `name` fails with `hr` (its lookup still succeeds).
    void FailRead(const std::wstring& name, HRESULT hr) { Fail(name, hr); }
    // What errNumber and errDescription give; a missing description reads as a null BSTR.
    void SetLastError(LONG number, std::optional<std::wstring> description);

    const std::vector<Call>& Calls() const { return calls_; }
    int LookUps() const { return lookUps_; }
    int Invokes() const { return invokes_; }
    ULONG References() const { return references_; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

private:
    struct Member {
        std::wstring name;
        bool isProperty;
        UINT arity;
        HRESULT outcome = S_OK;
        bool known = true;
    };

    HRESULT ReadProperty(const Member& member, VARIANT* result) const;

    std::vector<Member> members_;  // DISPID = index + 1
    std::vector<Call> calls_;
    LONG errNumber_ = 0;
    std::optional<std::wstring> errDescription_;
    int lookUps_ = 0;
    int invokes_ = 0;
    ULONG references_ = 1;
};
