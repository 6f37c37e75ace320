// An in-process automation object that stands in for the add-in in tests. It knows the add-in's
// methods (Disconnect, CreateMenu, RefreshTable, UpdateTable) and error properties (errNumber,
// errDescription) by name; each can be made to fail or be taken away. It records each call as text:
//   Disconnect()  RefreshTable('a', '')  (a null BSTR shows as null)  get errNumber()
// and counts lookups and references; it lives on the test's stack, so a reference given back once too
// often shows in the count instead of as a crash.
//   StandInAddIn addIn;
//   addIn.Fail(L"CreateMenu", E_FAIL);
//   addIn.SetLastError(7, L"no menu file");
//   InvokeByName(&addIn, L"CreateMenu", L"x", code, message);
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "counted_dispatch.h"

class StandInAddIn : public CountedDispatch {
public:
    using CallList = std::vector<std::wstring>;

    // Calling the method, or reading the property, `name` fails with `hr` from now on.
    void Fail(const std::wstring& name, HRESULT hr) { failures_[name] = hr; }
    // The object no longer knows `name`: its lookup fails with DISP_E_UNKNOWNNAME.
    void Forget(const std::wstring& name) { forgotten_.insert(name); }
    // What errNumber and errDescription give; no description reads as a null BSTR.
    void SetLastError(LONG number, std::optional<std::wstring> description) {
        errNumber_ = number;
        errDescription_ = std::move(description);
    }

    const CallList& Calls() const { return calls_; }
    int LookUps() const { return lookUps_; }

    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override;

private:
    std::map<std::wstring, HRESULT> failures_;
    std::set<std::wstring> forgotten_;
    CallList calls_;
    LONG errNumber_ = 0;
    std::optional<std::wstring> errDescription_;
    int lookUps_ = 0;
};
