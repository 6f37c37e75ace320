// The command-line host's parsing and output formatting, in process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qarsldw/cli.h"

using namespace qarsldw;

namespace {

std::string Narrow(const std::wstring& text) {
    return ToUtf8(text);
}

}  // namespace

// Good command lines give their options; bad ones a message that names the problem.
TEST(CliArguments, AcceptsWhatTheUsageSaysAndRejectsTheRest) {
    const struct {
        std::vector<std::wstring> args;
        std::wstring error;  // "" = accepted
        Subcommand subcommand;
    } cases[] = {
        {{L"versions"}, L"", Subcommand::Versions},
        {{L"--json", L"connect", L"--version", L"SolidWorks 2016", L"--attach=-42", L"--arg", L""},
         L"",
         Subcommand::Connect},
        {{L"run", L"-", L"--lang", L"ZH-CN"}, L"", Subcommand::Run},
        {{L"doctor", L"--connect"}, L"", Subcommand::Doctor},
        {{L"bogus", L"x"}, L"--help", Subcommand::Help},  // help wins wherever it stands
        {{}, L"no subcommand given", Subcommand::None},
        {{L"conect"}, L"unknown subcommand 'conect'", Subcommand::None},
        {{L"connect", L"--verbose"}, L"unknown option '--verbose'", Subcommand::None},
        {{L"connect", L"--version"}, L"--version needs a value", Subcommand::None},
        {{L"connect", L"--version="}, L"--version needs a value", Subcommand::None},
        {{L"connect", L"--json=1"}, L"--json takes no value", Subcommand::None},
        {{L"run"}, L"run needs a script file, or - for standard input", Subcommand::None},
        {{L"run", L"a.txt", L"b.txt"}, L"unexpected argument 'b.txt'", Subcommand::None},
        {{L"connect", L"--connect"}, L"--connect belongs to doctor", Subcommand::None},
        {{L"connect", L"--attach", L"0x1F"},
         L"--attach: '0x1F' is not a window handle (a decimal number)",
         Subcommand::None},
        {{L"connect", L"--lang", L"de-de"},
         L"--lang: 'de-de' is not one of en-us, zh-cn, zh-tw",
         Subcommand::None},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> args = c.args;
        if (c.error == L"--help") args.insert(args.begin() + 1, L"--help");
        Options options;
        std::wstring error;
        const bool ok = ParseArguments(args, options, error);
        const std::string what = args.empty() ? "(none)" : Narrow(args[0]);
        if (c.error.empty() || c.error == L"--help") {
            EXPECT_TRUE(ok) << what << ": " << Narrow(error);
            EXPECT_EQ(c.subcommand, options.subcommand) << what;
        } else {
            EXPECT_FALSE(ok) << what;
            EXPECT_EQ(Narrow(c.error), Narrow(error)) << what;
        }
    }
    Options options;
    std::wstring error;
    ASSERT_TRUE(ParseArguments({L"--json", L"connect", L"--version", L"SolidWorks 2016", L"--attach=-42",
                                L"--arg", L"", L"--lang", L"ZH-TW"},
                               options, error));
    EXPECT_TRUE(options.json);
    EXPECT_EQ(L"SolidWorks 2016", options.version);
    EXPECT_EQ(L"-42", options.attach);
    EXPECT_EQ(L"", options.addInArg);
    EXPECT_EQ(L"zh-tw", options.lang);
}

// Handle texts as the connector compares them: anything else could never match an instance and would
// silently start a new one.
TEST(CliArguments, HandleTextIsSignedDecimalWithin32Bits) {
    for (const wchar_t* good : {L"0", L"5", L"-1", L"2147483647", L"-2147483648", L"65612"}) {
        EXPECT_TRUE(IsHandleText(good)) << Narrow(good);
    }
    for (const wchar_t* bad : {L"", L"-", L"-0", L"012", L" 5", L"5 ", L"+5", L"5x", L"0x10", L"2147483648",
                               L"-2147483649", L"99999999999"}) {
        EXPECT_FALSE(IsHandleText(bad)) << Narrow(bad);
    }
}

