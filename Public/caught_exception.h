// The one place that says what a caught exception was. The library's guard, the C interface and the
// automation server each turn it into their own kind of result (a status record, a C result, an
// HRESULT with error information), but the exceptions are told apart here only.
//
//   try {
//       return body();
//   } catch (...) {
//       const qar::CaughtException caught = qar::DescribeCaughtException();
//       ...
//   }
#pragma once

#include <windows.h>

#include <string>

namespace qar {

struct CaughtException {
    enum class Kind {
        ComError,     // _com_error: hr, the error information's description and source
        Library,      // QARBASE::AR_Exception, translated machine faults included: description = Text()
        OutOfMemory,  // std::bad_alloc: hr E_OUTOFMEMORY, description = what()
        Standard,     // any other std::exception: description = what()
        Unknown,      // anything else (QARBASE::HResultError among them: hr = its code)
    };
    Kind kind = Kind::Unknown;
    HRESULT hr = E_UNEXPECTED;
    std::wstring description;
    std::wstring source;
};

// Call only from inside a catch block: rethrows the exception being handled and describes it. An
// exception thrown while describing (no memory for the text) leaves this function.
CaughtException DescribeCaughtException();

// Converts an ANSI text (system code page, as exceptions' what() are written) to UTF-16; null or
// empty gives "".
std::wstring AnsiToWide(const char* text);

}  // namespace qar
