#include "Public/fault_translation.h"

#include <cstdlib>
#include <string>

#include "Public/crash_dump.h"
#include "Public/error_model.h"

namespace qar {

using QARBASE::AR_Exception;

namespace {

struct NamedCode {
    unsigned int code;
    const wchar_t* name;
};

// Names by code; the first three and the last are handler-return and limit constants rather than
// exception codes, and are matched all the same.
constexpr NamedCode kExceptionNames[] = {
    {0x00000000u, L"EXCEPTION_CONTINUE_SEARCH"},       {0x00000001u, L"EXCEPTION_EXECUTE_HANDLER"},
    {0x0000000Fu, L"EXCEPTION_MAXIMUM_PARAMETERS"},    {0x80000001u, L"EXCEPTION_GUARD_PAGE"},
    {0x80000002u, L"EXCEPTION_DATATYPE_MISALIGNMENT"}, {0x80000003u, L"EXCEPTION_BREAKPOINT"},
    {0x80000004u, L"EXCEPTION_SINGLE_STEP"},           {0xC0000005u, L"EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006u, L"EXCEPTION_IN_PAGE_ERROR"},         {0xC0000008u, L"EXCEPTION_INVALID_HANDLE"},
    {0xC000001Du, L"EXCEPTION_ILLEGAL_INSTRUCTION"},   {0xC0000025u, L"EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, L"EXCEPTION_INVALID_DISPOSITION"},   {0xC000008Cu, L"EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, L"EXCEPTION_FLT_DENORMAL_OPERAND"},  {0xC000008Eu, L"EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, L"EXCEPTION_FLT_INEXACT_RESULT"},    {0xC0000090u, L"EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091u, L"EXCEPTION_FLT_OVERFLOW"},          {0xC0000092u, L"EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093u, L"EXCEPTION_FLT_UNDERFLOW"},         {0xC0000094u, L"EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, L"EXCEPTION_INT_OVERFLOW"},          {0xC0000096u, L"EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FDu, L"EXCEPTION_STACK_OVERFLOW"},        {0xFFFFFFFFu, L"EXCEPTION_CONTINUE_EXECUTION"},
};

// Exceptions that GCC's own C++ exception machinery raises ('GCC' with the customer bit): a throw,
// an unwind and a forced unwind. They are never faults and pass through untouched, as does the
// Microsoft C++ exception code, which a foreign module may raise.
bool IsLanguageException(DWORD code) {
    return (code & 0xF0FFFFFFu) == 0x20474343u || code == 0xE06D7363u;
}

std::wstring Hex8(uint32_t value) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text(8, L'0');
    for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xF];
    return text;
}

// The text for a code without a name. "Structed" is misspelt on purpose: the text is frozen, because
// hosts and their support scripts have matched it since the first release.
constexpr const wchar_t* kUnnamedFaultText = L"unspecified Structed exception.";

// The name of a structured exception code as it starts the fault text.
const wchar_t* StructuredExceptionName(unsigned int code) {
    for (const NamedCode& entry : kExceptionNames) {
        if (entry.code == code) return entry.name;
    }
    return kUnnamedFaultText;
}

}  // namespace

// What the translating frame keeps of a fault until the resumed thread throws it. It lives in the
// guard's own frame, which stays alive while the faulting frames are unwound.
struct FaultSlot {
    CONTEXT context;
    EXCEPTION_RECORD record;
};

extern "C" {
int qar_call_translating_faults(int (*body)(void*), void* context, FaultSlot* slot);
void qar_fault_resume_rsp0();
void qar_fault_resume_rsp8();
EXCEPTION_DISPOSITION qar_fault_frame_handler(EXCEPTION_RECORD* record, void* establisherFrame,
                                              CONTEXT* context, void* dispatcherContext);
[[noreturn]] void qar_raise_translated_fault(FaultSlot* slot);
}

// Called by the system for a structured exception that reached the translating frame unhandled,
// before any frame is unwound. Only the search phase is handled here: C++ exceptions and unwinds
// pass through.
extern "C" EXCEPTION_DISPOSITION qar_fault_frame_handler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                         CONTEXT* context, void*) {
    if (record->ExceptionFlags & EXCEPTION_UNWIND) return ExceptionContinueSearch;
    if (IsLanguageException(record->ExceptionCode)) return ExceptionContinueSearch;
    // Unwinding needs stack that a stack overflow no longer has.
    if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW) return ExceptionContinueSearch;

    // The thread does not resume the faulting code but unwinds it, which a non-continuable exception
    // permits; without the flag cleared the dispatcher would refuse to resume anywhere.
    record->ExceptionFlags &= ~static_cast<DWORD>(EXCEPTION_NONCONTINUABLE);

    FaultSlot* slot = *reinterpret_cast<FaultSlot**>(static_cast<char*>(establisherFrame) + 32);
    slot->record = *record;
    slot->record.ExceptionRecord = nullptr;
    slot->context = *context;

    // Resume as if the faulting instruction had called the throwing entry. The unwinder reads the
    // faulting frame from a return address, which it looks up one byte back: pass the faulting
    // address plus one so that the lookup lands on the faulting instruction itself.
    context->R10 = context->Rip + 1;
    context->R11 = reinterpret_cast<DWORD64>(slot);
    context->Rip = (context->Rsp & 15) == 0 ? reinterpret_cast<DWORD64>(&qar_fault_resume_rsp0)
                                            : reinterpret_cast<DWORD64>(&qar_fault_resume_rsp8);
    return ExceptionContinueExecution;
}

