// The error protocol: which HRESULT a failure returns, and the error information that carries its
// message to every client language (EXCEPINFO through IDispatch, IErrorInfo early-bound).
#include "Public/caught_exception.h"
#include "Public/error_model.h"
#include "Public/text_helpers.h"
#include "automation_server.h"

using qar::FormatString;
using qar::SystemMessageText;

namespace qarauto {

namespace {

constexpr int kLibraryCode = -1;  // the library's own failure

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
        case qar::kNoAddInObjectCode:
            return kNoAddIn;
        case qar::kConnectGuardCode:
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
    qar::CaughtException caught;
    try {
        caught = qar::DescribeCaughtException();
    } catch (...) {
        return Raise(E_OUTOFMEMORY, L"", iid);  // no memory to describe it
    }
    switch (caught.kind) {
        case qar::CaughtException::Kind::OutOfMemory:
            return Raise(E_OUTOFMEMORY, L"", iid);
        case qar::CaughtException::Kind::ComError:
            return Raise(caught.hr, caught.description, iid);
        case qar::CaughtException::Kind::Library:
        case qar::CaughtException::Kind::Standard:
            return Raise(kOtherFailure, caught.description, iid);
        case qar::CaughtException::Kind::Unknown:
            break;
    }
    return Raise(kOtherFailure, L"Unexpected error.", iid);
}

}  // namespace qarauto
