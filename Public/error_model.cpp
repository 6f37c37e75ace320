#include "Public/error_model.h"

#include <windows.h>
#include <comdef.h>

#include "Public/owners.h"
#include "Public/caught_exception.h"
#include "Public/fault_translation.h"
#include "Public/text_helpers.h"

using qar::ComPtr;
using qar::UniqueBstr;

namespace QARBASE {

AR_Exception::AR_Exception(const std::wstring& message, const std::wstring& file,
                           const std::wstring& function, int line)
    : message(message), file(file), function(function), line(line), catchLine(0) {}

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

namespace detail {

// The guard's text for each kind of exception: the library's own and standard ones carry their text
// after the site's prefix; foreign types (and COM errors where the site does not tell them apart)
// are only "Unexpected error.".
int RunGuardedCall(const GuardSite& site, StatusRecord record, int (*body)(void*), void* context) {
    InstallFaultHandlers();
    try {
        return CallTranslatingFaults(body, context);
    } catch (...) {
        const CaughtException caught = DescribeCaughtException();
        std::wstring text;
        switch (caught.kind) {
            case CaughtException::Kind::ComError:
                if (site.catchesComError) {
                    text = site.prefix +
                           FormatBuffered(L"%s, %s", caught.description.c_str(), caught.source.c_str()) +
                           L'\n';
                }
                break;
            case CaughtException::Kind::Library:
                text = site.prefix + caught.description;
                break;
            case CaughtException::Kind::OutOfMemory:
            case CaughtException::Kind::Standard:
                text = site.prefix + caught.description + L'\n';
                break;
            case CaughtException::Kind::Unknown:
                break;
        }
        if (text.empty()) text = L"Unexpected error.\n";
        record.Fail(site.errorCode, std::move(text));
        return -1;
    }
}

}  // namespace detail

}  // namespace qar
