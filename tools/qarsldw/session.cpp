#include "session.h"

#include <Public/status_record.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "Public/owners.h"
#include "Public/text_helpers.h"
#include "Public/version_choice.h"
#include "inventory.h"
#include "terminal.h"

using qar::ChosenVersion;
using qar::SystemMessageText;

namespace qarsldw {

namespace {

constexpr int kSolidWorks = 3;
// A script is a list of commands: anything this large is a mistake, not a script.
constexpr size_t kMaxScriptBytes = 16u << 20;

std::wstring SecondsText(double seconds) {
    wchar_t text[32];
    swprintf(text, 32, L"%.2f s", seconds);
    return text;
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

// The window-handle text to attach to: --attach, or the instance of --attach-pid; false after
// reporting a process that runs none.
bool AttachText(const Options& options, Reporter& report, std::wstring& handleText) {
    handleText = options.attach;
    if (options.attachPid == 0) return true;
    std::wstring error;
    if (HandleOfProcess(options.attachPid, handleText, error)) return true;
    report.Problem(L"connect", error);
    return false;
}

// What one script command did.
struct Outcome {
    int result = 0;
    std::wstring argument;  // the command's argument as used (a path made absolute)
    std::wstring shown;     // what a human sees after the command's name
    std::wstring text;      // a saved path or the dependency list
    bool connected = true;
};

Outcome Perform(const ScriptCommand& step, QARCAX::CaxCommand& command) {
    Outcome outcome;
    outcome.argument = step.args.empty() ? L"" : step.args[0];
    switch (step.op) {
        case Op::Open:
            outcome.argument = FullPath(outcome.argument);
            outcome.shown = L" " + outcome.argument;
            outcome.result = command.OpenFile(outcome.argument);
            break;
        case Op::Close:
            outcome.result = command.CloseFile();
            break;
        case Op::Save:
            outcome.result = command.SaveFile(outcome.text);
            break;
        case Op::Deps:
            outcome.result = command.GetDependencies(outcome.text);
            break;
        case Op::Menu:
            outcome.shown = L" " + outcome.argument;
            outcome.result = command.CreateMenu(outcome.argument);
            break;
        case Op::Refresh:
        case Op::Update:
            outcome.shown = L" " + step.args[0] + L" " + step.args[1];
            outcome.result = step.op == Op::Refresh ? command.RefreshTable(step.args[0], step.args[1])
                                                    : command.UpdateTable(step.args[0], step.args[1]);
            break;
        case Op::Probe:
            outcome.connected = command.IsConnected();
            outcome.result = outcome.connected ? 0 : -1;
            break;
    }
    return outcome;
}

Result Describe(const ScriptCommand& step, const Outcome& outcome, const QARCAX::CaxCommand& command) {
    const std::wstring what = L"line " + std::to_wstring(step.line) + L": " + OpName(step.op) + outcome.shown;
    const bool ok = outcome.result == 0;
    JsonObject json;
    json.Add(L"line", step.line).Add(L"command", OpName(step.op)).Add(L"ok", ok);
    if (step.op == Op::Open) json.Add(L"path", outcome.argument);
    if (!ok) {
        std::wstring message = command.errorMessage;
        if (step.op == Op::Probe && message.empty()) message = L"the application does not answer";
        if (step.op == Op::Probe) json.Add(L"connected", false);
        return FailureResult(json, what, outcome.result, command.errorCode, message);
    }
    Result result;
    result.text = what + L": ok";
    const std::vector<std::wstring> files = SplitDependencies(outcome.text);
    if (step.op == Op::Save) {
        json.Add(L"path", outcome.text);
        result.text += L", saved " + outcome.text;
    } else if (step.op == Op::Deps) {
        json.Add(L"dependencies", files);
        result.text += L", " + std::to_wstring(files.size()) + (files.size() == 1 ? L" file" : L" files");
        for (const std::wstring& file : files) result.text += L"\n  " + file;
    } else if (step.op == Op::Probe) {
        json.Add(L"connected", true);
        result.text += L", the application answers";
    }
    result.json = json;
    return result;
}

// Runs one script command and reports it; false when it failed.
bool RunCommand(const Options& options, const ScriptCommand& step, QARCAX::CaxCommand& command,
                Reporter& report) {
    // Watched, so that a failure shows this command's record, not an earlier one.
    const qar::StatusRecord::Watch watch(qar::RecordOf(command));
    Outcome outcome;
    const std::wstring label = L"line " + std::to_wstring(step.line) + L": " + OpName(step.op);
    Watch(WatchingFor(options), label, [&] { outcome = Perform(step, command); });
    const Result result = Describe(step, outcome, command);
    report.Write(result);
    return !result.failed;
}

}  // namespace

Watching WatchingFor(const Options& options, unsigned long showAfterMs) {
    Watching watching;
    watching.showProgress = !options.json && Terminal::Get().OutIsConsole();
    watching.showAfterMs = showAfterMs;
    watching.callTimeoutSeconds = options.callTimeoutSeconds;
    watching.json = options.json;
    return watching;
}

bool Connect(const Options& options, Reporter& report, Session& session) {
    const std::wstring version = ChosenVersion(kSolidWorks, options.version);
    if (version.empty()) {
        report.Problem(L"connect",
                       L"no version of the CAD application is installed; name one with --version");
        return false;
    }
    std::wstring handleText;
    if (!AttachText(options, report, handleText)) return false;
    session.connector =
        std::make_unique<QARCAX::SldwConnector>(kSolidWorks, version, handleText, options.addInArg);
    QARCAX::CaxCommand* made = nullptr;
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    // The connect has shown its progress after half a second since its first release.
    Watch(WatchingFor(options, 500), L"connect " + version,
          [&] { result = session.connector->NewCommand(nullptr, made); });
    session.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    session.command.reset(made);
    JsonObject json;
    json.Add(L"command", L"connect")
        .Add(L"ok", result == 0 && session.command != nullptr)
        .Add(L"version", version);
    if (result != 0 || !session.command) {
        session.command.reset();
        report.Write(FailureResult(json, L"connect " + version, result, session.connector->errorCode,
                                   session.connector->errorMessage));
        return false;
    }
    const std::wstring handle = session.command->connection.appHandleText;
    Result connected;
    connected.json = json;
    connected.json.Add(L"handle", handle).AddNumber(L"seconds", session.seconds);
    connected.text = L"connected to " + version + L", window handle " + handle + L" (" +
                     SecondsText(session.seconds) + L")";
    report.Write(connected);
    return true;
}

// Says "Disconnect" to the add-in and describes only this call's failure: the status record is
// watched for the call (and the watch ends before the command may go).
Result DisconnectCommand(const Options& options, QARCAX::CaxCommand& command) {
    const qar::StatusRecord::Watch watch(qar::RecordOf(command));
    Watch(WatchingFor(options), L"disconnect", [&] { command.Disconnect(); });
    JsonObject json;
    json.Add(L"command", L"disconnect").Add(L"ok", command.errorCode == 0);
    Result result;
    result.json = json;
    result.text = L"disconnected";
    if (command.errorCode != 0) {
        result.json.Add(L"code", command.errorCode).Add(L"message", command.errorMessage);
        result.text = L"disconnect: failed (code " + std::to_wstring(command.errorCode) + L"): " +
                      TrimEnd(command.errorMessage);
        result.failed = result.toError = true;
    }
    return result;
}

// The command is deleted after its disconnect (its destructor repeats the call, which the add-in
// takes as a no-op once it has let go of the host).
bool Disconnect(const Options& options, Reporter& report, Session& session) {
    const Result result = DisconnectCommand(options, *session.command);
    report.Write(result);
    Watch(WatchingFor(options), L"disconnect", [&] { session.command.reset(); });
    return !result.failed;
}

int ConnectOnly(const Options& options, Reporter& report) {
    Session session;
    if (!Connect(options, report, session)) return kExitFailed;
    return Disconnect(options, report, session) ? kExitOk : kExitFailed;
}

bool ReadAll(const std::wstring& source, std::string& bytes, std::wstring& error) {
    bytes.clear();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    qar::UniqueHandle file;
    if (source != L"-") {
        file.Reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = L"cannot open " + source + L": " + TrimEnd(SystemMessageText(GetLastError()));
            return false;
        }
        input = file.Get();
    }
    std::vector<char> buffer(65536);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
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
        bytes.append(buffer.data(), read);
    }
    return true;
}

int RunScript(const Options& options, Reporter& report) {
    // The whole script is read and checked before connecting: a typo on the last line should not cost
    // the seconds of starting the application.
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
        // The first failure ends the script: later commands build on the earlier ones (a save after a
        // failed open would save some other document).
        if (!RunCommand(options, step, *session.command, report)) break;
    }
    Disconnect(options, report, session);
    return report.ExitCode();
}

}  // namespace qarsldw
