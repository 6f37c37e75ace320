// qarsldw.exe: a command-line host of QarSldwInterface_x64.dll, for trying the library, scripting
// sessions and diagnosing an installation. It is a C++ host built with the library's own toolchain
// (the exported classes bind only to hosts built with the same compiler and standard library), and
// it lies beside the DLL, which it loads from its own folder.
#include <windows.h>
#include <objbase.h>
#include <comdef.h>

#include <QarSldwInterface.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Public/cad_interfaces.h"
#include "Public/cax_version.h"
#include "Public/owners.h"
#include "Public/registry_key.h"
#include "Public/text_helpers.h"
#include "sldw/localized_messages.h"
#include "sldw/message_ids.h"
#include "tools/qarsldw/cli.h"
#include "tools/qarsldw/version_choice.h"

using qar::ComPtr;
using qar::RegistryKey;

using namespace qarsldw;

namespace {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;
constexpr int kSolidWorks = 3;
constexpr const wchar_t* kLibraryName = L"QarSldwInterface_x64.dll";
// A script is a list of commands: anything this large is a mistake, not a script.
constexpr size_t kMaxScriptBytes = 16u << 20;

std::wstring TrimEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

// Standard output and error. A console gets UTF-16 through WriteConsoleW (the console shows any
// character the font has, whatever the code page); a pipe or file gets UTF-8, which scripts and other
// programs read without knowing the system's code page.
class Terminal {
public:
    Terminal() {
        DWORD mode = 0;
        out_ = GetStdHandle(STD_OUTPUT_HANDLE);
        err_ = GetStdHandle(STD_ERROR_HANDLE);
        outConsole_ = GetConsoleMode(out_, &mode) != FALSE;
        errConsole_ = GetConsoleMode(err_, &mode) != FALSE;
    }
    bool OutIsConsole() const { return outConsole_; }
    void Out(const std::wstring& text) { Write(out_, outConsole_, text); }
    void Err(const std::wstring& text) { Write(err_, errConsole_, text); }

private:
    void Write(HANDLE handle, bool console, const std::wstring& text) {
        std::lock_guard<std::mutex> lock(mutex_);  // the progress line is written from another thread
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
        if (console) {
            for (size_t done = 0; done < text.size();) {
                const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 16384));
                DWORD written = 0;
                if (!WriteConsoleW(handle, text.data() + done, chunk, &written, nullptr) || written == 0)
                    return;
                done += written;
            }
            return;
        }
        const std::string bytes = ToUtf8(text);
        for (size_t done = 0; done < bytes.size();) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
            DWORD written = 0;
            if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
            done += written;
        }
    }
    HANDLE out_, err_;
    bool outConsole_, errConsole_;
    std::mutex mutex_;
};

Terminal& Term() {
    static Terminal terminal;
    return terminal;
}

// One result, printed as a line of text or as one JSON object.
struct Reporter {
    bool json = false;
    int failures = 0;

    void Usage(const std::wstring& message) {
        if (json) {
            Term().Out(
                JsonObject().Add(L"ok", false).Add(L"error", L"usage").Add(L"message", message).Text() +
                L"\n");
        } else {
            Term().Err(L"qarsldw: " + message + L"\n\n" + UsageText());
        }
    }
    // A failure that has no status record (a file that cannot be read, no version to use).
    void Problem(const std::wstring& what, const std::wstring& message) {
        ++failures;
        if (json) {
            Term().Out(JsonObject().Add(L"command", what).Add(L"ok", false).Add(L"message", message).Text() +
                       L"\n");
        } else {
            Term().Err(what + L": " + message + L"\n");
        }
    }
};

std::wstring ProgIdOf(CCaxVersion& family, const std::wstring& version) {
    try {
        return family.GetProgId(version);
    } catch (const std::exception&) {
        return std::wstring();  // a text too short to be a version name
    }
}

// --lang: the thread locale picks the add-in's language file; the thread's UI language picks the
// library's string table on Windows.
void ApplyLanguage(const std::wstring& lang) {
    if (lang.empty()) return;
    const LCID locale = LocaleNameToLCID(lang.c_str(), 0);
    if (locale == 0) return;
    SetThreadLocale(locale);
    SetThreadUILanguage(LANGIDFROMLCID(locale));
}

