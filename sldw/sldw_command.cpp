#include "sldw/sldw_command.h"

#include <shlwapi.h>

#include <unordered_set>

#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"
#include "Public/text_helpers.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"

using QARBASE::HResultError;

namespace QARCAX {

namespace {

// The add-in's ProgID as the probe asks the application for it.
constexpr wchar_t kAddInProgId[] = L"BrivexSw18.BrivexSw18";

UniqueBstr BstrCopy(const std::wstring& text) {
    UniqueBstr copy = UniqueBstr::Copy(text);
    if (!copy) throw HResultError(E_OUTOFMEMORY);
    return copy;
}

// The text after the last `separator`, or all of `text` when it has none.
std::wstring TextAfterLast(const std::wstring& text, wchar_t separator) {
    const size_t at = text.rfind(separator);
    return at == std::wstring::npos ? text : text.substr(at + 1);
}

// The active document; a success without a document counts as kNoDocument.
HRESULT ActiveDocument(ISldWorks* app, ComPtr<ICaxDocument>& document) {
    const HRESULT hr = app->ActiveDocument(document.Put());
    if (FAILED(hr)) return hr;
    return document ? hr : kNoDocument;
}

}  // namespace

SldwCommand::SldwCommand(const ConnectionRecord* info) {
    if (info == nullptr) return;
    connection = *info;
    if (connection.appObject != nullptr) {
        static_cast<IUnknown*>(connection.appObject)
            ->QueryInterface(IID_ISldWorks, reinterpret_cast<void**>(swApp.Put()));
    }
}

SldwCommand::~SldwCommand() {
    // A destructor must not throw; "Disconnect" reports only through the status record anyway.
    try {
        Disconnect();
    } catch (...) {
    }
}

void SldwCommand::Disconnect() {
    InvokeByName(addIn.Get(), L"Disconnect", errorCode, errorMessage);
}

bool SldwCommand::IsConnected() {
    if (!swApp) return false;
    VARIANT_BOOL visible = VARIANT_FALSE;
    HRESULT hr = S_OK;
    try {
        hr = swApp->get_Visible(&visible);
    } catch (...) {
        hr = S_OK;  // an exception does not decide the probe; the next call does
    }
    if (FAILED(hr)) return false;
    const UniqueBstr progId = BstrCopy(kAddInProgId);
    ComPtr<IDispatch> object;
    try {
        hr = swApp->AddInObject(progId.Get(), object.Put());
    } catch (...) {
        hr = S_FALSE;
    }
    return SUCCEEDED(hr);
}

int SldwCommand::CreateMenu(const std::wstring& arg) {
    return InvokeByName(addIn.Get(), L"CreateMenu", arg, errorCode, errorMessage);
}

int SldwCommand::RefreshTable(const std::wstring& arg1, const std::wstring& arg2) {
    return InvokeByName(addIn.Get(), L"RefreshTable", arg1, arg2, errorCode, errorMessage);
}

int SldwCommand::UpdateTable(const std::wstring& arg1, const std::wstring& arg2) {
    return InvokeByName(addIn.Get(), L"UpdateTable", arg1, arg2, errorCode, errorMessage);
}

int SldwCommand::RecordFailure(const wchar_t* operation, unsigned id, HRESULT hr) {
    std::wstring message = std::wstring(L"QARCAX::SldwCommand::") + operation + L"():" +
                           FormatString(LoadLocalizedString(id).c_str(), ComErrorMessage(hr).c_str());
    errorCode = -1;
    errorMessage.swap(message);
    return -1;
}

int SldwCommand::OpenFile(const std::wstring& path) {
    const UniqueBstr file = BstrCopy(path);
    if (!PathFileExistsW(path.c_str())) {
        std::wstring text = GetLastErrorText();
        errorCode = -1;
        errorMessage.swap(text);
        return -1;
    }
    if (swApp) {
        CloseSameNamedDocuments(path);
        try {
            ComPtr<ICaxDocument> document;
            const HRESULT hr = swApp->OpenDocument(file.Get(), command_detail::DocumentType(path), document.Put());
            if (SUCCEEDED(hr) && document) {
                document.Reset();
                ComPtr<IDispatch> activated;
                swApp->ActivateDocument(file.Get(), activated.Put());
                return 0;
            }
        } catch (...) {
            // ends as a refused open below
        }
    }
    std::wstring text = LoadLocalizedString(IDS_OPEN_FAILED);
    errorCode = -1;
    errorMessage.swap(text);
    return -1;
}

int SldwCommand::CloseSameNamedDocuments(const std::wstring& path) {
    try {
        const std::wstring name = TextAfterLast(path, L'\\');
        ComPtr<IEnumCaxDocuments> documents;
        {
            ComPtr<ICaxDocument> active;
            if (swApp->ActiveDocument(active.Put()) != S_OK) return 0;
            swApp->EnumDocuments(documents.Put());
        }
        if (!documents) return 0;
        for (;;) {
            ComPtr<ICaxDocument> document;
            LONG fetched = 0;
            if (documents->Next(1, document.Put(), &fetched) != S_OK) break;
            if (!document) continue;  // a success without a document: nothing to compare
            UniqueBstr documentPath;
            document->FullPath(documentPath.Put());
            if (TextAfterLast(documentPath.CStr(), L'\\') == name) {
                document->PrepareClose();
                swApp->CloseDocument(documentPath.Get());
            }
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

int SldwCommand::CloseFile() {
    ComPtr<ICaxDocument> document;
    UniqueBstr name;
    HRESULT hr = swApp ? ActiveDocument(swApp.Get(), document) : kNoApplication;
    if (SUCCEEDED(hr)) hr = document->NameText(name.Put());
    if (SUCCEEDED(hr)) hr = swApp->CloseDocument(name.Get());
    if (SUCCEEDED(hr)) return 0;
    return RecordFailure(L"CloseFile", IDS_CLOSE_FAILED, hr);
}

int SldwCommand::SaveFile(std::wstring& savedPath) {
    savedPath.clear();
    ComPtr<ICaxDocument> document;
    HRESULT hr = swApp ? ActiveDocument(swApp.Get(), document) : kNoApplication;
    if (SUCCEEDED(hr)) {
        LONG saved = 0;
        hr = document->Save(VARIANT_TRUE, &saved);
    }
    if (FAILED(hr)) return RecordFailure(L"SaveFile", IDS_SAVE_FAILED, hr);
    UniqueBstr path;
    document->FullPath(path.Put());
    savedPath = path.CStr();
    return 0;
}

int SldwCommand::GetDependencies(std::wstring& dependencies) {
    dependencies.clear();
    if (!swApp) return RecordFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, kNoApplication);
    ComPtr<ICaxDocument> document;
    HRESULT hr = ActiveDocument(swApp.Get(), document);
    if (!document) return RecordFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, hr);
    UniqueVariant list;
    hr = document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Ptr());
    if (FAILED(hr)) return RecordFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, hr);
    if (!command_detail::DependencyList(list.Get(), dependencies)) {
        return RecordFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, kNoArray);
    }
    return 0;
}

