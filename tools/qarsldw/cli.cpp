#include "cli.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cwctype>

namespace qarsldw {

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

struct OpShape {
    const wchar_t* name;
    Op op;
    int arity;            // arguments it takes
    bool restOfLine;      // its one argument is the rest of the line
    const wchar_t* what;  // what the argument is, for messages
};

const OpShape kOps[] = {
    {L"open", Op::Open, 1, true, L"a document path"},
    {L"close", Op::Close, 0, false, L""},
    {L"save", Op::Save, 0, false, L""},
    {L"deps", Op::Deps, 0, false, L""},
    {L"menu", Op::Menu, 1, true, L"the menu argument"},
    {L"refresh", Op::Refresh, 2, false, L"two table arguments"},
    {L"update", Op::Update, 2, false, L"two table arguments"},
    {L"probe", Op::Probe, 0, false, L""},
};

// Blank-separated words of `text`; a double-quoted word may hold blanks (no escapes: paths keep
// their backslashes). false for a quote that is not closed.
bool Words(const std::wstring& text, std::vector<std::wstring>& words) {
    words.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (IsBlank(text[i])) {
            ++i;
            continue;
        }
        std::wstring word;
        if (text[i] == L'"') {
            const size_t close = text.find(L'"', i + 1);
            if (close == std::wstring::npos) return false;
            word = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < text.size() && !IsBlank(text[i])) word += text[i++];
        }
        words.push_back(word);
    }
    return true;
}

std::wstring LineError(int line, const std::wstring& message) {
    return L"line " + std::to_wstring(line) + L": " + message;
}

}  // namespace

const wchar_t* UsageText() {
    return L"usage: qarsldw <subcommand> [options]\n"
           L"  versions            installed versions per CAD family, the current one and their ProgIDs\n"
           L"  instances           running instances: window-handle text and process id of each\n"
           L"  connect             connect, print the application's window-handle text, disconnect\n"
           L"  run SCRIPT|-        connect once and run the script's commands (file or standard input):\n"
           L"                      open PATH, close, save, deps, menu ARG, refresh A B, update A B, probe\n"
           L"  doctor [--connect]  check the installation; --connect also connects and disconnects\n"
           L"  about               this program's version and the library's file version\n"
           L"  trace summary FILE  per operation and per far-side call: count, failures, median, p95, max\n"
           L"options:\n"
           L"  --version TEXT      CAD version, e.g. \"SolidWorks 2016\" (default: the user's current one)\n"
           L"  --attach HANDLE     attach to the running instance with this window-handle text\n"
           L"  --attach-pid PID    attach to the running instance of this process\n"
           L"  --arg TEXT          argument handed to the add-in\n"
           L"  --lang en-us|zh-cn|zh-tw  language of messages and of the add-in's language file\n"
           L"  --busy-timeout SECONDS  how long a busy application is waited for (default 60; 0: not)\n"
           L"  --call-timeout SECONDS  give up and exit (code 3) when one operation has no answer that long\n"
           L"  --json              one JSON object per result on standard output\n"
           L"  --trace FILE        the library's call trace (JSON Lines) for this run, into FILE\n";
}

bool IsHandleText(const std::wstring& text) {
    size_t i = text.empty() || text[0] != L'-' ? 0 : 1;
    const size_t digits = text.size() - i;
    if (digits == 0 || digits > 10) return false;
    if (text[i] == L'0' && (digits > 1 || i == 1)) return false;  // "0" only, never "-0" or "012"
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        value = value * 10 + (text[i] - L'0');
    }
    return text[0] == L'-' ? -value >= INT_MIN : value <= INT_MAX;
}

namespace {

// The options, by the kind of value they take.
struct FlagOption {
    const wchar_t* name;
    bool Options::*member;
};
struct TextOption {
    const wchar_t* name;
    std::wstring Options::*member;
    bool emptyAllowed;  // the add-in argument may be empty; a version, handle or language may not
};
struct NumberOption {
    const wchar_t* name;
    unsigned long Options::*member;
    unsigned long least, most;
    const wchar_t* what;
};
const FlagOption kFlags[] = {{L"--json", &Options::json}, {L"--connect", &Options::connect}};
const TextOption kTexts[] = {{L"--version", &Options::version, false},
                             {L"--attach", &Options::attach, false},
                             {L"--arg", &Options::addInArg, true},
                             {L"--lang", &Options::lang, false},
                             {L"--trace", &Options::trace, false}};
const NumberOption kNumbers[] = {
    {L"--busy-timeout", &Options::busyTimeoutSeconds, 0, 86400, L"a number of seconds (0 to 86400)"},
    {L"--call-timeout", &Options::callTimeoutSeconds, 1, 86400, L"a number of seconds (1 to 86400)"},
    {L"--attach-pid", &Options::attachPid, 1, 0xFFFFFFFFUL, L"a process id"},
};

template <class Shape, size_t N>
const Shape* Find(const Shape (&shapes)[N], const std::wstring& name) {
    for (const Shape& shape : shapes) {
        if (name == shape.name) return &shape;
    }
    return nullptr;
}

// Decimal digits only, within [least, most].
bool ParseNumber(const std::wstring& text, unsigned long least, unsigned long most, unsigned long& value) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    if (number < least || number > most) return false;
    value = static_cast<unsigned long>(number);
    return true;
}