// ---------------------------------------------------------------------------------------------------
// Connecting.

struct Session {
    std::unique_ptr<QARCAX::SldwConnector> connector;
    std::unique_ptr<QARCAX::CaxCommand> command;
    double seconds = 0;
};

// Shows "connecting ... 2.4 s" on the console while `work` runs on this thread (it uses COM, which
// belongs to this thread's apartment); the line is removed afterwards.
template <class Work>
void WithProgress(bool show, const std::wstring& label, Work&& work) {
    if (!show) {
        work();
        return;
    }
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread ticker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        // Nothing for the first half second: a quick attach should not flicker.
        while (!wake.wait_for(lock, std::chrono::milliseconds(500), [&] { return done; })) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            wchar_t text[64];
            swprintf(text, 64, L"%.1f s", elapsed);
            Term().Out(L"\r" + label + L" " + text + L"   ");
        }
    });
    {
        struct Join {  // the ticker stops even when `work` throws
            std::mutex& mutex;
            std::condition_variable& wake;
            bool& done;
            std::thread& ticker;
            ~Join() {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    done = true;
                }
                wake.notify_all();
                ticker.join();
            }
        } join{mutex, wake, done, ticker};
        work();
    }
    Term().Out(L"\r" + std::wstring(label.size() + 12, L' ') + L"\r");
}

// Connects; false after reporting the failure with the connector's status record.
bool Connect(const Options& options, Reporter& report, Session& session) {
    const std::wstring version = ChosenVersion(kSolidWorks, options.version);
    if (version.empty()) {
        report.Problem(L"connect",
                       L"no version of the CAD application is installed; name one with --version");
        return false;
    }
    session.connector =
        std::make_unique<QARCAX::SldwConnector>(kSolidWorks, version, options.attach, options.addInArg);
    QARCAX::CaxCommand* made = nullptr;
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    WithProgress(!options.json && Term().OutIsConsole(), L"connecting to " + version + L" ...",
                 [&] { result = session.connector->NewCommand(nullptr, made); });
    session.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    session.command.reset(made);
    wchar_t seconds[32];
    swprintf(seconds, 32, L"%.2f s", session.seconds);
    if (result != 0 || !session.command) {
        ++report.failures;
        const int code = session.connector->errorCode;
        const std::wstring message = session.connector->errorMessage;
        if (report.json) {
            Term().Out(JsonObject()
                           .Add(L"command", L"connect")
                           .Add(L"ok", false)
                           .Add(L"version", version)
                           .Add(L"result", result)
                           .Add(L"code", code)
                           .Add(L"message", message)
                           .Text() +
                       L"\n");
        } else {
            Term().Err(L"connect " + version + L": failed (code " + std::to_wstring(code) + L", result " +
                       std::to_wstring(result) + L"): " + TrimEnd(message) + L"\n");
        }
        session.command.reset();
        return false;
    }
    const std::wstring handle = session.command->connection.appHandleText;
    if (report.json) {
        Term().Out(JsonObject()
                       .Add(L"command", L"connect")
                       .Add(L"ok", true)
                       .Add(L"version", version)
                       .Add(L"handle", handle)
                       .AddNumber(L"seconds", session.seconds)
                       .Text() +
                   L"\n");
    } else {
        Term().Out(L"connected to " + version + L", window handle " + handle + L" (" + seconds + L")\n");
    }
    return true;
}

// Says "Disconnect" to the add-in and reports it. The status record is cleared first so that only
// this call's failure counts; the command is then deleted (its destructor repeats the call, which the
// add-in takes as a no-op once it has let go of the host).
bool Disconnect(Reporter& report, Session& session) {
    QARCAX::CaxCommand& command = *session.command;
    command.errorCode = 0;
    command.errorMessage.clear();
    command.Disconnect();
    const bool ok = command.errorCode == 0;
    if (report.json) {
        JsonObject object;
        object.Add(L"command", L"disconnect").Add(L"ok", ok);
        if (!ok) object.Add(L"code", command.errorCode).Add(L"message", command.errorMessage);
        Term().Out(object.Text() + L"\n");
    } else if (ok) {
        Term().Out(L"disconnected\n");
    } else {
        Term().Err(L"disconnect: failed (code " + std::to_wstring(command.errorCode) + L"): " +
                   TrimEnd(command.errorMessage) + L"\n");
    }
    if (!ok) ++report.failures;
    session.command.reset();
    return ok;
}