// Script lines: arguments, quoting, comments, and the line number of the first line it cannot use.
TEST(CliScript, ParsesCommandsAndNamesTheFirstBadLine) {
    std::vector<ScriptCommand> commands;
    std::wstring error;
    ASSERT_TRUE(
        ParseScript(L"# session\r\n\r\n  open C:\\My Parts\\clamp.sldasm  \r\nOPEN \"C:\\a b.sldprt\"\n"
                    L"deps\nmenu Add to PLM\nrefresh \"parts list\" 1\nupdate a \"\"\nsave\nprobe\nclose",
                    commands, error))
        << Narrow(error);
    const struct {
        int line;
        Op op;
        std::vector<std::wstring> args;
    } expected[] = {
        {3, Op::Open, {L"C:\\My Parts\\clamp.sldasm"}},
        {4, Op::Open, {L"C:\\a b.sldprt"}},
        {5, Op::Deps, {}},
        {6, Op::Menu, {L"Add to PLM"}},
        {7, Op::Refresh, {L"parts list", L"1"}},
        {8, Op::Update, {L"a", L""}},
        {9, Op::Save, {}},
        {10, Op::Probe, {}},
        {11, Op::Close, {}},
    };
    ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(expected[i].line, commands[i].line) << i;
        EXPECT_EQ(expected[i].op, commands[i].op) << i;
        EXPECT_EQ(expected[i].args, commands[i].args) << i;
    }

    const struct {
        const wchar_t* script;
        const wchar_t* error;
    } bad[] = {
        {L"open a\nopn b",
         L"line 2: unknown command 'opn' (known: open, close, save, deps, menu, refresh, update, probe)"},
        {L"\n\nopen", L"line 3: open needs a document path"},
        {L"open \"\"", L"line 1: open needs a document path"},
        {L"save now", L"line 1: save takes no arguments"},
        {L"refresh parts", L"line 1: refresh needs two table arguments, got 1"},
        {L"update a b c", L"line 1: update needs two table arguments, got 3"},
        {L"refresh \"parts 1", L"line 1: a quote is not closed"},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(ParseScript(c.script, commands, error)) << Narrow(c.script);
        EXPECT_EQ(Narrow(c.error), Narrow(error));
    }
}

// Script files arrive as UTF-8 (with or without a mark) or UTF-16LE with a mark; anything else is
// refused rather than turned into other paths.
TEST(CliScript, DecodesUtf8AndUtf16AndRefusesOtherBytes) {
    const std::wstring expected = L"open \u96F6\u4EF6.sldprt";
    const struct {
        std::string bytes;
        bool ok;
    } cases[] = {
        {"open \xE9\x9B\xB6\xE4\xBB\xB6.sldprt", true},
        {"\xEF\xBB\xBFopen \xE9\x9B\xB6\xE4\xBB\xB6.sldprt", true},
        {std::string("\xFF\xFEo\0p\0e\0n\0 \0\xF6\x96\xF6\x4E.\0s\0l\0d\0p\0r\0t\0", 30), true},
        {std::string("\xFF\xFEo\0p\0e", 7), false},  // odd length
        {"open \xE9\x9B.sldprt", false},             // cut-off sequence
        {"open \xC0\xAF.sldprt", false},             // overlong
    };
    for (const auto& c : cases) {
        std::wstring text;
        EXPECT_EQ(c.ok, DecodeScript(c.bytes, text)) << c.bytes;
        if (c.ok) {
            EXPECT_EQ(Narrow(expected), Narrow(text));
        }
    }
}

// JSON text: quotes, backslashes and control characters escaped, everything else kept and written as
// UTF-8; an unpaired surrogate cannot produce invalid UTF-8.
TEST(CliJson, EscapesAndEncodes) {
    const struct {
        std::wstring text;
        std::string json;
    } cases[] = {
        {L"C:\\work\\\"a\".sldasm", "\"C:\\\\work\\\\\\\"a\\\".sldasm\""},
        {L"a\r\nb\tc\x01\x1F\x7F", "\"a\\r\\nb\\tc\\u0001\\u001f\\u007f\""},
        {L"\u542F\u52A8 \U0001F600", "\"\xE5\x90\xAF\xE5\x8A\xA8 \xF0\x9F\x98\x80\""},
        {std::wstring(L"x\xD800y", 3), "\"x\xEF\xBF\xBDy\""},
        {std::wstring(L"\xDC00", 1), "\"\xEF\xBF\xBD\""},
        {std::wstring(L"a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.json, ToUtf8(JsonString(c.text)));

    EXPECT_EQ("{\"line\":3,\"ok\":false,\"seconds\":1.250,\"files\":[\"a\",\"b|c\"],\"x\":{}}",
              ToUtf8(JsonObject()
                         .Add(L"line", 3)
                         .Add(L"ok", false)
                         .AddNumber(L"seconds", 1.25)
                         .Add(L"files", std::vector<std::wstring>{L"a", L"b|c"})
                         .AddRaw(L"x", L"{}")
                         .Text()));
}

TEST(CliJson, DependencyTextSplitsAtBars) {
    EXPECT_EQ(std::vector<std::wstring>{}, SplitDependencies(L""));
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\a.sldprt"}), SplitDependencies(L"C:\\a.sldprt"));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L""}), SplitDependencies(L"a|b|"));
}
