// Calls by name on an automation object (IDispatch), and the message text of an HRESULT.
//
// The add-in is driven only by late binding: the library knows its methods by name. A failed call
// leaves an error code and a message in the caller's status record, written only on failure. After a failed
// call with arguments the add-in is asked for its own error through its properties errNumber and
// errDescription.
//
//   int result = InvokeByName(addIn, L"RefreshTable", first, second, record);
//   // result: 0, or the failing HRESULT; on failure the record says why.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <utility>
#include <vector>

#include "Public/error_model.h"

namespace qar {

// Dispatch identifiers already looked up on one object. COM fixes an object's identifiers for its
// lifetime, so a holder that keeps the object alive may look each name up once and save the
// cross-process lookup on every later call. Only successful lookups are kept, so a failure is
// looked up, and reported, afresh each time. A different target starts the cache over.
//   DispatchIdCache ids;  // beside the object it serves
//   InvokeByName(addIn, L"CreateMenu", arg, record, &ids);
class DispatchIdCache {
public:
    [[nodiscard]] HRESULT LookUp(IDispatch* target, const std::wstring& name, DISPID& id);

private:
    IDispatch* target_ = nullptr;                       // identity only: the holder keeps the object alive
    std::vector<std::pair<std::wstring, DISPID>> ids_;  // a handful of method names
};

// Calls `method` of `target` with no argument. Returns 0 when the call succeeded, else the failing
// HRESULT of the lookup or the call, with the record's code = that HRESULT and its message = its text
// (ComErrorMessage). A null target calls nothing and returns 0.
// With `cache`, the method's identifier is taken from it (and kept in it).
[[nodiscard]] int InvokeByName(IDispatch* target, const std::wstring& method, StatusRecord record,
                               DispatchIdCache* cache = nullptr);

// Calls method(arg) of `target`; the argument arrives as a BSTR. A null target calls nothing and
// returns 0 with the outputs untouched. On failure returns the HRESULT and reports the add-in's own
// error (errNumber, errDescription) when it gives a non-empty description, otherwise
// code = HRESULT and message = "call" + method + "() error, " + ComErrorMessage(HRESULT).
// Throws QARBASE::HResultError when an argument cannot be copied (outputs untouched).
[[nodiscard]] int InvokeByName(IDispatch* target, const std::wstring& method, const std::wstring& arg,
                               StatusRecord record, DispatchIdCache* cache = nullptr);

// Calls method(arg1, arg2) of `target`, in that order; otherwise as the one-argument form.
[[nodiscard]] int InvokeByName(IDispatch* target, const std::wstring& method, const std::wstring& arg1,
                               const std::wstring& arg2, StatusRecord record,
                               DispatchIdCache* cache = nullptr);

// The system's message text for `hr`, without its final line break (LF or CR LF). When the system has
// none: "IDispatch error #n" for 0x80040201..0x8004FFFF (n = code - 0x200), else "Unknown error 0x…"
// in upper-case hexadecimal.
//   ComErrorMessage(0x80040205) == L"IDispatch error #5"
std::wstring ComErrorMessage(HRESULT hr);

// `text` without one final LF, or CR LF, when it is longer than one character.
std::wstring TrimFinalLineBreak(std::wstring text);

}  // namespace qar