// ---------------------------------------------------------------------------------------------------
// Subcommands.

int Versions(Reporter& report) {
    for (int type = 1; type <= 3; ++type) {
        std::unique_ptr<CCaxVersion> family(CreateCaxVersion(type));
        const std::vector<std::wstring> installed = InstalledVersions(*family);
        const std::wstring stored = StoredCurrentVersion(*family);
        const std::wstring current = !stored.empty() ? stored : installed.empty() ? L"" : installed.back();
        if (report.json) {
            std::wstring list = L"[";
            for (const std::wstring& version : installed) {
                if (list.size() > 1) list += L",";
                list +=
                    JsonObject().Add(L"version", version).Add(L"progId", ProgIdOf(*family, version)).Text();
            }
            Term().Out(JsonObject()
                           .Add(L"family", family->GetCaxName())
                           .Add(L"type", type)
                           .AddRaw(L"installed", list + L"]")
                           .Add(L"current", current)
                           .Add(L"currentChosen", !stored.empty())
                           .Text() +
                       L"\n");
            continue;
        }
        std::wstring text = family->GetCaxName() + L" (type " + std::to_wstring(type) + L")\n";
        if (installed.empty()) text += L"  installed: none\n";
        for (const std::wstring& version : installed) {
            text += L"  " + version + L" -> " + ProgIdOf(*family, version) + L"\n";
        }
        text +=
            L"  current: " + (current.empty() ? std::wstring(L"none") : current) +
            (stored.empty() ? (current.empty() ? L"" : L" (latest installed; none chosen)") : L" (chosen)") +
            L"\n";
        Term().Out(text);
    }
    return kExitOk;
}

int ConnectOnly(const Options& options, Reporter& report) {
    Session session;
    if (!Connect(options, report, session)) return kExitFailed;
    return Disconnect(report, session) ? kExitOk : kExitFailed;
}

// The whole of a file or of standard input; false with a message when it cannot be read.
bool ReadAll(const std::wstring& source, std::string& bytes, std::wstring& error) {
    bytes.clear();
    HANDLE handle = GetStdHandle(STD_INPUT_HANDLE);
    struct Closer {
        HANDLE h = INVALID_HANDLE_VALUE;
        ~Closer() {
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
    } file;
    if (source != L"-") {
        file.h = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.h == INVALID_HANDLE_VALUE) {
            error = L"cannot open " + source + L": " + TrimEnd(SystemMessageText(GetLastError()));
            return false;
        }
        handle = file.h;
    }
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(handle, buffer, sizeof(buffer), &read, nullptr)) {
            const DWORD status = GetLastError();
            if (status == ERROR_BROKEN_PIPE) break;  // the writer closed its end: end of input
            error = L"cannot read " + source + L": " + TrimEnd(SystemMessageText(status));
            return false;
        }
        if (read == 0) break;
        if (bytes.size() + read > kMaxScriptBytes) {
            error = source + L" is larger than a script can be (16 MB)";
            return false;
        }
        bytes.append(buffer, read);
    }
    return true;
}

// A document path as the application needs it: absolute, because the application runs in a process
// of its own whose current folder is not ours.
std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