namespace command_detail {

long DocumentType(const std::wstring& path) {
    const std::wstring extension = TextAfterLast(path, L'.');
    const wchar_t* const kTypes[] = {L"SLDPRT", L"SLDASM", L"SLDDRW"};
    for (long type = 1; type <= 3; ++type) {
        if (CompareStringOrdinal(extension.c_str(), static_cast<int>(extension.size()), kTypes[type - 1], -1,
                                 TRUE) == CSTR_EQUAL) {
            return type;
        }
    }
    return 0;
}

namespace {

// Element `index` of a string vector as text up to its first NUL; "" for a null string, a
// non-string element or an index the array refuses.
std::wstring ElementText(SAFEARRAY* array, VARTYPE type, LONG index) {
    if (type == VT_BSTR) {
        UniqueBstr element;
        if (FAILED(SafeArrayGetElement(array, &index, element.Put()))) return std::wstring();
        return element.CStr();
    }
    UniqueVariant element;
    if (FAILED(SafeArrayGetElement(array, &index, element.Ptr())) || element.Get().vt != VT_BSTR) {
        return std::wstring();
    }
    return element.Get().bstrVal != nullptr ? element.Get().bstrVal : L"";
}

}  // namespace

bool DependencyList(const VARIANT& value, std::wstring& list) {
    list.clear();
    const VARTYPE type = static_cast<VARTYPE>(value.vt & ~VT_ARRAY);
    LONG lower = 0, count = 0;
    if ((value.vt & VT_ARRAY) == 0 || (type != VT_BSTR && type != VT_VARIANT) ||
        !UniqueSafeArray::IsVector(value.parray, type, lower, count)) {
        return false;
    }
    // `framed` is "|" + list + "|" once the list has an entry, so that the rule's substring test
    // can run on it directly. `pieces` holds every "|"-separated piece of the list: a string without
    // "|" occurs framed in it exactly when it is one of them. Only strings that contain "|" need the
    // substring search itself.
    std::wstring framed;
    std::unordered_set<std::wstring> pieces;
    for (LONG index = 1; index < count; index += 2) {
        std::wstring element = ElementText(value.parray, type, index);
        if (element.empty()) continue;
        const bool plain = element.find(L'|') == std::wstring::npos;
        if (!framed.empty()) {
            const bool present =
                plain ? pieces.count(element) != 0 : framed.find(L"|" + element + L"|") != std::wstring::npos;
            if (present) continue;
        } else {
            framed = L"|";
        }
        framed += element;
        framed += L'|';
        if (plain) {
            pieces.insert(std::move(element));
        } else {
            for (size_t start = 0;;) {
                const size_t end = element.find(L'|', start);
                pieces.insert(element.substr(start, end - start));
                if (end == std::wstring::npos) break;
                start = end + 1;
            }
        }
    }
    if (!framed.empty()) list.assign(framed, 1, framed.size() - 2);
    return true;
}

}  // namespace command_detail

}  // namespace QARCAX
