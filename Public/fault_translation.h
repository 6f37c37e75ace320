// Turns machine faults, invalid runtime arguments and pure virtual calls into QARBASE::AR_Exception.
//
// The Microsoft compiler offers _set_se_translator for the first; GCC has no equivalent, so machine
// faults are translated by the frame that RunGuarded runs its body in (fault_guard_x64.S): a
// structured exception that no inner frame handles is thrown again as AR_Exception from the point of
// the fault, and the frames in between unwind normally. Outside guarded operations machine faults
// are left to the host. The invalid-parameter and pure-call handlers are process-wide settings of
// the C runtime and stay installed once InstallFaultHandlers has run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace qar {

// Installs the invalid-parameter and pure-call handlers; call before every guarded part. Machine
// faults need no installation: every guarded body runs in the translating frame.
void InstallFaultHandlers();

// Throws AR_Exception for a structured exception: its name, the low 32 bits of the fault address
// and the code, e.g. "EXCEPTION_ACCESS_VIOLATION\n address:\t0x00abcdef code:\t\t3221225477".
[[noreturn]] void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* info);

// Throws AR_Exception "Expression: <expression>" (cut to kFaultTextChars - 1 characters), or
// "call function error." when the runtime gives no expression.
[[noreturn]] void OnInvalidParameter(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                     unsigned int line, uintptr_t reserved);

// Throws AR_Exception "In _purecall_handler.".
[[noreturn]] void OnPureCall();

// The fault texts fit a buffer of this many characters, terminator included.
constexpr size_t kFaultTextChars = 600;

// Runs body(context) so that a structured exception no inner frame handles is thrown from the fault
// as AR_Exception. Used by RunGuarded; returns body's result.
int CallTranslatingFaults(int (*body)(void*), void* context);

}  // namespace qar
