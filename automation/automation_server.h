// The automation server's internals shared by its source files: the module, the two objects, the
// error protocol and the busy scope. The server is a host of the library built with the library's
// own toolchain: it drives the exported C++ classes, which bind only to modules built with the same
// compiler and C++ standard library.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>

#include "Public/cax_command.h"
#include "Public/owners.h"
#include "automation/qarsldw_automation.h"

namespace qarauto {

using qar::ComPtr;
using qar::UniqueBstr;
using qar::UniqueSafeArray;

// What error information names as its source, for both objects.
inline constexpr wchar_t kProgId[] = L"QarSldw.Connector";
inline constexpr wchar_t kVersionedProgId[] = L"QarSldw.Connector.1";

// This module's full path ("" when it cannot be read).
std::wstring ModulePath();

// Live objects, for DllCanUnloadNow.
void ObjectMade();
void ObjectGone();
bool ModuleInUse();

// A new connector, queried for `iid`.
HRESULT MakeConnector(REFIID iid, void** object);
// A new command object that owns `command` (made with a busy timeout of `busyTimeout` ms).
HRESULT MakeCommand(std::unique_ptr<QARCAX::CaxCommand> command, unsigned long busyTimeout,
                    IQarCommand** object);

// --- errors ------------------------------------------------------------------------------------

// The server's own failure codes (QarAutomationError in the type library).
inline constexpr HRESULT kOtherFailure = static_cast<HRESULT>(0x80040200L);
inline constexpr HRESULT kLibraryFailure = static_cast<HRESULT>(0x80040201L);
inline constexpr HRESULT kNoAddIn = static_cast<HRESULT>(0x80040202L);
inline constexpr HRESULT kAddInNotLoaded = static_cast<HRESULT>(0x80040203L);

// Whether `value` reads as a failure HRESULT: severity bit set and reserved bit clear. -1, -255
// and the other small negative numbers of the library have the reserved bit set.
bool IsFailureHResult(long value);

// The HRESULT that reports a library operation's failure: its result when that is a failure
// HRESULT, else its status record's code when that is one, else the server's code for the code
// (-1, -255, a load status while connecting, anything else).
//   FailureResult(-1, -255, true) == kNoAddIn
HRESULT FailureResult(int result, int errorCode, bool connecting);

// Sets error information (description, source kProgId, interface `iid`) for the calling thread and
// returns `hr`. An empty `description` becomes the system's text for `hr`.
HRESULT Raise(HRESULT hr, const std::wstring& description, REFIID iid);

// `message` without its final line feed (LF or CR LF).
std::wstring WithoutFinalLineFeed(std::wstring message);

// Runs `body` (returning an HRESULT) so that no exception leaves it: an exception is raised as error
// information on interface `iid` (out of memory as E_OUTOFMEMORY, a COM error as its HRESULT,
// anything else as kOtherFailure).
HRESULT RaiseException(REFIID iid);
template <class Body>
HRESULT Guarded(REFIID iid, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return RaiseException(iid);
    }
}

// A text argument: a null BSTR is an empty text; embedded zeros are kept.
inline std::wstring Text(BSTR value) {
    return value != nullptr ? std::wstring(value, SysStringLen(value)) : std::wstring();
}

// --- busy policy ---------------------------------------------------------------------------------

// Sets the calling thread's busy timeout (the library's QARCAX::SetBusyTimeout) for one call of the
// server and gives the thread its previous value back afterwards, so that the host's own setting
// survives every call.
class BusyScope {
public:
    explicit BusyScope(unsigned long milliseconds);
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope();

private:
    unsigned long previous_ = 0;
};

}  // namespace qarauto