// Runs one script command; reports it; false when it failed.
bool RunCommand(const ScriptCommand& step, QARCAX::CaxCommand& command, Reporter& report) {
    command.errorCode = 0;  // so that a failure shows this command's record, not an earlier one
    command.errorMessage.clear();
    const std::wstring name = OpName(step.op);
    std::wstring argument = step.args.empty() ? L"" : step.args[0];
    std::wstring shown;  // what a human sees after the command's name
    int result = 0;
    std::wstring saved, dependencies;
    bool connected = true;
    switch (step.op) {
        case Op::Open:
            argument = FullPath(argument);
            shown = L" " + argument;
            result = command.OpenFile(argument);
            break;
        case Op::Close:
            result = command.CloseFile();
            break;
        case Op::Save:
            result = command.SaveFile(saved);
            break;
        case Op::Deps:
            result = command.GetDependencies(dependencies);
            break;
        case Op::Menu:
            shown = L" " + argument;
            result = command.CreateMenu(argument);
            break;
        case Op::Refresh:
        case Op::Update:
            shown = L" " + step.args[0] + L" " + step.args[1];
            result = step.op == Op::Refresh ? command.RefreshTable(step.args[0], step.args[1])
                                            : command.UpdateTable(step.args[0], step.args[1]);
            break;
        case Op::Probe:
            connected = command.IsConnected();
            result = connected ? 0 : -1;
            break;
    }
    const bool ok = result == 0;
    const std::vector<std::wstring> files = SplitDependencies(dependencies);
    if (report.json) {
        JsonObject object;
        object.Add(L"line", step.line).Add(L"command", name).Add(L"ok", ok);
        if (step.op == Op::Open) object.Add(L"path", argument);
        if (step.op == Op::Save && ok) object.Add(L"path", saved);
        if (step.op == Op::Deps && ok) object.Add(L"dependencies", files);
        if (step.op == Op::Probe) object.Add(L"connected", connected);
        if (!ok)
            object.Add(L"result", result)
                .Add(L"code", command.errorCode)
                .Add(L"message", command.errorMessage);
        Term().Out(object.Text() + L"\n");
    } else if (ok) {
        std::wstring text = L"line " + std::to_wstring(step.line) + L": " + name + shown + L": ok";
        if (step.op == Op::Save) text += L", saved " + saved;
        if (step.op == Op::Probe) text += L", the application answers";
        if (step.op == Op::Deps) {
            text += L", " + std::to_wstring(files.size()) + (files.size() == 1 ? L" file" : L" files");
            for (const std::wstring& file : files) text += L"\n  " + file;
        }
        Term().Out(text + L"\n");
    } else {
        std::wstring message = TrimEnd(command.errorMessage);
        if (step.op == Op::Probe && message.empty()) message = L"the application does not answer";
        Term().Err(L"line " + std::to_wstring(step.line) + L": " + name + shown + L": failed (code " +
                   std::to_wstring(command.errorCode) + L", result " + std::to_wstring(result) + L"): " +
                   message + L"\n");
    }
    if (!ok) ++report.failures;
    return ok;
}