// The options, wherever they stand; the rest goes to `positional`. --help ends the reading.
bool ReadOptions(const std::vector<std::wstring>& args, Options& options,
                 std::vector<std::wstring>& positional, std::wstring& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg.size() < 2 || arg[0] != L'-') {
            positional.push_back(arg);  // "-" is standard input for run
            continue;
        }
        const size_t equals = arg.find(L'=');
        const std::wstring name = arg.substr(0, equals);
        if (name == L"--help" || name == L"-h") {
            options.subcommand = Subcommand::Help;
            return true;
        }
        if (const FlagOption* flag = Find(kFlags, name)) {
            if (equals != std::wstring::npos) {
                error = name + L" takes no value";
                return false;
            }
            options.*flag->member = true;
            continue;
        }
        const TextOption* text = Find(kTexts, name);
        const NumberOption* number = Find(kNumbers, name);
        if (text == nullptr && number == nullptr) {
            error = L"unknown option '" + name + L"'";
            return false;
        }
        if (equals == std::wstring::npos && i + 1 >= args.size()) {
            error = name + L" needs a value";
            return false;
        }
        const std::wstring value = equals != std::wstring::npos ? arg.substr(equals + 1) : args[++i];
        if (value.empty() && (number != nullptr || !text->emptyAllowed)) {
            error = name + L" needs a value";
            return false;
        }
        if (text != nullptr) {
            options.*text->member = value;
        } else if (!ParseNumber(value, number->least, number->most, options.*number->member)) {
            error = name + L": '" + value + L"' is not " + number->what;
            return false;
        }
    }
    return true;
}

// The subcommand and its own argument.
bool ReadSubcommand(const std::vector<std::wstring>& positional, Options& options, std::wstring& error) {
    if (positional.empty()) {
        error = L"no subcommand given";
        return false;
    }
    static const std::pair<const wchar_t*, Subcommand> kSubcommands[] = {
        {L"versions", Subcommand::Versions}, {L"instances", Subcommand::Instances},
        {L"connect", Subcommand::Connect},   {L"run", Subcommand::Run},
        {L"doctor", Subcommand::Doctor},     {L"help", Subcommand::Help},
        {L"about", Subcommand::About},       {L"trace", Subcommand::TraceSummary},
    };
    options.subcommand = Subcommand::None;
    for (const auto& [name, subcommand] : kSubcommands) {
        if (positional[0] == name) options.subcommand = subcommand;
    }
    if (options.subcommand == Subcommand::None) {
        error = L"unknown subcommand '" + positional[0] + L"'";
        return false;
    }
    size_t expected = 1;
    if (options.subcommand == Subcommand::Run) {
        if (positional.size() < 2) {
            error = L"run needs a script file, or - for standard input";
            return false;
        }
        options.script = positional[1];
        expected = 2;
    }
    if (options.subcommand == Subcommand::TraceSummary) {
        if (positional.size() < 3 || positional[1] != L"summary") {
            error = L"trace needs: summary FILE";
            return false;
        }
        options.script = positional[2];
        expected = 3;
    }
    if (positional.size() > expected) {
        error = L"unexpected argument '" + positional[expected] + L"'";
        return false;
    }
    return true;
}

