// The command-line host's parsing and formatting, kept free of COM and of the console so that the
// tests can drive it in process: the command line, script lines, and the text of each result (human
// or JSON).
//
//   Options options;
//   std::wstring error;
//   if (!ParseArguments(args, options, error)) { /* print error, exit 2 */ }
#pragma once

#include <string>
#include <vector>

namespace qarsldw {

enum class Subcommand { None, Help, About, Versions, Instances, Connect, Run, Doctor, TraceSummary };

struct Options {
    Subcommand subcommand = Subcommand::None;
    std::wstring version;   // --version: "" = the user's current version
    std::wstring attach;    // --attach: a running instance's window-handle text, "" = none
    std::wstring addInArg;  // --arg: handed to the add-in unchanged
    std::wstring lang;      // --lang: en-us, zh-cn or zh-tw; "" = the user's language
    std::wstring script;    // run: a file path, or "-" for standard input; trace summary: the trace
    std::wstring trace;     // --trace: the library's call trace goes to this file
    bool json = false;      // --json
    bool connect = false;   // doctor --connect
    unsigned long busyTimeoutSeconds = 60;  // --busy-timeout: 0 turns the busy policy off
    unsigned long callTimeoutSeconds = 0;   // --call-timeout: 0 waits for every answer however long
    unsigned long attachPid = 0;            // --attach-pid: the instance of this process, 0 = none
};

// Parses the arguments after the program name. false with a one-line `error` for an unknown
// subcommand or option, a missing or surplus argument, an option that needs a value and has none,
// a handle text that is not a number, a number out of its range, --attach with --attach-pid, or a
// language without a table.
bool ParseArguments(const std::vector<std::wstring>& args, Options& options, std::wstring& error);

// The usage text printed by `help` and after a usage error.
const wchar_t* UsageText();

// Whether `text` is a window handle as the connector compares it: signed decimal, no spaces or
// leading zeros, within 32 bits ("0" and "-1" pass, "012", " 5", "5x", "4294967296" do not).
bool IsHandleText(const std::wstring& text);

// One command of a `run` script.
enum class Op { Open, Close, Save, Deps, Menu, Refresh, Update, Probe };

struct ScriptCommand {
    int line = 0;  // 1-based line number in the script
    Op op = Op::Probe;
    std::vector<std::wstring> args;
};

// The name a script uses for `op` ("open", "deps", ...).
const wchar_t* OpName(Op op);

// Splits a script into commands. Blank lines and lines starting with '#' are skipped. Arguments are
// separated by blanks; a double-quoted argument may hold blanks. `open` and `menu` take the rest of
// the line as their one argument (quotes around all of it are removed), because paths and menu
// texts often hold blanks. false with "line N: ..." in `error` for the first line it cannot use.
bool ParseScript(const std::wstring& text, std::vector<ScriptCommand>& commands, std::wstring& error);

// The text of a script file's bytes: UTF-8 (with or without its mark) or UTF-16LE with its mark.
// false for bytes that are neither (invalid UTF-8, a UTF-16 file of odd length).
bool DecodeScript(const std::string& bytes, std::wstring& text);

// UTF-8 for UTF-16 text; an unpaired surrogate becomes U+FFFD rather than invalid output.
std::string ToUtf8(const std::wstring& text);

// `text` as a JSON string literal, quotes included: quote, backslash and every control character
// escaped, everything else kept (the output is UTF-8 at the end).
std::wstring JsonString(const std::wstring& text);

// Builds one JSON object, members in the order they are added.
//   JsonObject().Add(L"command", L"open").Add(L"ok", true).Text() == L"{\"command\":\"open\",\"ok\":true}"
class JsonObject {
public:
    JsonObject& Add(const std::wstring& name, const std::wstring& value);
    JsonObject& Add(const std::wstring& name, const wchar_t* value) { return Add(name, std::wstring(value)); }
    JsonObject& Add(const std::wstring& name, bool value);
    JsonObject& Add(const std::wstring& name, long long value);
    JsonObject& Add(const std::wstring& name, int value) { return Add(name, static_cast<long long>(value)); }
    JsonObject& AddNumber(const std::wstring& name, double value);  // fixed, 3 decimals
    JsonObject& Add(const std::wstring& name, const std::vector<std::wstring>& values);
    // `json` must already be JSON text (an object or array).
    JsonObject& AddRaw(const std::wstring& name, const std::wstring& json);
    std::wstring Text() const { return body_ + L"}"; }

private:
    void Name(const std::wstring& name);
    std::wstring body_ = L"{";
};

// The dependency text of CaxCommand::GetDependencies ("a|b|c") as a list; "" gives none.
std::vector<std::wstring> SplitDependencies(const std::wstring& text);

}  // namespace qarsldw
