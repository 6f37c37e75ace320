#include "sim_registration.h"

#include <cwchar>

#include "Public/cad_interfaces.h"
#include "Public/owners.h"
#include "Public/registry_key.h"
#include "simulator/sim_control.h"

using qar::ComPtr;
using qar::RegistryKey;

namespace qarsim {
namespace {

// The mark of a per-user and of a machine-wide registration. The installation keys are machine-wide
// in both cases, so one key may carry both marks; it goes when the last one is removed.
constexpr const wchar_t* kUserMark = L"QarCadSimulator.User";
constexpr const wchar_t* kMachineMark = L"QarCadSimulator.Machine";
const wchar_t* MarkOf(bool machine) {
    return machine ? kMachineMark : kUserMark;
}
constexpr const wchar_t* kTypeLibMarshaler = L"{00020424-0000-0000-C000-000000000046}";
constexpr const wchar_t* kInstallationsKey = L"SOFTWARE\\SolidWorks";
constexpr const wchar_t* kProgIdPrefix = L"SldWorks.Application.";
// ProgID numbers of the years 2000 to 2099: the range unregistration looks through.
constexpr int kFirstProgIdNumber = 8, kLastProgIdNumber = 107;

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

// One key that registration owns, with its default text and other text values. A key is written
// with its parent path created as needed; only the listed key carries the mark.
struct OwnedKey {
    HKEY root;
    std::wstring path;
    std::wstring defaultText;
    std::vector<std::pair<std::wstring, std::wstring>> subKeyDefaults;  // subkey -> default text
    std::vector<std::pair<std::wstring, std::wstring>> values;          // value name -> text
};

bool Exists(HKEY root, const std::wstring& path) {
    RegistryKey key;
    return key.Open(root, path, KEY_READ) == ERROR_SUCCESS;
}

bool Marked(HKEY root, const std::wstring& path, const wchar_t* mark) {
    RegistryKey key;
    return key.Open(root, path, KEY_READ) == ERROR_SUCCESS &&
           RegQueryValueExW(key.Get(), mark, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}
bool MarkedByAny(HKEY root, const std::wstring& path) {
    return Marked(root, path, kUserMark) || Marked(root, path, kMachineMark);
}

// Removes this registration's mark from the key, and the key with its subkeys when no registration
// is left marking it.
LONG RemoveMarked(HKEY root, const std::wstring& path, const wchar_t* mark) {
    {
        RegistryKey key;
        LONG status = key.Open(root, path, KEY_ALL_ACCESS);
        if (status == ERROR_SUCCESS) status = RegDeleteValueW(key.Get(), mark);
        if (status != ERROR_SUCCESS) return status;
    }
    return MarkedByAny(root, path) ? ERROR_SUCCESS : RegDeleteTreeW(root, path.c_str());
}

HKEY ClassesRoot(bool machine, RegistryKey& holder) {
    const LONG status =
        holder.Create(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, L"Software\\Classes", KEY_ALL_ACCESS);
    return status == ERROR_SUCCESS ? holder.Get() : nullptr;
}

// The identifiers of the two type libraries, read from this program's own resources so that they
// cannot drift from the IDL.
struct Libraries {
    GUID cad = GUID_NULL, control = GUID_NULL;
};

bool LibraryId(const std::wstring& program, const wchar_t* resource, GUID& id) {
    ComPtr<ITypeLib> library;
    if (FAILED(LoadTypeLibEx((program + L"\\" + resource).c_str(), REGKIND_NONE, library.Put())))
        return false;
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes))) return false;
    id = attributes->guid;
    library->ReleaseTLibAttr(attributes);
    return true;
}

bool LoadLibraries(const std::wstring& program, Libraries& libraries) {
    return LibraryId(program, L"1", libraries.cad) && LibraryId(program, L"2", libraries.control);
}

struct InterfaceEntry {
    IID iid;
    const wchar_t* name;
    GUID library;
};

std::vector<InterfaceEntry> Interfaces(const Libraries& libraries) {
    const GUID cad = libraries.cad, control = libraries.control;
    return {{__uuidof(ISldWorks), L"ISldWorks", cad},
            {__uuidof(IFrame), L"IFrame", cad},
            {__uuidof(ICaxDocument), L"ICaxDocument", cad},
            {__uuidof(IEnumCaxDocuments), L"IEnumCaxDocuments", cad},
            {__uuidof(ISwAddIn), L"ISwAddIn", cad},
            {__uuidof(ISimControl), L"ISimControl", control}};
}

