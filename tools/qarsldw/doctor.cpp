#include "doctor.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <QarSldwInterface.h>

#include "Public/add_in_names.h"
#include "Public/registry_key.h"
#include "Public/text_helpers.h"
#include "Public/version_choice.h"
#include "sldw/localized_messages.h"
#include "inventory.h"
#include "module_info.h"
#include "session.h"

using qar::CCaxVersion;
using qar::ChosenVersion;
using qar::CreateCaxVersion;
using qar::FormatString;
using qar::InstalledVersions;
using qar::ProgIdOf;
using qar::ReadUtf16File;
using qar::StoredCurrentVersion;

namespace qarsldw {

namespace {

constexpr int kSolidWorks = 3;
constexpr const wchar_t* kLibraryName = L"QarSldwInterface_x64.dll";
constexpr const wchar_t* kAutomationProgId = L"QarSldw.Connector";
constexpr const wchar_t* kAutomationName = L"QarSldwAutomation_x64.dll";
// Where the MSI package records its installation (InstallDir with its final backslash, Version).
constexpr const wchar_t* kInstallRecord = L"Software\\QarSldwInterface";
// How long a running instance gets to answer the doctor before it counts as busy or hung.
constexpr unsigned long kAnswerMs = 3000;

enum class Status { Ok, Warning, Failure };

// Writes one check as "ok       name: detail" (with "fix: ..." below a problem) or as a JSON object,
// and counts warnings; failures count through the reporter.
class Doctor {
public:
    explicit Doctor(Reporter& report) : report_(report) {}

