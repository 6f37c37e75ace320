#include "Public/caught_exception.h"

#include <comdef.h>

#include <exception>
#include <new>

#include "Public/error_model.h"
#include "Public/owners.h"

namespace qar {

std::wstring AnsiToWide(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (count <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], count);
    wide.resize(static_cast<size_t>(count - 1));
    return wide;
}

CaughtException DescribeCaughtException() {
    CaughtException caught;
    try {
        throw;
    } catch (const _com_error& error) {
        caught.kind = CaughtException::Kind::ComError;
        caught.hr = error.Error();
        if (IErrorInfo* raw = error.ErrorInfo()) {
            const ComPtr<IErrorInfo> info = ComPtr<IErrorInfo>::Adopt(raw);  // ErrorInfo() added a reference
            UniqueBstr description, source;
            info->GetDescription(description.Put());
            info->GetSource(source.Put());
            caught.description = description.CStr();
            caught.source = source.CStr();
        }
    } catch (const QARBASE::AR_Exception& exception) {
        caught.kind = CaughtException::Kind::Library;
        caught.description = exception.Text();
    } catch (const std::bad_alloc& exception) {
        caught.kind = CaughtException::Kind::OutOfMemory;
        caught.hr = E_OUTOFMEMORY;
        caught.description = AnsiToWide(exception.what());
    } catch (const std::exception& exception) {
        caught.kind = CaughtException::Kind::Standard;
        caught.description = AnsiToWide(exception.what());
    } catch (const QARBASE::HResultError& error) {
        caught.hr = error.Result();
    } catch (...) {
    }
    return caught;
}

}  // namespace qar