int Run(const Options& options, Reporter& report) {
    // The whole script is read and checked before connecting: a typo on the last line should not
    // cost the seconds of starting the application.
    std::string bytes;
    std::wstring text, error;
    if (!ReadAll(options.script, bytes, error)) {
        report.Problem(L"run", error);
        return kExitFailed;
    }
    if (!DecodeScript(bytes, text)) {
        report.Problem(L"run", options.script + L" is neither UTF-8 nor UTF-16 text");
        return kExitFailed;
    }
    std::vector<ScriptCommand> commands;
    if (!ParseScript(text, commands, error)) {
        report.Usage(options.script + L": " + error);
        return kExitUsage;
    }
    Session session;
    if (!Connect(options, report, session)) return kExitFailed;
    for (const ScriptCommand& step : commands) {
        // The first failure ends the script: later commands build on the earlier ones (a save after
        // a failed open would save some other document).
        if (!RunCommand(step, *session.command, report)) break;
    }
    Disconnect(report, session);
    return report.failures == 0 ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------------------------------------------
// doctor

enum class Status { Ok, Warning, Failure };

class Doctor {
public:
    explicit Doctor(Reporter& report) : report_(report) {}

    void Check(const std::wstring& name, Status status, const std::wstring& detail,
               const std::wstring& fix = L"") {
        if (status == Status::Failure) ++report_.failures;
        if (status == Status::Warning) ++warnings_;
        const wchar_t* word = status == Status::Ok        ? L"ok"
                              : status == Status::Warning ? L"warning"
                                                          : L"failure";
        if (report_.json) {
            JsonObject object;
            object.Add(L"check", name).Add(L"status", word).Add(L"detail", detail);
            if (!fix.empty()) object.Add(L"fix", fix);
            Term().Out(object.Text() + L"\n");
            return;
        }
        std::wstring line =
            std::wstring(word) + std::wstring(9 - wcslen(word), L' ') + name + L": " + detail + L"\n";
        if (!fix.empty()) line += L"         fix: " + fix + L"\n";
        Term().Out(line);
    }
    int Finish() {
        if (report_.json) {
            Term().Out(JsonObject()
                           .Add(L"check", L"summary")
                           .Add(L"failures", report_.failures)
                           .Add(L"warnings", warnings_)
                           .Text() +
                       L"\n");
        } else {
            Term().Out(std::to_wstring(report_.failures) + L" failed, " + std::to_wstring(warnings_) +
                       L" warnings\n");
        }
        return report_.failures == 0 ? kExitOk : kExitFailed;
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

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list) {
    reinterpret_cast<std::vector<LANGID>*>(list)->push_back(language);
    return TRUE;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The add-in module's file name, which only the connector knows (it depends on the CAD type).
class AddInModuleName : public QARCAX::SldwConnector {
public:
    explicit AddInModuleName(const std::wstring& version) : SldwConnector(kSolidWorks, version, L"", L"") {}
    std::wstring Get() { return GetAddInDllFileName(); }
};

// What is wrong with a language file for the add-in, "" when nothing is: UTF-16LE with its mark
// and an XML declaration that names an encoding.
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

// Each running instance of the application in the running-object table, as window-handle text.
std::vector<std::wstring> RunningInstances() {
    std::vector<std::wstring> handles;
    ComPtr<IRunningObjectTable> table;
    ComPtr<IEnumMoniker> entries;
    if (FAILED(GetRunningObjectTable(0, table.Put())) || FAILED(table->EnumRunning(entries.Put())) ||
        !entries) {
        return handles;
    }
    for (;;) {
        ComPtr<IMoniker> moniker;
        if (entries->Next(1, moniker.Put(), nullptr) != S_OK) break;
        ComPtr<IUnknown> object;
        ComPtr<ISldWorks> app;
        ComPtr<IDispatch> frameObject;
        ComPtr<IFrame> frame;
        LONG handle = 0;
        if (FAILED(table->GetObject(moniker.Get(), object.Put())) || !object || FAILED(object.As(app)) ||
            !app || FAILED(app->Frame(frameObject.Put())) || !frameObject || FAILED(frameObject.As(frame)) ||
            !frame || FAILED(frame->GetHWnd(&handle))) {
            continue;
        }
        handles.push_back(DecimalText(handle));
    }
    return handles;
}

// The automation server for script, .NET and Python hosts: registered (ProgID -> class -> in-process
// module), and that module lies beside the library it loads. It is optional, so not being registered
// is only a warning.
void CheckAutomationServer(Doctor& doctor) {
    const wchar_t* const progId = L"QarSldw.Connector";
    const std::wstring fix =
        L"regsvr32 QarSldwAutomation_x64.dll (machine-wide) or regsvr32 /n /i:user "
        L"QarSldwAutomation_x64.dll (per user), in the library's folder";
    CLSID clsid = CLSID_NULL;
    if (FAILED(CLSIDFromProgID(progId, &clsid))) {
        doctor.Check(L"automation", Status::Warning, std::wstring(progId) + L" is not registered", fix);
        return;
    }
    wchar_t clsidText[40] = L"";
    StringFromGUID2(clsid, clsidText, 40);
    RegistryKey server;
    std::wstring module;
    if (server.Open(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32",
                    KEY_READ) == ERROR_SUCCESS) {
        server.QueryText(nullptr, module);
    }
    const std::wstring library = localized_detail::BesideModule(module, kLibraryName);
    if (module.empty()) {
        doctor.Check(L"automation", Status::Failure, std::wstring(progId) + L" names no in-process module",
                     fix);
    } else if (!FileExists(module)) {
        doctor.Check(L"automation", Status::Failure, std::wstring(progId) + L": " + module + L" is missing",
                     fix);
    } else if (!FileExists(library)) {
        doctor.Check(L"automation", Status::Failure, module + L" has no " + kLibraryName + L" beside it",
                     L"install the automation server into the library's folder and register it there");
    } else {
        doctor.Check(L"automation", Status::Ok, std::wstring(progId) + L" -> " + module);
    }
}

int RunDoctor(const Options& options, Reporter& report) {
    Doctor doctor(report);

    // 1. The library and its string tables. This program imports the library, so the loader has
    // found it; the check says which file that was.
    const HMODULE library = GetModuleHandleW(kLibraryName);
    const std::wstring libraryPath = library != nullptr ? localized_detail::ModuleFileName(library) : L"";
    if (library == nullptr) {
        doctor.Check(L"library", Status::Failure, std::wstring(kLibraryName) + L" is not loaded",
                     L"reinstall the library beside qarsldw.exe");
        return doctor.Finish();
    }
    doctor.Check(L"library", Status::Ok, L"loaded " + libraryPath);
    std::vector<LANGID> tables;
    EnumResourceLanguagesW(library, RT_STRING, MAKEINTRESOURCEW(IDS_START_FAILED / 16 + 1), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&tables));
    const LANGID user = options.lang.empty() ? GetUserDefaultUILanguage()
                                             : LANGIDFROMLCID(LocaleNameToLCID(options.lang.c_str(), 0));
    std::wstring names;
    bool hasUser = false, hasEnglish = false;
    for (LANGID language : tables) {
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

    // 2. Installed versions per family and the current one.
    for (int type = 1; type <= 3; ++type) {
        std::unique_ptr<CCaxVersion> family(CreateCaxVersion(type));
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

    // 3. The chosen version's ProgID and server executable.
    const std::wstring version = ChosenVersion(kSolidWorks, options.version);
    std::unique_ptr<CCaxVersion> sw(CreateCaxVersion(kSolidWorks));
    const std::wstring progId = version.empty() ? L"" : ProgIdOf(*sw, version);
    CLSID clsid = CLSID_NULL;
    if (version.empty()) {
        doctor.Check(L"application", Status::Failure, L"no version to use",
                     L"install the CAD application or pass --version");
    } else if (progId.empty()) {
        doctor.Check(L"application", Status::Failure, L"'" + version + L"' is not a version name",
                     L"pass a name ending in the year, e.g. --version \"SolidWorks 2016\"");
    } else if (FAILED(CLSIDFromProgID(progId.c_str(), &clsid))) {
        doctor.Check(L"application", Status::Failure, version + L": ProgID " + progId + L" is not registered",
                     L"install or repair that version of the CAD application");
    } else {
        wchar_t clsidText[40] = L"";
        StringFromGUID2(clsid, clsidText, 40);
        RegistryKey server;
        std::wstring command;
        server.Open(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + clsidText + L"\\LocalServer32", KEY_READ);
        if (server) server.QueryText(nullptr, command);
        // The command line of the server: a quoted path, or a path up to its first switch.
        std::wstring executable = command;
        if (!executable.empty() && executable[0] == L'"') {
            executable = executable.substr(1, executable.find(L'"', 1) - 1);
        } else {
            for (const wchar_t* cut : {L" /", L" -"}) executable = executable.substr(0, executable.find(cut));
        }
        if (executable.empty()) {
            doctor.Check(L"application", Status::Failure, progId + L" names no local server",
                         L"repair the CAD application's installation");
        } else if (!FileExists(executable)) {
            doctor.Check(L"application", Status::Failure, progId + L": server " + executable + L" is missing",
                         L"repair the CAD application's installation");
        } else {
            doctor.Check(L"application", Status::Ok, version + L" -> " + progId + L", server " + executable);
        }
    }

    // 4. The add-in module beside the library, where the connector loads it from.
    const std::wstring addInPath = localized_detail::BesideModule(
        libraryPath, AddInModuleName(version.empty() ? L"SolidWorks 2016" : version).Get());
    if (FileExists(addInPath)) {
        doctor.Check(L"add-in", Status::Ok, addInPath);
    } else {
        doctor.Check(L"add-in", Status::Failure, addInPath + L" is missing",
                     L"install the add-in module into the library's folder");
    }

    CheckAutomationServer(doctor);

    // 5. The language file the connector hands to the add-in, and the fallback folder's.
    const std::wstring localePath =
        localized_detail::LanguageXmlPathFor(libraryPath, GetThreadLocale(), kSolidWorks);
    const std::wstring fallbackPath = localized_detail::LanguageXmlPathFor(libraryPath, 0, kSolidWorks);
    const std::wstring localeProblem = LanguageFileProblem(localePath);
    if (localeProblem.empty()) {
        doctor.Check(L"language", Status::Ok, localePath);
    } else {
        doctor.Check(
            L"language", Status::Failure, localePath + L": " + localeProblem,
            L"install the language files (UTF-16 with an XML declaration) into the library's folder");
    }
    if (fallbackPath != localePath) {
        const std::wstring fallbackProblem = LanguageFileProblem(fallbackPath);
        if (fallbackProblem.empty()) {
            doctor.Check(L"language", Status::Ok, fallbackPath + L" (fallback)");
        } else {
            doctor.Check(L"language", Status::Warning, fallbackPath + L" (fallback): " + fallbackProblem,
                         L"install the fallback language file; users whose language has no folder get it");
        }
    }

    // 6. Running instances.
    const std::vector<std::wstring> running = RunningInstances();
    std::wstring handles;
    for (const std::wstring& handle : running) handles += (handles.empty() ? L"" : L", ") + handle;
    if (!options.attach.empty() &&
        std::find(running.begin(), running.end(), options.attach) == running.end()) {
        doctor.Check(L"running", Status::Warning,
                     L"no running instance has window handle " + options.attach +
                         (running.empty() ? L"" : L" (running: " + handles + L")"),
                     L"a connect would start a new instance; pick a handle from the list");
    } else {
        doctor.Check(L"running", Status::Ok,
                     running.empty()
                         ? L"no instance running; a connect starts one"
                         : std::to_wstring(running.size()) + L" instance(s), window handles " + handles);
    }

    // 7. A real connect.
    if (options.connect) {
        Reporter quiet{report.json, 0};
        Session session;
        // The connect's own line is printed by Connect; the check sums it up.
        if (Connect(options, quiet, session) && Disconnect(quiet, session)) {
            wchar_t seconds[32];
            swprintf(seconds, 32, L"%.2f s", session.seconds);
            doctor.Check(L"connect", Status::Ok, std::wstring(L"connected and disconnected in ") + seconds);
        } else {
            doctor.Check(L"connect", Status::Failure, L"the connect failed (see above)",
                         L"fix the failures above; the message names the step that failed");
        }
    }
    return doctor.Finish();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    Options options;
    std::wstring error;
    Reporter report;
    if (!ParseArguments(args, options, error)) {
        // --json may come after the mistake; look for it so that a script still gets JSON.
        for (const std::wstring& arg : args) report.json = report.json || arg == L"--json";
        report.Usage(error);
        return kExitUsage;
    }
    report.json = options.json;
    if (options.subcommand == Subcommand::Help) {
        Term().Out(UsageText());
        return kExitOk;
    }
    ApplyLanguage(options.lang);
    // The connector joins a single-threaded apartment itself; the doctor's table walk needs one too.
    const HRESULT com = CoInitialize(nullptr);
    int exitCode = kExitFailed;
    try {
        switch (options.subcommand) {
            case Subcommand::Versions:
                exitCode = Versions(report);
                break;
            case Subcommand::Connect:
                exitCode = ConnectOnly(options, report);
                break;
            case Subcommand::Run:
                exitCode = Run(options, report);
                break;
            case Subcommand::Doctor:
                exitCode = RunDoctor(options, report);
                break;
            default:
                break;
        }
    } catch (const _com_error& e) {
        // NewCommand passes on what building the command object throws; the session is over then.
        report.Problem(L"qarsldw", L"unexpected COM error " +
                                       FormatString(L"0x%08lX", static_cast<unsigned long>(e.Error())) +
                                       L": " +
                                       TrimEnd(SystemMessageText(static_cast<unsigned long>(e.Error()))));
        exitCode = kExitFailed;
    } catch (const std::exception& e) {
        report.Problem(L"qarsldw",
                       L"unexpected error: " + std::wstring(e.what(), e.what() + strlen(e.what())));
        exitCode = kExitFailed;
    } catch (...) {
        report.Problem(L"qarsldw", L"unexpected error");
        exitCode = kExitFailed;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return exitCode;
}
