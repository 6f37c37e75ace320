#include "tools/qarsldw/cli.h"

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
           L"  connect             connect, print the application's window-handle text, disconnect\n"
           L"  run SCRIPT|-        connect once and run the script's commands (file or standard input):\n"
           L"                      open PATH, close, save, deps, menu ARG, refresh A B, update A B, probe\n"
           L"  doctor [--connect]  check the installation; --connect also connects and disconnects\n"
           L"options:\n"
           L"  --version TEXT      CAD version, e.g. \"SolidWorks 2016\" (default: the user's current one)\n"
           L"  --attach HANDLE     attach to the running instance with this window-handle text\n"
           L"  --arg TEXT          argument handed to the add-in\n"
           L"  --lang en-us|zh-cn|zh-tw  language of messages and of the add-in's language file\n"
           L"  --json              one JSON object per result on standard output\n";
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

bool ParseArguments(const std::vector<std::wstring>& args, Options& options, std::wstring& error) {
    options = Options();
    std::vector<std::wstring> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg.size() < 2 || arg[0] != L'-') {
            positional.push_back(arg);  // "-" is standard input for run
            continue;
        }
        std::wstring name = arg, value;
        bool hasValue = false;
        const size_t equals = arg.find(L'=');
        if (equals != std::wstring::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        if (name == L"--help" || name == L"-h") {
            options.subcommand = Subcommand::Help;
            return true;
        }
        if (name == L"--json" || name == L"--connect") {
            if (hasValue) {
                error = name + L" takes no value";
                return false;
            }
            (name == L"--json" ? options.json : options.connect) = true;
            continue;
        }
        std::wstring* target = name == L"--version"  ? &options.version
                               : name == L"--attach" ? &options.attach
                               : name == L"--arg"    ? &options.addInArg
                               : name == L"--lang"   ? &options.lang
                                                     : nullptr;
        if (target == nullptr) {
            error = L"unknown option '" + name + L"'";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = name + L" needs a value";
                return false;
            }
            value = args[++i];
        }
        // The add-in argument may be empty; a version, handle or language may not.
        if (value.empty() && name != L"--arg") {
            error = name + L" needs a value";
            return false;
        }
        *target = value;
    }

    if (positional.empty()) {
        error = L"no subcommand given";
        return false;
    }
    const std::wstring& sub = positional[0];
    size_t expected = 1;
    if (sub == L"versions") {
        options.subcommand = Subcommand::Versions;
    } else if (sub == L"connect") {
        options.subcommand = Subcommand::Connect;
    } else if (sub == L"doctor") {
        options.subcommand = Subcommand::Doctor;
    } else if (sub == L"help") {
        options.subcommand = Subcommand::Help;
    } else if (sub == L"run") {
        options.subcommand = Subcommand::Run;
        expected = 2;
        if (positional.size() < 2) {
            error = L"run needs a script file, or - for standard input";
            return false;
        }
        options.script = positional[1];
    } else {
        error = L"unknown subcommand '" + sub + L"'";
        return false;
    }
    if (positional.size() > expected) {
        error = L"unexpected argument '" + positional[expected] + L"'";
        return false;
    }
    if (options.connect && options.subcommand != Subcommand::Doctor) {
        error = L"--connect belongs to doctor";
        return false;
    }
    if (!options.attach.empty() && !IsHandleText(options.attach)) {
        error = L"--attach: '" + options.attach + L"' is not a window handle (a decimal number)";
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