    void Check(const std::wstring& name, Status status, const std::wstring& detail,
               const std::wstring& fix = L"") {
        const wchar_t* word = status == Status::Ok        ? L"ok"
                              : status == Status::Warning ? L"warning"
                                                          : L"failure";
        Result result;
        result.json.Add(L"check", name).Add(L"status", word).Add(L"detail", detail);
        if (!fix.empty()) result.json.Add(L"fix", fix);
        result.text = std::wstring(word) + std::wstring(9 - wcslen(word), L' ') + name + L": " + detail;
        if (!fix.empty()) result.text += L"\n         fix: " + fix;
        result.failed = status == Status::Failure;
        if (status == Status::Warning) ++warnings_;
        report_.Write(result);
    }
    int Finish() {
        Result summary;
        summary.json.Add(L"check", L"summary")
            .Add(L"failures", report_.Failures())
            .Add(L"warnings", warnings_);
        summary.text =
            std::to_wstring(report_.Failures()) + L" failed, " + std::to_wstring(warnings_) + L" warnings";
        report_.Write(summary);
        return report_.ExitCode();
    }

private:
    Reporter& report_;
    int warnings_ = 0;
};

std::wstring LanguageName(LANGID language) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = L"";
    if (LCIDToLocaleName(MAKELCID(language, SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) == 0) {
        return FormatString(L"0x%04X", language);
    }
    return name;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The text of value `name` of HKEY_CLASSES_ROOT\<path>, "" when there is none.
std::wstring ClassesText(const std::wstring& path, const wchar_t* name = nullptr) {
    qar::RegistryKey key;
    std::wstring text;
    if (key.Open(HKEY_CLASSES_ROOT, path, KEY_READ) == ERROR_SUCCESS) key.QueryText(name, text);
    return text;
}

// The server registered for `progId`, "" when none is: the path of the class's `serverKey` value,
// quoted or up to its first switch.
std::wstring RegisteredServer(const std::wstring& progId, const wchar_t* serverKey) {
    CLSID clsid = CLSID_NULL;
    if (FAILED(CLSIDFromProgID(progId.c_str(), &clsid))) return std::wstring();
    wchar_t clsidText[40] = L"";
    StringFromGUID2(clsid, clsidText, 40);
    std::wstring command = ClassesText(std::wstring(L"CLSID\\") + clsidText + L"\\" + serverKey);
    if (!command.empty() && command[0] == L'"') return command.substr(1, command.find(L'"', 1) - 1);
    for (const wchar_t* cut : {L" /", L" -"}) command = command.substr(0, command.find(cut));
    return command;
}

// What is wrong with a language file for the add-in, "" when nothing is: UTF-16LE with its mark and
// an XML declaration that names an encoding.
std::wstring LanguageFileProblem(const std::wstring& path) {
    std::string bytes;
    std::wstring error;
    if (!FileExists(path)) return L"missing";
    if (!ReadAll(path, bytes, error)) return error;
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        return L"not UTF-16 (it does not start with the mark FF FE)";
    }
    std::wstring text;
    ReadUtf16File(path, text);
    const size_t declarationEnd = text.find(L"?>");
    if (text.compare(0, 5, L"<?xml") != 0 || declarationEnd == std::wstring::npos ||
        text.substr(0, declarationEnd).find(L"encoding=") == std::wstring::npos) {
        return L"its XML declaration names no encoding";
    }
    return std::wstring();
}

// 1. The library this program loaded; its path, "" when it is not loaded.
std::wstring CheckLibrary(Doctor& doctor) {
    const HMODULE library = GetModuleHandleW(kLibraryName);
    if (library == nullptr) {
        doctor.Check(L"library", Status::Failure, std::wstring(kLibraryName) + L" is not loaded",
                     L"reinstall the library beside qarsldw.exe");
        return std::wstring();
    }
    const std::wstring path = qar::ModuleFileName(library);
    doctor.Check(L"library", Status::Ok, L"loaded " + path);
    return path;
}

// 1a. The library's and the automation server's file versions (the registered server, else the one
// beside the library): one release installs both, so different versions are a warning.
void CheckFileVersions(Doctor& doctor, const std::wstring& libraryPath) {
    const std::wstring registered = RegisteredServer(kAutomationProgId, L"InprocServer32");
    const std::wstring server =
        FileExists(registered) ? registered : qar::detail::BesideModule(libraryPath, kAutomationName);
    const std::wstring library = FileVersionText(libraryPath);
    std::wstring detail = std::wstring(kLibraryName) + L" " + (library.empty() ? L"(no version)" : library);
    if (!FileExists(server)) {
        doctor.Check(L"file versions", Status::Ok, detail + L"; no automation server");
        return;
    }
    const std::wstring automation = FileVersionText(server);
    detail +=
        std::wstring(L", ") + kAutomationName + L" " + (automation.empty() ? L"(no version)" : automation);
    if (library.empty() || library != automation) {
        doctor.Check(L"file versions", Status::Warning, detail + L": they differ",
                     L"install the library and the automation server of one release together");
    } else {
        doctor.Check(L"file versions", Status::Ok, detail);
    }
}

// 1b. Where the library lies in this process and where its file asks to lie: a fault address in a
// status record (its low 32 bits) minus the load address's low 32 bits is the offset into the module,
// and the image base plus that offset is the address addr2line and gdb take with the debug files
// (README, "Symbols"). Windows places a DLL at one address for all processes of a boot session when it
// can, so a host's address usually matches this one; Wine loads it at its image base when that is free.
void CheckLoadAddress(Doctor& doctor, const std::wstring& libraryPath) {
    const auto loaded = reinterpret_cast<ULONGLONG>(GetModuleHandleW(kLibraryName));
    doctor.Check(L"load address", Status::Ok,
                 std::wstring(kLibraryName) + L" at " + AddressText(loaded) + L" (image base " +
                     AddressText(PreferredImageBase(libraryPath)) + L")");
}

// The folder of a module path, with its final backslash.
std::wstring FolderOf(const std::wstring& path) {
    return qar::detail::BesideModule(path, L"");
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// 1c. The package installation this library belongs to, if any: true when the package's record names
// the library's folder.
bool CheckInstallation(Doctor& doctor, const std::wstring& libraryPath) {
    const std::wstring folder = FolderOf(libraryPath);
    qar::RegistryKey record;
    std::wstring installDir, version;
    if (record.Open(HKEY_LOCAL_MACHINE, kInstallRecord, KEY_READ | KEY_WOW64_64KEY) != ERROR_SUCCESS ||
        !record.QueryText(L"InstallDir", installDir)) {
        doctor.Check(L"installation", Status::Ok, L"no package installation recorded; files in " + folder);
        return false;
    }
    record.QueryText(L"Version", version);
    if (!SameFolder(installDir, folder)) {
        doctor.Check(
            L"installation", Status::Warning,
            L"QarSldwInterface " + version + L" is installed in " + installDir + L", not in " + folder,
            L"run qarsldw.exe from " + installDir + L", or remove this copy");
        return false;
    }
    doctor.Check(L"installation", Status::Ok, L"QarSldwInterface " + version + L" in " + installDir);
    return true;
}

// 2. The library's string tables: one in the user's language, else English.
void CheckMessages(Doctor& doctor, const Options& options) {
    const LANGID user = options.lang.empty() ? GetUserDefaultUILanguage()
                                             : LANGIDFROMLCID(LocaleNameToLCID(options.lang.c_str(), 0));
    std::wstring names;
    bool hasUser = false, hasEnglish = false;
    for (LANGID language : qar::detail::StringTableLanguages(GetModuleHandleW(kLibraryName))) {
        names += (names.empty() ? L"" : L", ") + LanguageName(language);
        hasUser = hasUser || language == user;
        hasEnglish = hasEnglish || language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    }
    if (hasUser) {
        doctor.Check(
            L"messages", Status::Ok,
            L"string table in the user's language " + LanguageName(user) + L" (tables: " + names + L")");
    } else if (hasEnglish) {
        doctor.Check(
            L"messages", Status::Warning,
            L"no string table in the user's language " + LanguageName(user) + L"; messages come in English",
            L"use one of " + names + L" as display language, or --lang");
    } else {
        doctor.Check(L"messages", Status::Failure, L"the library carries no string table",
                     L"reinstall the library: this file is not a complete build");
    }
}

// 3. The installed versions per family and the current one.
void CheckVersions(Doctor& doctor) {
    for (int type = 1; type <= 3; ++type) {
        const std::unique_ptr<CCaxVersion> family(CreateCaxVersion(type));
        const std::vector<std::wstring> installed = InstalledVersions(*family);
        const std::wstring stored = StoredCurrentVersion(*family);
        std::wstring list;
        for (const std::wstring& version : installed) list += (list.empty() ? L"" : L", ") + version;
        std::wstring detail = family->GetCaxName() + L": " + (installed.empty() ? L"none installed" : list);
        if (!stored.empty()) detail += L"; current " + stored;
        if (!stored.empty() && std::find(installed.begin(), installed.end(), stored) == installed.end()) {
            doctor.Check(L"versions", Status::Warning, detail + L" (not installed)",
                         L"choose an installed version as the current one");
        } else if (installed.empty() && type == kSolidWorks) {
            doctor.Check(L"versions", Status::Warning, detail,
                         L"install the CAD application, or name the version with --version");
        } else {
            doctor.Check(L"versions", Status::Ok, detail);
        }
    }
}

// 4. The chosen version's ProgID and its server executable.
void CheckApplication(Doctor& doctor, const std::wstring& version) {
    const std::unique_ptr<CCaxVersion> family(CreateCaxVersion(kSolidWorks));
    const std::wstring progId = version.empty() ? L"" : ProgIdOf(*family, version);
    CLSID clsid = CLSID_NULL;
    const std::wstring repair = L"repair the CAD application's installation";
    if (version.empty()) {
        doctor.Check(L"application", Status::Failure, L"no version to use",
                     L"install the CAD application or pass --version");
    } else if (progId.empty()) {
        doctor.Check(L"application", Status::Failure, L"'" + version + L"' is not a version name",
                     L"pass a name ending in the year, e.g. --version \"SolidWorks 2016\"");
    } else if (FAILED(CLSIDFromProgID(progId.c_str(), &clsid))) {
        doctor.Check(L"application", Status::Failure, version + L": ProgID " + progId + L" is not registered",
                     L"install or repair that version of the CAD application");
    } else if (const std::wstring server = RegisteredServer(progId, L"LocalServer32"); server.empty()) {
        doctor.Check(L"application", Status::Failure, progId + L" names no local server", repair);
    } else if (!FileExists(server)) {
        doctor.Check(L"application", Status::Failure, progId + L": server " + server + L" is missing",
                     repair);
    } else {
        doctor.Check(L"application", Status::Ok, version + L" -> " + progId + L", server " + server);
    }
}

// 5. The add-in module beside the library, where the connector loads it from.
// The package does not carry the add-in: in a package installation its absence is the
// administrator's next step, a warning that names the folder.
void CheckAddIn(Doctor& doctor, const std::wstring& libraryPath, const std::wstring& version,
                bool installed) {
    const std::wstring path =
        qar::detail::BesideModule(libraryPath, qar::detail::AddInModuleFileName(kSolidWorks, version));
    if (FileExists(path)) {
        doctor.Check(L"add-in", Status::Ok, path);
    } else if (installed) {
        doctor.Check(L"add-in", Status::Warning, path + L" is missing",
                     L"install the add-in into " + FolderOf(libraryPath) + L" (this installation's folder)");
    } else {
        doctor.Check(L"add-in", Status::Failure, path + L" is missing",
                     L"install the add-in module into the library's folder");
    }
}

// 6. The automation server for script, .NET and Python hosts: registered (ProgID -> class ->
// in-process module), and that module lies beside the library it loads. It is optional, so not being
// registered is only a warning.
// A server registered from another folder serves scripts with another copy of the library: a warning.
void CheckAutomationServer(Doctor& doctor, const std::wstring& libraryPath, bool installed) {
    const std::wstring name = kAutomationProgId;
    const std::wstring fix =
        L"regsvr32 QarSldwAutomation_x64.dll (machine-wide) or regsvr32 /n /i:user "
        L"QarSldwAutomation_x64.dll (per user), in the library's folder";
    CLSID clsid = CLSID_NULL;
    if (FAILED(CLSIDFromProgID(kAutomationProgId, &clsid))) {
        doctor.Check(L"automation", Status::Warning, name + L" is not registered", fix);
        return;
    }
    const std::wstring module = RegisteredServer(kAutomationProgId, L"InprocServer32");
    const std::wstring library = qar::detail::BesideModule(module, kLibraryName);
    if (module.empty()) {
        doctor.Check(L"automation", Status::Failure, name + L" names no in-process module", fix);
    } else if (!FileExists(module)) {
        doctor.Check(L"automation", Status::Failure, name + L": " + module + L" is missing", fix);
    } else if (!FileExists(library)) {
        doctor.Check(L"automation", Status::Failure, module + L" has no " + kLibraryName + L" beside it",
                     L"install the automation server into the library's folder and register it there");
    } else if (!SameFolder(FolderOf(module), FolderOf(libraryPath))) {
        doctor.Check(L"automation", Status::Warning,
                     name + L" -> " + module + L", not the server in " + FolderOf(libraryPath),
                     installed
                         ? L"repair this installation (README, Install)"
                         : L"register " + std::wstring(kAutomationName) + L" in " + FolderOf(libraryPath));
    } else {
        doctor.Check(L"automation", Status::Ok,
                     name + L" -> " + module + (installed ? L" (this installation)" : L""));
    }
}

// The path registered for type library `libraryId` (its first version's win64 entry), "" when none is.
std::wstring RegisteredTypeLibPath(const std::wstring& libraryId) {
    qar::RegistryKey key;
    std::wstring version;
    if (libraryId.empty() ||
        key.Open(HKEY_CLASSES_ROOT, L"TypeLib\\" + libraryId, KEY_READ) != ERROR_SUCCESS ||
        key.SubKeyName(0, version) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return ClassesText(L"TypeLib\\" + libraryId + L"\\" + version + L"\\0\\win64");
}

// 6a. Paths Wine cannot use: Wine 8's type-library loader reads a registered type library path with
// non-ASCII characters back through the ANSI code page, so a server whose type library lies in such
// a folder cannot marshal its interfaces (TYPE_E_CANTLOADLIBRARY). Windows is not known to do this,
// so the check warns under Wine only. The application's server stands for its type library (the
// simulated application's lies in its executable); the library's folder for the automation server's
// when that is not registered yet.
void CheckPathsForWine(Doctor& doctor, const std::wstring& libraryPath, const std::wstring& version) {
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) return;
    const std::unique_ptr<CCaxVersion> family(CreateCaxVersion(kSolidWorks));
    const std::wstring progId = version.empty() ? L"" : ProgIdOf(*family, version);
    CLSID automation = CLSID_NULL;
    wchar_t automationClass[40] = L"";
    if (SUCCEEDED(CLSIDFromProgID(kAutomationProgId, &automation)))
        StringFromGUID2(automation, automationClass, 40);
    const std::pair<std::wstring, std::wstring> paths[] = {
        {L"library folder", libraryPath.substr(0, libraryPath.find_last_of(L'\\') + 1)},
        {L"application server", progId.empty() ? L"" : RegisteredServer(progId, L"LocalServer32")},
        {L"automation type library",
         RegisteredTypeLibPath(ClassesText(std::wstring(L"CLSID\\") + automationClass + L"\\TypeLib"))}};
    const auto ascii = [](const std::wstring& path) {
        return std::all_of(path.begin(), path.end(), [](wchar_t c) { return c < 0x80; });
    };
    std::wstring found;
    for (const auto& [what, path] : paths) {
        if (!ascii(path)) found += (found.empty() ? L"" : L"; ") + what + L" " + path;
    }
    if (found.empty()) {
        doctor.Check(L"paths", Status::Ok, L"ASCII only (Wine 8 needs that for registered type libraries)");
    } else {
        doctor.Check(L"paths", Status::Warning,
                     found +
                         L": not ASCII; Wine 8 cannot load a registered type library there "
                         L"(TYPE_E_CANTLOADLIBRARY, 0x80029C4A)",
                     L"under Wine, install and register into folders whose paths are ASCII only");
    }
}

// 7. The language file the connector hands to the add-in, and the fallback folder's.
void CheckLanguageFiles(Doctor& doctor, const std::wstring& libraryPath, bool installed) {
    const std::wstring localePath =
        qar::detail::LanguageXmlPathFor(libraryPath, GetThreadLocale(), kSolidWorks);
    const std::wstring fallbackPath = qar::detail::LanguageXmlPathFor(libraryPath, 0, kSolidWorks);
    const std::wstring localeProblem = LanguageFileProblem(localePath);
    if (localeProblem.empty()) {
        doctor.Check(L"language", Status::Ok, localePath);
    } else if (installed && localeProblem == L"missing") {
        doctor.Check(L"language", Status::Warning, localePath + L" is missing",
                     L"install the add-in's language folders into " + FolderOf(libraryPath) +
                         L" (this installation's folder)");
    } else {
        doctor.Check(
            L"language", Status::Failure, localePath + L": " + localeProblem,
            L"install the language files (UTF-16 with an XML declaration) into the library's folder");
    }
    if (fallbackPath == localePath) return;
    const std::wstring fallbackProblem = LanguageFileProblem(fallbackPath);
    if (fallbackProblem.empty()) {
        doctor.Check(L"language", Status::Ok, fallbackPath + L" (fallback)");
    } else {
        doctor.Check(L"language", Status::Warning, fallbackPath + L" (fallback): " + fallbackProblem,
                     L"install the fallback language file; users whose language has no folder get it");
    }
}

// 8. Running instances, each given a few seconds to answer; one that does not is busy or hung.
void CheckRunning(Doctor& doctor, const Options& options) {
    std::wstring handles;
    bool named = options.attach.empty();
    size_t answering = 0;
    for (const InstanceProbe& instance : ProbeInstances(kAnswerMs)) {
        if (instance.state != InstanceProbe::State::Answers) {
            doctor.Check(L"running", Status::Warning,
                         L"an instance did not answer within " + std::to_wstring(kAnswerMs / 1000) +
                             L" s (busy or hung)",
                         L"finish or close the application's dialog; if it stays, end that instance");
            continue;
        }
        ++answering;
        handles += (handles.empty() ? L"" : L", ") + instance.handleText;
        named = named || instance.handleText == options.attach;
    }
    if (!named) {
        doctor.Check(L"running", Status::Warning,
                     L"no running instance has window handle " + options.attach +
                         (handles.empty() ? L"" : L" (running: " + handles + L")"),
                     L"a connect would start a new instance; pick a handle from the list");
    } else {
        doctor.Check(L"running", Status::Ok,
                     answering == 0
                         ? L"no instance answering; a connect starts one"
                         : std::to_wstring(answering) + L" instance(s), window handles " + handles);
    }
}

// 9. A real connect and disconnect, with its time.
void CheckConnect(Doctor& doctor, const Options& options, Reporter& report) {
    Reporter quiet(report.Json());
    Session session;
    // The connect's own line is printed by Connect; the check sums it up.
    if (Connect(options, quiet, session) && Disconnect(options, quiet, session)) {
        wchar_t seconds[32];
        swprintf(seconds, 32, L"%.2f s", session.seconds);
        doctor.Check(L"connect", Status::Ok, std::wstring(L"connected and disconnected in ") + seconds);
    } else {
        doctor.Check(L"connect", Status::Failure, L"the connect failed (see above)",
                     L"fix the failures above; the message names the step that failed");
    }
}

// Whether a file can be made in `folder` (made and removed at once).
bool FolderWritable(const std::wstring& folder) {
    const std::wstring probe =
        folder + L"\\qarsldw-doctor-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

// 10. The call trace and the dumps: on or off, where they write, whether that place takes a file.
void CheckDiagnostics(Doctor& doctor) {
    const QARCAX::DiagnosticsStatus status = QARCAX::GetDiagnosticsStatus();
    if (!status.traceOn) {
        doctor.Check(L"trace", Status::Ok,
                     L"off (QARSLDW_TRACE, or Trace under HKCU/HKLM Software\\QarSldw)");
    } else {
        const std::wstring folder = status.tracePath.substr(0, status.tracePath.find_last_of(L"\\/"));
        const std::wstring detail = L"on (" + status.traceSource + L") -> " + status.tracePath + L", cap " +
                                    std::to_wstring(status.traceMaxBytes) + L" bytes";
        if (!FolderWritable(folder)) {
            doctor.Check(L"trace", Status::Warning, detail + L": the folder takes no file",
                         L"name a folder this user may write, or create it");
        } else if (status.traceSkipped > 0) {
            doctor.Check(
                L"trace", Status::Warning,
                detail + L": " + std::to_wstring(status.traceSkipped) + L" lines could not be written");
        } else {
            doctor.Check(L"trace", Status::Ok, detail);
        }
    }
    if (!status.dumpsOn) {
        doctor.Check(L"dumps", Status::Ok,
                     L"off (QARSLDW_DUMPS, or Dumps under HKCU/HKLM Software\\QarSldw)");
    } else {
        const std::wstring detail = L"on (" + status.dumpSource + L") -> " + status.dumpFolder +
                                    L", at most " + std::to_wstring(status.maxDumps) + L" per process";
        if (FolderWritable(status.dumpFolder)) {
            doctor.Check(L"dumps", Status::Ok, detail);
        } else {
            doctor.Check(L"dumps", Status::Warning, detail + L": the folder takes no file",
                         L"name a folder this user may write, or create it");
        }
    }
}

}  // namespace

int RunDoctor(const Options& options, Reporter& report) {
    Doctor doctor(report);
    const std::wstring libraryPath = CheckLibrary(doctor);
    if (libraryPath.empty()) return doctor.Finish();
    CheckFileVersions(doctor, libraryPath);
    CheckLoadAddress(doctor, libraryPath);
    const bool installed = CheckInstallation(doctor, libraryPath);
    CheckMessages(doctor, options);
    CheckVersions(doctor);
    const std::wstring version = ChosenVersion(kSolidWorks, options.version);
    CheckApplication(doctor, version);
    CheckAddIn(doctor, libraryPath, version.empty() ? L"SolidWorks 2016" : version, installed);
    CheckAutomationServer(doctor, libraryPath, installed);
    CheckPathsForWine(doctor, libraryPath, version);
    CheckLanguageFiles(doctor, libraryPath, installed);
    CheckRunning(doctor, options);
    if (options.connect) CheckConnect(doctor, options, report);
    CheckDiagnostics(doctor);
    return doctor.Finish();
}

}  // namespace qarsldw