// Every key that registration writes.
std::vector<OwnedKey> OwnedKeys(HKEY classes, const std::wstring& program, const Libraries& ids,
                                const RegistrationOptions& options) {
    std::vector<OwnedKey> keys;
    const std::wstring clsid = GuidText(kApplicationClass);
    keys.push_back({classes,
                    L"CLSID\\" + clsid,
                    L"Simulated CAD application",
                    {{L"LocalServer32", L"\"" + program + L"\""}},
                    {}});
    for (const std::wstring& version : options.versions) {
        keys.push_back(
            {classes, ProgIdOfVersion(version), L"Simulated CAD application", {{L"CLSID", clsid}}, {}});
        keys.push_back({HKEY_LOCAL_MACHINE, std::wstring(kInstallationsKey) + L"\\" + version, L"", {}, {}});
    }
    const std::pair<GUID, std::wstring> libraries[] = {{ids.cad, L"1"}, {ids.control, L"2"}};
    for (const auto& [library, resource] : libraries) {
        keys.push_back({classes,
                        L"TypeLib\\" + GuidText(library),
                        L"",
                        {{L"1.0", L"Simulated CAD application"},
                         {L"1.0\\0\\win64", program + L"\\" + resource},
                         {L"1.0\\FLAGS", L"0"},
                         {L"1.0\\HELPDIR", L""}},
                        {}});
    }
    for (const InterfaceEntry& entry : Interfaces(ids)) {
        keys.push_back({classes,
                        L"Interface\\" + GuidText(entry.iid),
                        entry.name,
                        {{L"ProxyStubClsid32", kTypeLibMarshaler}, {L"TypeLib", GuidText(entry.library)}},
                        {}});
    }
    return keys;
}

LONG WriteKey(const OwnedKey& owned, const std::wstring& program, const wchar_t* mark) {
    RegistryKey key;
    LONG status = key.Create(owned.root, owned.path, KEY_ALL_ACCESS);
    if (status == ERROR_SUCCESS && !owned.defaultText.empty())
        status = key.SetText(nullptr, owned.defaultText);
    if (status == ERROR_SUCCESS) status = key.SetText(mark, program);
    for (const auto& [name, text] : owned.subKeyDefaults) {
        RegistryKey sub;
        if (status == ERROR_SUCCESS) status = sub.Create(key.Get(), name, KEY_ALL_ACCESS);
        if (status == ERROR_SUCCESS) status = sub.SetText(nullptr, text);
    }
    // The typelib marshaler finds the interface's type library by its version too.
    if (status == ERROR_SUCCESS && owned.path.rfind(L"Interface\\", 0) == 0) {
        RegistryKey typeLib;
        status = typeLib.Open(key.Get(), L"TypeLib", KEY_ALL_ACCESS);
        if (status == ERROR_SUCCESS) status = typeLib.SetText(L"Version", L"1.0");
    }
    return status;
}

}  // namespace

std::wstring ProgIdOfVersion(const std::wstring& version) {
    if (version.size() < 4) return std::wstring();
    const std::wstring year = version.substr(version.size() - 4);
    if (year.find_first_not_of(L"0123456789") != std::wstring::npos) return std::wstring();
    const int number = _wtoi(year.c_str()) - 1992;
    if (number < kFirstProgIdNumber || number > kLastProgIdNumber) return std::wstring();
    return kProgIdPrefix + std::to_wstring(number);
}

