#include "registration.h"

#include <olectl.h>

#include <algorithm>
#include <vector>

#include "Public/registry_key.h"
#include "automation_server.h"

namespace qarauto {
namespace {

using qar::RegistryKey;

constexpr wchar_t kMark[] = L"QarSldwAutomation";
constexpr wchar_t kTypeLibMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kClassName[] = L"QarSldw Connector";

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = L"";
    StringFromGUID2(guid, text, 40);
    return text;
}

// One text value: in `subKey` of an owned key ("" = the key itself), named `name` (null = default).
struct Entry {
    const wchar_t* subKey;
    const wchar_t* name;
    std::wstring text;
};
struct OwnedKey {
    std::wstring path;  // below the classes key
    std::vector<Entry> entries;
};

constexpr wchar_t kClasses[] = L"Software\\Classes\\";

std::vector<OwnedKey> OwnedKeys(const std::wstring& modulePath) {
    const std::wstring clsid = GuidText(CLSID_Connector), library = GuidText(LIBID_QarSldwAutomation);
    const std::wstring folder = modulePath.substr(0, modulePath.find_last_of(L'\\') + 1);
    std::vector<OwnedKey> keys = {
        {L"CLSID\\" + clsid,
         {{L"", nullptr, kClassName},
          {L"InprocServer32", nullptr, modulePath},
          {L"InprocServer32", L"ThreadingModel", L"Apartment"},
          {L"ProgID", nullptr, kVersionedProgId},
          {L"VersionIndependentProgID", nullptr, kProgId},
          {L"TypeLib", nullptr, library},
          {L"Version", nullptr, L"1.0"}}},
        {kVersionedProgId, {{L"", nullptr, kClassName}, {L"CLSID", nullptr, clsid}}},
        {kProgId,
         {{L"", nullptr, kClassName}, {L"CLSID", nullptr, clsid}, {L"CurVer", nullptr, kVersionedProgId}}},
        {L"TypeLib\\" + library,
         {{L"1.0", nullptr, L"QarSldwAutomation"},
          {L"1.0\\0\\win64", nullptr, modulePath},
          {L"1.0\\FLAGS", nullptr, L"0"},
          {L"1.0\\HELPDIR", nullptr, folder}}},
    };
    for (const auto& [iid, name] :
         {std::pair{IID_IQarConnector, L"IQarConnector"}, {IID_IQarCommand, L"IQarCommand"}}) {
        keys.push_back({L"Interface\\" + GuidText(iid),
                        {{L"", nullptr, name},
                         {L"ProxyStubClsid32", nullptr, kTypeLibMarshaler},
                         {L"TypeLib", nullptr, library},
                         {L"TypeLib", L"Version", L"1.0"}}});
    }
    return keys;
}

HKEY Root(Scope scope) {
    return scope == Scope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

bool Exists(HKEY root, const std::wstring& path) {
    return RegistryKey().Open(root, path, KEY_READ) == ERROR_SUCCESS;
}

bool Marked(HKEY root, const std::wstring& path) {
    RegistryKey key;
    return key.Open(root, path, KEY_READ) == ERROR_SUCCESS &&
           RegQueryValueExW(key.Get(), kMark, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// The paths of the keys above `path` (not `path` itself), outermost first: "a\\b\\c" -> a, a\\b.
std::vector<std::wstring> Ancestors(const std::wstring& path) {
    std::vector<std::wstring> ancestors;
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        ancestors.push_back(path.substr(0, at));
    }
    return ancestors;
}

// Creates root\path, marking each key on the way that did not exist yet, and the key itself.
LONG CreateMarked(HKEY root, const std::wstring& path, const std::wstring& modulePath, RegistryKey& key) {
    std::vector<std::wstring> chain = Ancestors(path);
    chain.push_back(path);
    for (const std::wstring& step : chain) {
        HKEY created = nullptr;
        DWORD disposition = 0;
        LONG status = RegCreateKeyExW(root, step.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &created, &disposition);
        if (status != ERROR_SUCCESS) return status;
        key.Reset(created);
        if (disposition == REG_CREATED_NEW_KEY || step == path) status = key.SetText(kMark, modulePath);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

LONG WriteKey(HKEY root, const OwnedKey& owned, const std::wstring& modulePath) {
    RegistryKey key;
    LONG status = CreateMarked(root, kClasses + owned.path, modulePath, key);
    for (const Entry& entry : owned.entries) {
        RegistryKey sub;
        if (status == ERROR_SUCCESS && *entry.subKey != L'\0')
            status = sub.Create(key.Get(), entry.subKey, KEY_ALL_ACCESS);
        if (status == ERROR_SUCCESS)
            status = (*entry.subKey != L'\0' ? sub : key).SetText(entry.name, entry.text);
    }
    return status;
}

// Deletes a marked key above the owned ones once the mark is all that is left in it.
LONG DeleteIfOnlyMarked(HKEY root, const std::wstring& path) {
    DWORD subKeys = 1, values = 0;
    {
        RegistryKey key;
        if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return ERROR_SUCCESS;
        const LONG status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                             &values, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return status;
    }
    return subKeys == 0 && values == 1 ? RegDeleteKeyW(root, path.c_str()) : ERROR_SUCCESS;
}

}  // namespace

HRESULT Register(Scope scope, const std::wstring& modulePath) {
    const HKEY root = Root(scope);
    const std::vector<OwnedKey> keys = OwnedKeys(modulePath);
    // Everything is checked first, so that another program's key stops registration before it wrote
    // anything.
    for (const OwnedKey& key : keys) {
        if (Exists(root, kClasses + key.path) && !Marked(root, kClasses + key.path)) return SELFREG_E_CLASS;
    }
    for (const OwnedKey& key : keys) {
        const LONG status = WriteKey(root, key, modulePath);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    }
    return S_OK;
}

HRESULT Unregister(Scope scope) {
    const HKEY root = Root(scope);
    LONG result = ERROR_SUCCESS;
    std::vector<std::wstring> above;
    for (const OwnedKey& key : OwnedKeys(ModulePath())) {
        const std::wstring path = kClasses + key.path;
        if (Marked(root, path)) {
            const LONG status = RegDeleteTreeW(root, path.c_str());
            if (status != ERROR_SUCCESS) result = status;
        }
        for (const std::wstring& ancestor : Ancestors(path)) above.push_back(ancestor);
    }
    // Innermost first, each once: a key goes only after the keys below it.
    std::sort(above.begin(), above.end(), [](const std::wstring& a, const std::wstring& b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    above.erase(std::unique(above.begin(), above.end()), above.end());
    for (const std::wstring& path : above) {
        if (!Marked(root, path)) continue;
        const LONG status = DeleteIfOnlyMarked(root, path);
        if (status != ERROR_SUCCESS) result = status;
    }
    return HRESULT_FROM_WIN32(result);
}

}  // namespace qarauto
