#include "sldw/sldw_command.h"

#include <shlwapi.h>

#include <string_view>
#include <vector>

#include "Public/busy_retry.h"
#include "Public/dispatch_invoke.h"
#include "Public/error_model.h"
#include "Public/text_helpers.h"
#include "Public/host_call.h"
#include "sldw/busy_note.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"

namespace qar {

namespace {

// The host calls of a command: unguarded (their exceptions reach the host), with the busy note.
constexpr HostCall Operation(const wchar_t* name) {
    return {"command", name, nullptr, &BusyNoteText};
}
const HostCall kDisconnect = Operation(L"QARCAX::SldwCommand::Disconnect");
const HostCall kIsConnected = Operation(L"QARCAX::SldwCommand::IsConnected");
const HostCall kCreateMenu = Operation(L"QARCAX::SldwCommand::CreateMenu");
const HostCall kRefreshTable = Operation(L"QARCAX::SldwCommand::RefreshTable");
const HostCall kUpdateTable = Operation(L"QARCAX::SldwCommand::UpdateTable");
const HostCall kOpenFile = Operation(L"QARCAX::SldwCommand::OpenFile");
const HostCall kCloseFile = Operation(L"QARCAX::SldwCommand::CloseFile");
const HostCall kSaveFile = Operation(L"QARCAX::SldwCommand::SaveFile");
const HostCall kGetDependencies = Operation(L"QARCAX::SldwCommand::GetDependencies");

// The add-in's ProgID as the probe asks the application for it.
constexpr wchar_t kAddInProgId[] = L"BrivexSw18.BrivexSw18";

// The text after the last `separator`, or all of `text` when it has none.
std::wstring TextAfterLast(const std::wstring& text, wchar_t separator) {
    const size_t at = text.rfind(separator);
    return at == std::wstring::npos ? text : text.substr(at + 1);
}

// The active document; a success without a document counts as kNoDocument.
HRESULT ActiveDocument(ISldWorks* app, ComPtr<ICaxDocument>& document) {
    const HRESULT hr =
        RetryWhileBusy("ISldWorks.ActiveDocument", [&] { return app->ActiveDocument(document.Put()); });
    if (FAILED(hr)) return hr;
    return document ? hr : kNoDocument;
}

}  // namespace

SldwCommand::SldwCommand(const QARCAX::ConnectionRecord* info, ComPtr<ISldWorks> app, ComPtr<ISwAddIn> addIn)
    : swApp(std::move(app)), addIn(std::move(addIn)) {
    if (info != nullptr) connection = *info;
    RegisterOwner(this, {GetCurrentThreadId(), S_OK});
}

SldwCommand::~SldwCommand() {
    const ScopeExit forget([this] { ForgetOwner(this); });
    if (!OnOwnerThread(this)) {
        addIn.Detach();
        swApp.Detach();
        return;
    }
    // A destructor must not throw; "Disconnect" reports only through the status record anyway.
    try {
        Disconnect();
    } catch (...) {
    }
}

void SldwCommand::Disconnect() {
    Run(kDisconnect, [&] { return InvokeByName(addIn.Get(), L"Disconnect", Record(), &addInIds); });
}

bool SldwCommand::IsConnected() {
    bool connected = false;
    Run(kIsConnected, [&] {
        connected = Probe();
        return 0;
    });
    return connected;
}

bool SldwCommand::Probe() {
    if (!swApp) return false;
    VARIANT_BOOL visible = VARIANT_FALSE;
    HRESULT hr = S_OK;
    try {
        hr = RetryWhileBusy("ISldWorks.get_Visible", [&] { return swApp->get_Visible(&visible); });
    } catch (...) {
        hr = S_OK;  // an exception does not decide the probe; the next call does
    }
    if (FAILED(hr)) return false;
    const UniqueBstr progId = MakeBstr(kAddInProgId);
    ComPtr<IDispatch> object;
    try {
        hr = RetryWhileBusy("ISldWorks.AddInObject",
                            [&] { return swApp->AddInObject(progId.Get(), object.Put()); });
    } catch (...) {
        hr = S_FALSE;
    }
    return SUCCEEDED(hr);
}

int SldwCommand::CreateMenu(const std::wstring& arg) {
    return Run(kCreateMenu,
               [&] { return InvokeByName(addIn.Get(), L"CreateMenu", arg, Record(), &addInIds); });
}

int SldwCommand::RefreshTable(const std::wstring& arg1, const std::wstring& arg2) {
    return Run(kRefreshTable,
               [&] { return InvokeByName(addIn.Get(), L"RefreshTable", arg1, arg2, Record(), &addInIds); });
}

int SldwCommand::UpdateTable(const std::wstring& arg1, const std::wstring& arg2) {
    return Run(kUpdateTable,
               [&] { return InvokeByName(addIn.Get(), L"UpdateTable", arg1, arg2, Record(), &addInIds); });
}

int SldwCommand::DocumentFailure(const wchar_t* operation, unsigned id, HRESULT hr) {
    return Record().Fail(-1, std::wstring(L"QARCAX::SldwCommand::") + operation + L"():" +
                                 FormatString(LoadLocalizedString(id).c_str(), ComErrorMessage(hr).c_str()));
}

int SldwCommand::OpenFile(const std::wstring& path) {
    return Run(kOpenFile, [&] { return Open(path); });
}

int SldwCommand::Open(const std::wstring& path) {
    const UniqueBstr file = MakeBstr(path);
    if (!PathFileExistsW(path.c_str())) {
        return Record().Fail(-1, GetLastErrorText());
    }
    if (swApp) {
        CloseSameNamedDocuments(path);
        try {
            ComPtr<ICaxDocument> document;
            const HRESULT hr = RetryWhileBusy("ISldWorks.OpenDocument", [&] {
                return swApp->OpenDocument(file.Get(), detail::DocumentType(path), document.Put());
            });
            if (SUCCEEDED(hr) && document) {
                document.Reset();
                ComPtr<IDispatch> activated;
                // Activation is a courtesy: the document is open, and its operations find it either way.
                static_cast<void>(RetryWhileBusy("ISldWorks.ActivateDocument", [&] {
                    return swApp->ActivateDocument(file.Get(), activated.Put());
                }));
                return 0;
            }
        } catch (...) {
            // ends as a refused open below
        }
    }
    return Record().Fail(-1, LoadLocalizedString(IDS_OPEN_FAILED));
}

int SldwCommand::CloseSameNamedDocuments(const std::wstring& path) {
    try {
        const std::wstring name = TextAfterLast(path, L'\\');
        ComPtr<IEnumCaxDocuments> documents;
        {
            ComPtr<ICaxDocument> active;
            if (RetryWhileBusy("ISldWorks.ActiveDocument",
                               [&] { return swApp->ActiveDocument(active.Put()); }) != S_OK)
                return 0;
            // A failure leaves no enumerator: nothing to close (below).
            static_cast<void>(RetryWhileBusy("ISldWorks.EnumDocuments",
                                             [&] { return swApp->EnumDocuments(documents.Put()); }));
        }
        if (!documents) return 0;
        for (;;) {
            ComPtr<ICaxDocument> document;
            LONG fetched = 0;
            if (RetryWhileBusy("IEnumCaxDocuments.Next",
                               [&] { return documents->Next(1, document.Put(), &fetched); }) != S_OK)
                break;
            if (!document) continue;  // a success without a document: nothing to compare
            UniqueBstr documentPath;
            // A failure leaves no path, which names no document.
            static_cast<void>(RetryWhileBusy("ICaxDocument.FullPath",
                                             [&] { return document->FullPath(documentPath.Put()); }));
            if (TextAfterLast(documentPath.CStr(), L'\\') == name) {
                // Closing before an open is a best effort: a document that stays open is opened over.
                static_cast<void>(
                    RetryWhileBusy("ICaxDocument.PrepareClose", [&] { return document->PrepareClose(); }));
                static_cast<void>(RetryWhileBusy("ISldWorks.CloseDocument",
                                                 [&] { return swApp->CloseDocument(documentPath.Get()); }));
            }
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

int SldwCommand::CloseFile() {
    return Run(kCloseFile, [&] { return Close(); });
}

int SldwCommand::Close() {
    ComPtr<ICaxDocument> document;
    UniqueBstr name;
    HRESULT hr = swApp ? ActiveDocument(swApp.Get(), document) : kNoApplication;
    if (SUCCEEDED(hr))
        hr = RetryWhileBusy("ICaxDocument.NameText", [&] { return document->NameText(name.Put()); });
    if (SUCCEEDED(hr))
        hr = RetryWhileBusy("ISldWorks.CloseDocument", [&] { return swApp->CloseDocument(name.Get()); });
    if (SUCCEEDED(hr)) return 0;
    return DocumentFailure(L"CloseFile", IDS_CLOSE_FAILED, hr);
}

int SldwCommand::SaveFile(std::wstring& savedPath) {
    return Run(kSaveFile, [&] { return Save(savedPath); });
}

int SldwCommand::Save(std::wstring& savedPath) {
    savedPath.clear();
    ComPtr<ICaxDocument> document;
    HRESULT hr = swApp ? ActiveDocument(swApp.Get(), document) : kNoApplication;
    if (SUCCEEDED(hr)) {
        LONG saved = 0;
        hr = RetryWhileBusy("ICaxDocument.Save", [&] { return document->Save(VARIANT_TRUE, &saved); });
    }
    if (FAILED(hr)) return DocumentFailure(L"SaveFile", IDS_SAVE_FAILED, hr);
    UniqueBstr path;
    // The document is saved; a path the application does not tell is left empty.
    static_cast<void>(
        RetryWhileBusy("ICaxDocument.FullPath", [&] { return document->FullPath(path.Put()); }));
    savedPath = path.CStr();
    return 0;
}

int SldwCommand::GetDependencies(std::wstring& dependencies) {
    return Run(kGetDependencies, [&] { return ListDependencies(dependencies); });
}

int SldwCommand::ListDependencies(std::wstring& dependencies) {
    dependencies.clear();
    if (!swApp) return DocumentFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, kNoApplication);
    ComPtr<ICaxDocument> document;
    HRESULT hr = ActiveDocument(swApp.Get(), document);
    if (!document) return DocumentFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, hr);
    UniqueVariant list;
    hr = RetryWhileBusy("ICaxDocument.Dependencies",
                        [&] { return document->Dependencies(VARIANT_TRUE, VARIANT_TRUE, 0, list.Put()); });
    if (FAILED(hr)) return DocumentFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, hr);
    if (!detail::DependencyList(list.Get(), dependencies)) {
        return DocumentFailure(L"GetDependencies", IDS_DEPENDENCIES_FAILED, kNoArray);
    }
    return 0;
}

namespace detail {

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

// Holds a SAFEARRAY's data in place while its elements are read: a lock taken, given back by
// SafeArrayUnlock.
using ArrayLock = qar::UniqueAny<SAFEARRAY*, qar::NullMeansNone<SAFEARRAY*, SafeArrayUnlock>>;

ArrayLock LockArray(SAFEARRAY* array) {
    return ArrayLock(SUCCEEDED(SafeArrayLock(array)) ? array : nullptr);
}

// The characters of a string element up to its first NUL; empty for a null string.
std::wstring_view StringText(BSTR text) {
    return text != nullptr ? std::wstring_view(text, wcsnlen(text, SysStringLen(text))) : std::wstring_view();
}

// A set of non-empty string views with open addressing in one block: no allocation per entry and
// few pages touched, which matters for lists of 100,000 names. The views must outlive the set.
class ViewSet {
public:
    explicit ViewSet(size_t expected) { Rehash(expected); }
    void Insert(std::wstring_view text) {
        if (text.empty()) return;
        if (2 * (size_ + 1) > slots_.size()) Rehash(size_ + 1);
        std::wstring_view& slot = slots_[Find(text)];
        if (slot.data() != nullptr) return;
        slot = text;
        ++size_;
    }
    bool Contains(std::wstring_view text) const { return slots_[Find(text)].data() != nullptr; }

private:
    // The slot holding `text`, or the free slot (null view) where it belongs.
    size_t Find(std::wstring_view text) const {
        const size_t mask = slots_.size() - 1;
        size_t at = std::hash<std::wstring_view>()(text) & mask;
        while (slots_[at].data() != nullptr && slots_[at] != text) at = (at + 1) & mask;
        return at;
    }
    // Room for at least 2 * `entries` slots (a power of two), keeping what is there.
    void Rehash(size_t entries) {
        size_t count = 16;
        while (count < 2 * entries) count *= 2;
        std::vector<std::wstring_view> old(count);
        old.swap(slots_);
        for (const std::wstring_view& text : old) {
            if (text.data() != nullptr) slots_[Find(text)] = text;
        }
    }
    std::vector<std::wstring_view> slots_;
    size_t size_ = 0;
};

// Whether "|" + text + "|" occurs in "|" + list + "|": `text` found where a "|" or an end of `list`
// lies on both sides.
bool OccursFramed(const std::wstring& list, std::wstring_view text) {
    for (size_t at = list.find(text.data(), 0, text.size()); at != std::wstring::npos;
         at = list.find(text.data(), at + 1, text.size())) {
        const size_t end = at + text.size();
        if ((at == 0 || list[at - 1] == L'|') && (end == list.size() || list[end] == L'|')) return true;
    }
    return false;
}

}  // namespace

bool DependencyList(const VARIANT& value, std::wstring& list) {
    list.clear();
    const VARTYPE type = static_cast<VARTYPE>(value.vt & ~VT_ARRAY);
    LONG lower = 0, count = 0;
    if ((value.vt & VT_ARRAY) == 0 || (type != VT_BSTR && type != VT_VARIANT) ||
        !UniqueSafeArray::IsVector(value.parray, type, lower, count) ||
        value.parray->cbElements != (type == VT_BSTR ? sizeof(BSTR) : sizeof(VARIANT))) {
        return false;
    }
    const ArrayLock lock = LockArray(value.parray);
    if (!lock) return false;
    // The elements are read in place, not copied: while the array is locked its strings stay put, so
    // views of them serve as the keys below. An index outside the bounds reads as an empty element,
    // as a refused element fetch would.
    const auto element = [&](LONG index) -> std::wstring_view {
        const long long offset = static_cast<long long>(index) - lower;
        if (offset < 0 || offset >= count) return std::wstring_view();
        if (type == VT_BSTR) return StringText(static_cast<BSTR*>(value.parray->pvData)[offset]);
        const VARIANT& item = static_cast<const VARIANT*>(value.parray->pvData)[offset];
        return item.vt == VT_BSTR ? StringText(item.bstrVal) : std::wstring_view();
    };

    // Room for the longest possible list up front: growing it step by step would copy it and touch
    // fresh pages each time. Pages of the reserve that the list never reaches are never touched.
    size_t longest = 0;
    for (LONG index = 1; index < count; index += 2) longest += element(index).size() + 1;
    list.reserve(longest);

    // `pieces` holds every "|"-separated piece of the list: a string without "|" occurs framed in
    // the list exactly when it is one of them. Only strings that contain "|" need the text search.
    ViewSet pieces(static_cast<size_t>(count / 2) + 1);
    for (LONG index = 1; index < count; index += 2) {
        const std::wstring_view text = element(index);
        if (text.empty()) continue;
        const bool plain = text.find(L'|') == std::wstring_view::npos;
        if (!list.empty()) {
            if (plain ? pieces.Contains(text) : OccursFramed(list, text)) continue;
            list += L'|';
        }
        list += text;
        for (size_t start = 0;;) {
            const size_t end = text.find(L'|', start);
            pieces.Insert(text.substr(start, end == std::wstring_view::npos ? end : end - start));
            if (end == std::wstring_view::npos) break;
            start = end + 1;
        }
    }
    return true;
}

}  // namespace detail

}  // namespace qar