LONG Register(const std::wstring& program, const RegistrationOptions& options, std::wstring& message) {
    for (const std::wstring& version : options.versions) {
        if (ProgIdOfVersion(version).empty() || version.find(L'\\') != std::wstring::npos) {
            message = L"not a version name ending in a year 2000-2099: " + version;
            return ERROR_INVALID_PARAMETER;
        }
    }
    RegistryKey classesKey;
    HKEY classes = ClassesRoot(options.machine, classesKey);
    if (classes == nullptr) {
        message = L"cannot open the classes key";
        return ERROR_ACCESS_DENIED;
    }
    Libraries ids;
    if (!LoadLibraries(program, ids)) {
        message = L"cannot read the type libraries of " + program;
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    const std::vector<OwnedKey> keys = OwnedKeys(classes, program, ids, options);
    // First check everything, so that a foreign key stops registration before it wrote anything.
    for (const OwnedKey& key : keys) {
        if (Exists(key.root, key.path) && !MarkedByAny(key.root, key.path)) {
            message = L"key exists and belongs to another program: " + key.path;
            return ERROR_ALREADY_EXISTS;
        }
    }
    const wchar_t* mark = MarkOf(options.machine);
    if (!Exists(HKEY_LOCAL_MACHINE, kInstallationsKey) ||
        MarkedByAny(HKEY_LOCAL_MACHINE, kInstallationsKey)) {
        RegistryKey installations;
        LONG status = installations.Create(HKEY_LOCAL_MACHINE, kInstallationsKey, KEY_ALL_ACCESS);
        if (status == ERROR_SUCCESS) status = installations.SetText(mark, program);
        if (status != ERROR_SUCCESS) {
            message = L"cannot write HKEY_LOCAL_MACHINE\\" + std::wstring(kInstallationsKey);
            return status;
        }
    }
    // The machine-wide installation keys first: they need administrator rights on Windows, and a
    // registration that cannot write them stops before it wrote any class.
    for (bool installations : {true, false}) {
        for (const OwnedKey& key : keys) {
            if ((key.root == HKEY_LOCAL_MACHINE) != installations) continue;
            const LONG status = WriteKey(key, program, mark);
            if (status != ERROR_SUCCESS) {
                message = L"cannot write " + key.path;
                return status;
            }
        }
    }
    return ERROR_SUCCESS;
}

LONG Unregister(const std::wstring& program, const RegistrationOptions& options, std::wstring& message) {
    Libraries ids;
    if (!LoadLibraries(program, ids)) {
        message = L"cannot read the type libraries of " + program;
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    RegistryKey classesKey;
    HKEY classes = ClassesRoot(options.machine, classesKey);
    if (classes == nullptr) {
        message = L"cannot open the classes key";
        return ERROR_ACCESS_DENIED;
    }
    std::vector<std::pair<HKEY, std::wstring>> candidates;
    candidates.push_back({classes, L"CLSID\\" + GuidText(kApplicationClass)});
    for (int number = kFirstProgIdNumber; number <= kLastProgIdNumber; ++number) {
        candidates.push_back({classes, kProgIdPrefix + std::to_wstring(number)});
    }
    candidates.push_back({classes, L"TypeLib\\" + GuidText(ids.cad)});
    candidates.push_back({classes, L"TypeLib\\" + GuidText(ids.control)});
    for (const InterfaceEntry& entry : Interfaces(ids))
        candidates.push_back({classes, L"Interface\\" + GuidText(entry.iid)});
    {
        RegistryKey installations;
        if (installations.Open(HKEY_LOCAL_MACHINE, kInstallationsKey, KEY_READ) == ERROR_SUCCESS) {
            std::wstring name;
            for (DWORD index = 0; installations.SubKeyName(index, name) == ERROR_SUCCESS; ++index) {
                candidates.push_back({HKEY_LOCAL_MACHINE, std::wstring(kInstallationsKey) + L"\\" + name});
            }
        }
    }
    const wchar_t* mark = MarkOf(options.machine);
    LONG result = ERROR_SUCCESS;
    for (const auto& [root, path] : candidates) {
        if (!Marked(root, path, mark)) continue;
        const LONG status = RemoveMarked(root, path, mark);
        if (status != ERROR_SUCCESS) {
            message = L"cannot delete " + path;
            result = status;
        }
    }
    // The installations key: this registration's mark goes; the key itself only when no version and no
    // other registration's mark is left in it.
    if (Marked(HKEY_LOCAL_MACHINE, kInstallationsKey, mark)) {
        DWORD subKeys = 1;
        {
            RegistryKey installations;
            if (installations.Open(HKEY_LOCAL_MACHINE, kInstallationsKey, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
                RegDeleteValueW(installations.Get(), mark);
                RegQueryInfoKeyW(installations.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
            }
        }
        if (subKeys == 0 && !MarkedByAny(HKEY_LOCAL_MACHINE, kInstallationsKey)) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kInstallationsKey);
        }
    }
    return result;
}

}  // namespace qarsim
