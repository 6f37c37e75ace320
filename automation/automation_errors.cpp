// The error protocol: which HRESULT a failure returns, and the error information that carries its
// message to every client language (EXCEPINFO through IDispatch, IErrorInfo early-bound).
#include <comdef.h>

#include <new>
#include <stdexcept>

#include "Public/text_helpers.h"
#include "automation/automation_server.h"

using qar::FormatString;
using qar::SystemMessageText;

namespace qarauto {

namespace {

constexpr int kLibraryCode = -1;          // the library's own failure
constexpr int kNoAddInCode = -255;        // the application gave no add-in object
constexpr int kConnectGuardCode = 18000;  // an exception caught by the connect sequence's guard

// An exception's text, in the system code page as the runtime writes it.
std::wstring AnsiText(const char* text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

}  // namespace

bool IsFailureHResult(long value) {
    const unsigned long bits = static_cast<unsigned long>(value);
    return (bits & 0x80000000UL) != 0 && (bits & 0x40000000UL) == 0;
}

HRESULT FailureResult(int result, int errorCode, bool connecting) {
    if (IsFailureHResult(result)) return result;
    if (IsFailureHResult(errorCode)) return errorCode;
    switch (errorCode) {
        case kLibraryCode:
            return kLibraryFailure;
        case kNoAddInCode:
            return kNoAddIn;
        case kConnectGuardCode:
        case 0:
            return kOtherFailure;
        default:
            // While connecting, only the add-in's load leaves a code of its own: the status the
            // application answered.
            return connecting ? kAddInNotLoaded : kOtherFailure;
    }
}

std::wstring WithoutFinalLineFeed(std::wstring message) {
    if (!message.empty() && message.back() == L'\n') message.pop_back();
    if (!message.empty() && message.back() == L'\r') message.pop_back();
    return message;
}

HRESULT Raise(HRESULT hr, const std::wstring& description, REFIID iid) {
    // Without memory for the error information the HRESULT alone still tells the failure.
    try {
        std::wstring text = WithoutFinalLineFeed(description);
        if (text.empty()) text = WithoutFinalLineFeed(SystemMessageText(static_cast<unsigned long>(hr)));
        if (text.empty()) text = FormatString(L"Failure 0x%08lX", static_cast<unsigned long>(hr));
        ComPtr<ICreateErrorInfo> create;
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(CreateErrorInfo(create.Put())) && SUCCEEDED(create->SetGUID(iid)) &&
            SUCCEEDED(create->SetSource(const_cast<LPOLESTR>(kProgId))) &&
            SUCCEEDED(create->SetDescription(const_cast<LPOLESTR>(text.c_str()))) &&
            SUCCEEDED(create.As(info))) {
            SetErrorInfo(0, info.Get());
        }
    } catch (...) {
    }
    return hr;
}

HRESULT RaiseException(REFIID iid) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return Raise(E_OUTOFMEMORY, L"", iid);
    } catch (const _com_error& error) {
        const _bstr_t description = error.Description();
        return Raise(error.Error(), description.length() > 0 ? static_cast<const wchar_t*>(description) : L"",
                     iid);
    } catch (const std::exception& error) {
        return Raise(kOtherFailure, AnsiText(error.what()), iid);
    } catch (...) {
        return Raise(kOtherFailure, L"Unexpected error.", iid);
    }
}

}  // namespace qarauto