extern "C" void qar_raise_translated_fault(FaultSlot* slot) {
    qar::OnMachineFault(slot->record, slot->context);
    EXCEPTION_POINTERS pointers{&slot->record, &slot->context};
    TranslateStructuredException(slot->record.ExceptionCode, &pointers);
}

int CallTranslatingFaults(int (*body)(void*), void* context) {
    FaultSlot slot;
    return qar_call_translating_faults(body, context, &slot);
}

void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD record = *info->ExceptionRecord;
    // The address is shown from its low 32 bits as 0x and eight digits. This text is composed here
    // rather than by wsprintfW("%#010x"), whose padding differs between runtimes.
    const uint32_t lowAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
    std::wstring text = StructuredExceptionName(code);
    text += L"\n address:\t0x" + Hex8(lowAddress) + L" code:\t\t" +
            std::to_wstring(static_cast<unsigned long>(record.ExceptionCode));
    if (text.size() > kFaultTextChars - 1) text.resize(kFaultTextChars - 1);
    throw AR_Exception(text, L"", L"", 0);
}

void OnInvalidParameter(const wchar_t* expression, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
    if (expression == nullptr) throw AR_Exception(L"call function error.", L"", L"", 0);
    std::wstring text = L"Expression: ";
    // Only what fits the fault-text buffer: an over-long expression is cut, never written past it.
    const size_t room = kFaultTextChars - 1 - text.size();
    text.append(expression, wcsnlen(expression, room));
    throw AR_Exception(text, L"", L"", 0);
}

void OnPureCall() {
    throw AR_Exception(L"In _purecall_handler.", L"", L"", 0);
}

namespace {

// The C runtime DLL's own handler setters. mingw's runtime keeps the handlers that its
// _set_invalid_parameter_handler / _set_purecall_handler receive to itself; events raised inside
// msvcrt.dll reach only handlers set through msvcrt.dll's exports, which newer Windows versions
// have (Wine's msvcrt has none).
template <class Handler>
void InstallInRuntimeDll(const char* setterName, Handler handler) {
    HMODULE runtime = GetModuleHandleW(L"msvcrt.dll");
    if (runtime == nullptr) return;
    FARPROC setter = GetProcAddress(runtime, setterName);
    if (setter == nullptr) return;
    using Setter = Handler(__cdecl*)(Handler);
    reinterpret_cast<Setter>(reinterpret_cast<void*>(setter))(handler);
}

}  // namespace

void InstallFaultHandlers() {
    // The handlers that these calls replace are not kept: nothing restores them.
    _set_invalid_parameter_handler(&OnInvalidParameter);
    InstallInRuntimeDll<_invalid_parameter_handler>("_set_invalid_parameter_handler", &OnInvalidParameter);
    _set_purecall_handler(&OnPureCall);
    InstallInRuntimeDll<_purecall_handler>("_set_purecall_handler", &OnPureCall);
}

// GCC sends calls of pure virtual functions here instead of to the runtime's _purecall. Call the
// installed pure-call handler; without one, end as a pure call in Microsoft-compiled code would.
extern "C" __declspec(dllimport) int __cdecl _purecall(void);
extern "C" void __cxa_pure_virtual() {
    // The runtime has no getter for this handler: read it by setting it back.
    const _purecall_handler handler = _set_purecall_handler(nullptr);
    _set_purecall_handler(handler);
    if (handler != nullptr) handler();
    _purecall();
    std::abort();
}

}  // namespace qar
