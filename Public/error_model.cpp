#include "Public/error_model.h"

#include <windows.h>
#include <comdef.h>

#include "Public/owners.h"
#include "Public/fault_translation.h"
#include "Public/text_helpers.h"

using qar::ComPtr;
using qar::UniqueBstr;

namespace QARBASE {

AR_Exception::AR_Exception(const std::wstring& message, const std::wstring& file,
                           const std::wstring& function, int line)
    : message(message), file(file), function(function), line(line), catchLine(0) {}

AR_Exception::~AR_Exception() = default;

std::wstring AR_Exception::Text() const {
    std::wstring text;
    text.reserve(4096);
    text += message;
    text += L'\n';
    return text;
}

}  // namespace QARBASE

using QARBASE::AR_Exception;

namespace qar {

UniqueBstr MakeBstr(const std::wstring& text) {
    UniqueBstr copy = UniqueBstr::Copy(text);
    if (!copy) throw QARBASE::HResultError(E_OUTOFMEMORY);
    return copy;
}

UniqueBstr MakeBstr(const wchar_t* text) {
    UniqueBstr copy(SysAllocString(text));
    if (!copy) throw QARBASE::HResultError(E_OUTOFMEMORY);
    return copy;
}

std::wstring AnsiToWide(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (count <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], count);
    wide.resize(static_cast<size_t>(count - 1));
    return wide;
}

namespace {

// "<description>, <source>" of a COM error; a missing part counts as "".
std::wstring ComErrorText(const _com_error& error) {
    UniqueBstr description;
    UniqueBstr source;
    if (IErrorInfo* raw = error.ErrorInfo()) {
        ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::Adopt(raw);  // ErrorInfo() added a reference
        info->GetDescription(description.Put());
        info->GetSource(source.Put());
    }
    return FormatBuffered(L"%s, %s", description.CStr(), source.CStr());
}

AR_Exception AtSite(AR_Exception exception, const GuardSite& site) {
    exception.catchFile = site.file;
    exception.catchFunction = site.function;
    exception.catchLine = site.line;
    return exception;
}

AR_Exception Unexpected(const GuardSite& site) {
    return AtSite(AR_Exception(L"Unexpected error.", site.file, site.function, site.line), site);
}

int Record(const GuardSite& site, const AR_Exception& exception, bool withPrefix, int& errorCode,
           std::wstring& errorMessage) {
    qar::RecordFailure(errorCode, errorMessage, site.errorCode,
                       withPrefix ? site.prefix + exception.Text() : exception.Text());
    return -1;
}

}  // namespace

namespace detail {

int RunGuardedCall(const GuardSite& site, int& errorCode, std::wstring& errorMessage, int (*body)(void*),
                   void* context) {
    InstallFaultHandlers();
    try {
        return CallTranslatingFaults(body, context);
    } catch (const _com_error& error) {
        // Sites without a clause of their own for COM errors treat them as any other foreign type.
        if (!site.catchesComError) return Record(site, Unexpected(site), false, errorCode, errorMessage);
        const AR_Exception exception(ComErrorText(error), site.file, site.function, site.line);
        return Record(site, AtSite(exception, site), true, errorCode, errorMessage);
    } catch (AR_Exception& exception) {
        // The thrower's location stays; only where it was caught is added.
        exception.catchFile = site.file;
        exception.catchFunction = site.function;
        exception.catchLine = site.line;
        return Record(site, exception, true, errorCode, errorMessage);
    } catch (const std::exception& exception) {
        const AR_Exception converted(AnsiToWide(exception.what()), site.file, site.function, site.line);
        return Record(site, AtSite(converted, site), true, errorCode, errorMessage);
    } catch (...) {
        return Record(site, Unexpected(site), false, errorCode, errorMessage);
    }
}

}  // namespace detail

}  // namespace qar
