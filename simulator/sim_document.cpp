// Documents backed by real files, and the enumerator over an application's open documents.
#include <new>
#include <set>

#include "sim_internal.h"

namespace qarsim {
namespace {

// A document file is read whole; anything larger is not a file this simulation wrote or ships.
constexpr LONGLONG kMaxDocumentBytes = 16 * 1024 * 1024;

std::wstring Upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(chars, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], chars);
    return out;
}

std::wstring FullPathOf(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (length == 0) return std::wstring();
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

HRESULT ReadWholeFile(const std::wstring& path, std::string& content) {
    const qar::UniqueHandle owned(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!owned) return HRESULT_FROM_WIN32(GetLastError());
    const HANDLE file = owned.Get();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return HRESULT_FROM_WIN32(GetLastError());
    if (size.QuadPart > kMaxDocumentBytes) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
    content.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!content.empty() &&
        (!ReadFile(file, &content[0], static_cast<DWORD>(content.size()), &read, nullptr) ||
         read != content.size())) {
        return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    }
    return S_OK;
}

// The components a document file lists: each line "component <path>", the path absolute or relative to
// the document's folder. Each component is listed once, in the order of its first line.
std::vector<std::wstring> ParseComponents(const std::string& content, const std::wstring& folder) {
    std::vector<std::wstring> components;
    std::set<std::wstring> seen;
    size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t");
        const size_t last = line.find_last_not_of(" \t\r");
        if (first == std::string::npos) continue;
        line = line.substr(first, last - first + 1);
        static const std::string kKeyword = "component ";
        if (line.compare(0, kKeyword.size(), kKeyword) != 0) continue;
        std::wstring path = FromUtf8(line.substr(line.find_first_not_of(' ', kKeyword.size())));
        const bool absolute = path.size() >= 2 && (path[1] == L':' || (path[0] == L'\\' && path[1] == L'\\'));
        path = FullPathOf(absolute ? path : folder + L"\\" + path);
        if (!path.empty() && seen.insert(Upper(path)).second) components.push_back(std::move(path));
    }
    return components;
}

class Enumerator final : public Counted, public IEnumCaxDocuments {
public:
    Enumerator(long instance, std::vector<Held<Document>> documents, size_t position)
        : Counted(Kind::Enumerator),
          instance_(instance),
          documents_(std::move(documents)),
          position_(position) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && iid != __uuidof(IEnumCaxDocuments)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        *out = static_cast<IEnumCaxDocuments*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefCounted(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseCounted(); }

    HRESULT STDMETHODCALLTYPE Next(LONG count, ICaxDocument** document, LONG* fetched) override {
        if (document == nullptr) return E_POINTER;
        *document = nullptr;
        if (fetched != nullptr) *fetched = 0;
        bool null = false;
        HRESULT hr =
            Simulation::Get().Enter(instance_, L"IEnumCaxDocuments.Next", std::to_wstring(count), &null);
        if (FAILED(hr)) return hr;
        // One document per call: a larger count would need an array the declaration cannot carry.
        if (count != 1) return E_INVALIDARG;
        if (position_ >= documents_.size()) return S_FALSE;
        Document* next = documents_[position_++].Get();
        if (null) return S_OK;
        next->AddRef();
        *document = next;
        if (fetched != nullptr) *fetched = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Skip(LONG count) override {
        HRESULT hr = Simulation::Get().Enter(instance_, L"IEnumCaxDocuments.Skip", std::to_wstring(count));
        if (FAILED(hr)) return hr;
        if (count < 0) return E_INVALIDARG;
        const size_t left = documents_.size() - position_;
        position_ += static_cast<size_t>(count) < left ? static_cast<size_t>(count) : left;
        return static_cast<size_t>(count) <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        HRESULT hr = Simulation::Get().Enter(instance_, L"IEnumCaxDocuments.Reset", L"");
        if (SUCCEEDED(hr)) position_ = 0;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumCaxDocuments** copy) override {
        if (copy == nullptr) return E_POINTER;
        *copy = nullptr;
        bool null = false;
        HRESULT hr = Simulation::Get().Enter(instance_, L"IEnumCaxDocuments.Clone", L"", &null);
        if (FAILED(hr) || null) return hr;
        return CreateEnumerator(instance_, documents_, position_, copy);
    }

private:
    long instance_;
    std::vector<Held<Document>> documents_;
    size_t position_;
};

}  // namespace

long DocumentTypeOfPath(const std::wstring& path) {
    const size_t dot = path.find_last_of(L".\\");
    if (dot == std::wstring::npos || path[dot] != L'.') return 0;
    const std::wstring extension = Upper(path.substr(dot + 1));
    if (extension == L"SLDPRT") return 1;
    if (extension == L"SLDASM") return 2;
    if (extension == L"SLDDRW") return 3;
    return 0;
}

