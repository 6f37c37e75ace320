// The library's exception and the guarded-operation convention.
//
// Inside the library failures travel as exceptions; a guarded operation catches every one of them at
// its boundary and leaves only an int result and the status record (errorCode, errorMessage) of the
// object it ran on. Machine faults, invalid runtime arguments and pure virtual calls raised inside a
// guarded operation arrive there as AR_Exception too (fault_translation.h).
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <type_traits>

#include "Public/owners.h"
#include "Public/status_record.h"

namespace QARBASE {

class AR_Exception : public std::exception {
public:
    AR_Exception(const std::wstring& message, const std::wstring& file, const std::wstring& function,
                 int line);
    AR_Exception(const AR_Exception&) = default;
    AR_Exception& operator=(const AR_Exception&) = default;
    // Inline, so that the type needs no key function: hosts built here catch it through
    // caught_exception.cpp without the guard's file.
    ~AR_Exception() override = default;

    // The text a guard records: the message followed by one line feed.
    std::wstring Text() const { return message + L'\n'; }

    std::wstring message;
    std::wstring file;
    std::wstring function;
    int line;
    std::wstring catchFile;
    std::wstring catchFunction;
    int catchLine;
};

// A failed COM or automation primitive that leaves an operation unable to go on, such as a string
// copy without memory (E_OUTOFMEMORY). Like the platform's ATL exception it is not a standard
// exception, so a guard records it as "Unexpected error.".
class HResultError {
public:
    explicit HResultError(HRESULT hr) : hr_(hr) {}
    HRESULT Result() const { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace QARBASE

namespace qar {

// Codes hosts test for. They look arbitrary but are frozen: hosts have compared results and status
// records with these numbers since the first release, so they must never be "tidied".
constexpr int kConnectGuardCode = 18000;  // an exception caught by the connect sequence's own guard
constexpr int kNoAddInObjectCode = -255;  // the application gave no add-in object

// A new BSTR holding all of `text`; out of memory throws QARBASE::HResultError(E_OUTOFMEMORY), the
// library's one out-of-memory error for strings (a guard records it as "Unexpected error."; the
// unguarded command operations pass it to the host).
//   const UniqueBstr path = MakeBstr(L"C:\\part.sldprt");
UniqueBstr MakeBstr(const std::wstring& text);
// The same for the characters of `text` up to its first NUL.
UniqueBstr MakeBstr(const wchar_t* text);

// Where a guarded operation stands and how it reports. Each guarded operation has one constant of
// this type; the catch ladder itself exists once, in RunGuarded.
struct GuardSite {
    const wchar_t* function;  // qualified name, e.g. L"QARCAX::CaxConnector::Connect"
    const wchar_t* prefix;    // put before the exception's text in the status record
    int errorCode;            // recorded in the status record for every caught exception
    bool catchesComError;     // whether _com_error is told apart; without, it counts as a foreign type
};

namespace detail {
int RunGuardedCall(const GuardSite& site, StatusRecord record, int (*body)(void*), void* context);
}

// Runs `body` (a callable returning int) as a guarded operation:
//   1. installs the fault handlers (they stay installed);
//   2. returns body's result unchanged when it returns normally;
//   3. otherwise records the exception (site.errorCode and the site's text) and returns -1.
// Example:
//   return RunGuarded(kConnectSite, record, [&] { return LoadSomething(); });
template <class Body>
int RunGuarded(const GuardSite& site, StatusRecord record, Body&& body) {
    using BodyType = std::remove_reference_t<Body>;
    return detail::RunGuardedCall(
        site, record, [](void* p) -> int { return (*static_cast<BodyType*>(p))(); },
        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

}  // namespace qar
