// The command-line host's parsing and output formatting, in process; tests/cli_tests.cmake runs the
// whole program for what only it shows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qarsldw/cli.h"

using namespace qarsldw;

// Good command lines give their options; bad ones a message that names the problem.
TEST(CliArguments, AcceptsWhatTheUsageSaysAndRejectsTheRest) {
    const struct {
        std::vector<std::wstring> args;
        std::wstring error;  // "" = accepted, as the subcommand given
        Subcommand subcommand = Subcommand::None;
    } cases[] = {
        {{L"versions"}, L"", Subcommand::Versions},
        {{L"run", L"-", L"--lang", L"ZH-CN"}, L"", Subcommand::Run},
        {{L"doctor", L"--connect"}, L"", Subcommand::Doctor},
        {{L"bogus", L"--help", L"x"}, L"", Subcommand::Help},  // help wins wherever it stands
        {{}, L"no subcommand given"},
        {{L"conect"}, L"unknown subcommand 'conect'"},
        {{L"connect", L"--verbose"}, L"unknown option '--verbose'"},
        {{L"connect", L"--version"}, L"--version needs a value"},
        {{L"connect", L"--version="}, L"--version needs a value"},
        {{L"connect", L"--json=1"}, L"--json takes no value"},
        {{L"run"}, L"run needs a script file, or - for standard input"},
        {{L"run", L"a.txt", L"b.txt"}, L"unexpected argument 'b.txt'"},
        {{L"connect", L"--connect"}, L"--connect belongs to doctor"},
        {{L"connect", L"--attach", L"0x1F"}, L"--attach: '0x1F' is not a window handle (a decimal number)"},
        {{L"connect", L"--lang", L"de-de"}, L"--lang: 'de-de' is not one of en-us, zh-cn, zh-tw"},
        {{L"instances"}, L"", Subcommand::Instances},
        {{L"connect", L"--busy-timeout", L"-1"},
         L"--busy-timeout: '-1' is not a number of seconds (0 to 86400)"},
        {{L"connect", L"--call-timeout=0"}, L"--call-timeout: '0' is not a number of seconds (1 to 86400)"},
        {{L"connect", L"--attach-pid", L"4294967296"}, L"--attach-pid: '4294967296' is not a process id"},
        {{L"connect", L"--attach", L"5", L"--attach-pid", L"7"},
         L"--attach and --attach-pid name the instance twice; give one"},
    };
    for (const auto& c : cases) {
        Options options;
        std::wstring error;
        const std::string what = c.args.empty() ? "(none)" : ToUtf8(c.args[0]);
        EXPECT_EQ(c.error.empty(), ParseArguments(c.args, options, error)) << what;
        EXPECT_EQ(ToUtf8(c.error), ToUtf8(error)) << what;
        EXPECT_TRUE(!c.error.empty() || c.subcommand == options.subcommand) << what;
    }
    Options o;
    std::wstring error;
    ASSERT_TRUE(ParseArguments({L"--json", L"connect", L"--version", L"SolidWorks 2016", L"--attach=-42",
                                L"--arg", L"", L"--lang", L"ZH-TW"},
                               o, error));
    EXPECT_TRUE(o.json && o.subcommand == Subcommand::Connect);
    EXPECT_EQ(L"SolidWorks 2016|-42||zh-tw", o.version + L"|" + o.attach + L"|" + o.addInArg + L"|" + o.lang);
    EXPECT_EQ(60u, o.busyTimeoutSeconds) << "busy applications are waited for a minute unless told";
    ASSERT_TRUE(ParseArguments(
        {L"run", L"-", L"--busy-timeout=0", L"--call-timeout", L"30", L"--attach-pid", L"1234"}, o, error));
    EXPECT_EQ(L"0 30 1234", std::to_wstring(o.busyTimeoutSeconds) + L" " +
                                std::to_wstring(o.callTimeoutSeconds) + L" " + std::to_wstring(o.attachPid));

    // Handle texts as the connector compares them: anything else could never match an instance and
    // would silently start a new one.
    for (const wchar_t* good : {L"0", L"5", L"-1", L"2147483647", L"-2147483648", L"65612"})
        EXPECT_TRUE(IsHandleText(good)) << ToUtf8(good);
    for (const wchar_t* bad : {L"", L"-", L"-0", L"012", L" 5", L"5 ", L"+5", L"5x", L"0x10", L"2147483648",
                               L"-2147483649", L"99999999999"})
        EXPECT_FALSE(IsHandleText(bad)) << ToUtf8(bad);
}

// Script files: UTF-8 (with or without a mark) or UTF-16LE with a mark, anything else refused rather
// than turned into other paths; then arguments, quoting, comments, and the number of the first line
// that cannot be used.
TEST(CliScript, DecodesAndParsesCommandsAndNamesTheFirstBadLine) {
    const struct {
        std::string bytes;
        bool ok;
    } encodings[] = {
        {"open \xE9\x9B\xB6\xE4\xBB\xB6.sldprt", true},
        {"\xEF\xBB\xBFopen \xE9\x9B\xB6\xE4\xBB\xB6.sldprt", true},
        {std::string("\xFF\xFEo\0p\0e\0n\0 \0\xF6\x96\xF6\x4E.\0s\0l\0d\0p\0r\0t\0", 30), true},
        {std::string("\xFF\xFEo\0p\0e", 7), false},  // odd length
        {"open \xE9\x9B.sldprt", false},
        {"open \xC0\xAF.sldprt", false},  // cut off, overlong
    };
    for (const auto& c : encodings) {
        std::wstring text;
        EXPECT_EQ(c.ok, DecodeScript(c.bytes, text)) << c.bytes;
        EXPECT_EQ(c.ok ? "open \xE9\x9B\xB6\xE4\xBB\xB6.sldprt" : "", ToUtf8(text)) << c.bytes;
    }

    std::vector<ScriptCommand> commands;
    std::wstring error;
    ASSERT_TRUE(
        ParseScript(L"# session\r\n\r\n  open C:\\My Parts\\clamp.sldasm  \r\nOPEN \"C:\\a b.sldprt\"\n"
                    L"deps\nmenu Add to PLM\nrefresh \"parts list\" 1\nupdate a \"\"\nsave\nprobe\nclose",
                    commands, error))
        << ToUtf8(error);
    std::wstring got;  // "<line> <command> [<argument>]..." per command
    for (const ScriptCommand& c : commands) {
        got += std::to_wstring(c.line) + L" " + OpName(c.op);
        for (const std::wstring& arg : c.args) got += L" [" + arg + L"]";
        got += L"\n";
    }
    EXPECT_EQ(
        L"3 open [C:\\My Parts\\clamp.sldasm]\n4 open [C:\\a b.sldprt]\n5 deps\n6 menu [Add to PLM]\n"
        L"7 refresh [parts list] [1]\n8 update [a] []\n9 save\n10 probe\n11 close\n",
        got);
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
        EXPECT_FALSE(ParseScript(c.script, commands, error)) << ToUtf8(c.script);
        EXPECT_EQ(ToUtf8(c.error), ToUtf8(error));
    }
}

// JSON text: quotes, backslashes and control characters escaped, everything else kept and written as
// UTF-8; an unpaired surrogate cannot produce invalid UTF-8. Dependency texts split at bars.
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

    EXPECT_EQ(std::vector<std::wstring>{}, SplitDependencies(L""));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L""}), SplitDependencies(L"a|b|"));
}