HRESULT Document::Open(long instance, const std::wstring& path, long type, Held<Document>& document) {
    const std::wstring fullPath = FullPathOf(path);
    if (path.empty() || fullPath.empty()) return E_INVALIDARG;
    // The application opens a file only as the type its extension names.
    if (type != DocumentTypeOfPath(fullPath)) return E_INVALIDARG;
    std::string content;
    HRESULT hr = ReadWholeFile(fullPath, content);
    if (FAILED(hr)) return hr;
    Held<Document> opened = Held<Document>::Adopt(new (std::nothrow) Document(instance, fullPath));
    if (!opened) return E_OUTOFMEMORY;
    opened->name_ = FileNameOf(fullPath);
    opened->components_ =
        ParseComponents(content, fullPath.substr(0, fullPath.size() - opened->name_.size() - 1));
    opened->content_ = std::move(content);
    document = std::move(opened);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Document::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(ICaxDocument)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    *out = static_cast<ICaxDocument*>(this);
    AddRef();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Document::NameText(BSTR* name) {
    if (name == nullptr) return E_POINTER;
    *name = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ICaxDocument.NameText", L"", &null);
    if (FAILED(hr) || null) return hr;
    *name = UniqueBstr::Copy(name_).Release();
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE Document::FullPath(BSTR* path) {
    if (path == nullptr) return E_POINTER;
    *path = nullptr;
    bool null = false;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ICaxDocument.FullPath", L"", &null);
    if (FAILED(hr) || null) return hr;
    *path = UniqueBstr::Copy(path_).Release();
    return *path != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE Document::PrepareClose() {
    return Simulation::Get().Enter(instance_, L"ICaxDocument.PrepareClose", L"");
}

HRESULT STDMETHODCALLTYPE Document::Save(VARIANT_BOOL silent, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 1;
    HRESULT hr = Simulation::Get().Enter(instance_, L"ICaxDocument.Save", std::to_wstring(silent));
    if (FAILED(hr)) return hr;
    if (closed_) return E_UNEXPECTED;  // a closed document has nothing to save
    HANDLE file =
        CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    DWORD written = 0;
    const BOOL ok = content_.empty() ||
                    WriteFile(file, content_.data(), static_cast<DWORD>(content_.size()), &written, nullptr);
    const DWORD error = GetLastError();
    const BOOL closed = CloseHandle(file);
    if (!ok || written != content_.size() || !closed)
        return HRESULT_FROM_WIN32(ok ? ERROR_WRITE_FAULT : error);
    *result = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Document::Dependencies(VARIANT_BOOL option1, VARIANT_BOOL option2, LONG option3,
                                                 VARIANT* list) {
    if (list == nullptr) return E_POINTER;
    VariantInit(list);
    bool null = false;
    Simulation& simulation = Simulation::Get();
    HRESULT hr = simulation.Enter(
        instance_, L"ICaxDocument.Dependencies",
        std::to_wstring(option1) + L", " + std::to_wstring(option2) + L", " + std::to_wstring(option3),
        &null);
    if (FAILED(hr) || null) return hr;
    if (simulation.TakeDependencies(list, hr)) return hr;
    // Pairs of (file name, full path): even positions the name, odd positions the path.
    const size_t count = components_.size() * 2;
    if (count > 0x7FFFFFFF) return E_OUTOFMEMORY;
    UniqueSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(count)));
    if (!array) return E_OUTOFMEMORY;
    for (size_t i = 0; i < components_.size(); ++i) {
        const std::wstring pair[2] = {FileNameOf(components_[i]), components_[i]};
        for (int k = 0; k < 2; ++k) {
            UniqueBstr element = UniqueBstr::Copy(pair[k]);
            if (!element) return E_OUTOFMEMORY;
            LONG index = static_cast<LONG>(2 * i + k);
            // SafeArrayPutElement stores a copy of the string.
            hr = SafeArrayPutElement(array.Get(), &index, element.Get());
            if (FAILED(hr)) return hr;
        }
    }
    V_VT(list) = VT_ARRAY | VT_BSTR;
    V_ARRAY(list) = array.Release();
    return S_OK;
}

HRESULT CreateEnumerator(long instance, const std::vector<Held<Document>>& documents, size_t position,
                         IEnumCaxDocuments** enumerator) {
    Enumerator* created = new (std::nothrow) Enumerator(instance, documents, position);
    if (created == nullptr) return E_OUTOFMEMORY;
    *enumerator = created;  // the creator's reference goes to the caller
    return S_OK;
}

}  // namespace qarsim