// What holds only for the options together.
bool CheckTogether(Options& options, std::wstring& error) {
    if (options.connect && options.subcommand != Subcommand::Doctor) {
        error = L"--connect belongs to doctor";
        return false;
    }
    if (!options.attach.empty() && !IsHandleText(options.attach)) {
        error = L"--attach: '" + options.attach + L"' is not a window handle (a decimal number)";
        return false;
    }
    if (!options.attach.empty() && options.attachPid != 0) {
        error = L"--attach and --attach-pid name the instance twice; give one";
        return false;
    }
    if (!options.lang.empty()) {
        options.lang = Lower(options.lang);
        if (options.lang != L"en-us" && options.lang != L"zh-cn" && options.lang != L"zh-tw") {
            error = L"--lang: '" + options.lang + L"' is not one of en-us, zh-cn, zh-tw";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::wstring>& args, Options& options, std::wstring& error) {
    options = Options();
    std::vector<std::wstring> positional;
    if (!ReadOptions(args, options, positional, error)) return false;
    if (options.subcommand == Subcommand::Help) return true;
    return ReadSubcommand(positional, options, error) && CheckTogether(options, error);
}

const wchar_t* OpName(Op op) {
    for (const OpShape& shape : kOps) {
        if (shape.op == op) return shape.name;
    }
    return L"?";
}

bool ParseScript(const std::wstring& text, std::vector<ScriptCommand>& commands, std::wstring& error) {
    commands.clear();
    int lineNumber = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == L'#') continue;

        size_t nameEnd = 0;
        while (nameEnd < line.size() && !IsBlank(line[nameEnd])) ++nameEnd;
        const std::wstring name = line.substr(0, nameEnd);
        const std::wstring rest = Trim(line.substr(nameEnd));
        const OpShape* shape = nullptr;
        for (const OpShape& candidate : kOps) {
            if (Lower(name) == candidate.name) shape = &candidate;
        }
        if (shape == nullptr) {
            error = LineError(lineNumber,
                              L"unknown command '" + name +
                                  L"' (known: open, close, save, deps, menu, refresh, update, probe)");
            return false;
        }
        ScriptCommand command;
        command.line = lineNumber;
        command.op = shape->op;
        if (shape->restOfLine) {
            std::wstring argument = rest;
            if (argument.size() >= 2 && argument.front() == L'"' && argument.back() == L'"') {
                argument = argument.substr(1, argument.size() - 2);
            }
            if (argument.empty()) {
                error = LineError(lineNumber, std::wstring(shape->name) + L" needs " + shape->what);
                return false;
            }
            command.args.push_back(argument);
        } else {
            if (!Words(rest, command.args)) {
                error = LineError(lineNumber, L"a quote is not closed");
                return false;
            }
            if (static_cast<int>(command.args.size()) != shape->arity) {
                error = LineError(lineNumber, shape->arity == 0
                                                  ? std::wstring(shape->name) + L" takes no arguments"
                                                  : std::wstring(shape->name) + L" needs " + shape->what +
                                                        L", got " + std::to_wstring(command.args.size()));
                return false;
            }
        }
        commands.push_back(command);
    }
    return true;
}

bool DecodeScript(const std::string& bytes, std::wstring& text) {
    text.clear();
    if (bytes.size() > static_cast<size_t>(INT_MAX)) return false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) return false;
        text.resize((bytes.size() - 2) / 2);
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                           (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
        }
        return true;
    }
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const int length = static_cast<int>(bytes.size() - skip);
    if (length == 0) return true;
    const int chars =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + skip, length, nullptr, 0);
    if (chars <= 0) return false;
    text.resize(static_cast<size_t>(chars));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + skip, length, &text[0], chars) ==
           chars;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = static_cast<unsigned short>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(text[++i]) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring JsonString(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        switch (c) {
            case L'"':
                out += L"\\\"";
                break;
            case L'\\':
                out += L"\\\\";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\t':
                out += L"\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    wchar_t escaped[8];
                    swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + L"\"";
}

void JsonObject::Name(const std::wstring& name) {
    if (body_.size() > 1) body_ += L',';
    body_ += JsonString(name) + L':';
}

JsonObject& JsonObject::Add(const std::wstring& name, const std::wstring& value) {
    Name(name);
    body_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(const std::wstring& name, bool value) {
    Name(name);
    body_ += value ? L"true" : L"false";
    return *this;
}

JsonObject& JsonObject::Add(const std::wstring& name, long long value) {
    Name(name);
    body_ += std::to_wstring(value);
    return *this;
}

JsonObject& JsonObject::AddNumber(const std::wstring& name, double value) {
    char text[64];
    snprintf(text, sizeof(text), "%.3f", value);
    Name(name);
    body_ += std::wstring(text, text + strlen(text));
    return *this;
}

JsonObject& JsonObject::Add(const std::wstring& name, const std::vector<std::wstring>& values) {
    Name(name);
    body_ += L'[';
    for (size_t i = 0; i < values.size(); ++i) body_ += (i > 0 ? L"," : L"") + JsonString(values[i]);
    body_ += L']';
    return *this;
}

JsonObject& JsonObject::AddRaw(const std::wstring& name, const std::wstring& json) {
    Name(name);
    body_ += json;
    return *this;
}

std::vector<std::wstring> SplitDependencies(const std::wstring& text) {
    std::vector<std::wstring> parts;
    for (size_t start = 0; !text.empty() && start <= text.size();) {
        size_t end = text.find(L'|', start);
        if (end == std::wstring::npos) end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace qarsldw
