// qarsldw.exe: a command-line host of QarSldwInterface_x64.dll, for trying the library, scripting
// sessions and diagnosing an installation. It is a C++ host built with the library's own toolchain
// (the exported classes bind only to hosts built with the same compiler and standard library), and
// it lies beside the DLL, which it loads from its own folder.
//
//   cli.{h,cpp}        the command line, script lines and JSON text, free of COM and the console
//   report.{h,cpp}     every result as a line or as JSON; terminal.{h,cpp} the console or pipe
//   watch.{h,cpp}      progress while waiting, and the --call-timeout watchdog
//   session.{h,cpp}    connect, run a script, disconnect; inventory.{h,cpp} versions and instances
//   doctor.{h,cpp}     the installation's checks, one function each
#include <windows.h>
#include <objbase.h>
#include <comdef.h>

#include <QarSldwInterface.h>

#include <cstring>
#include <string>
#include <vector>

#include "Public/text_helpers.h"
#include "qar_version.h"
#include "sldw/localized_messages.h"
#include "cli.h"
#include "doctor.h"
#include "trace_summary.h"
#include "inventory.h"
#include "module_info.h"
#include "report.h"
#include "session.h"
#include "terminal.h"

using qar::FormatString;
using qar::SystemMessageText;

using namespace qarsldw;

namespace {

// --lang: the thread locale picks the add-in's language file; the thread's UI language picks the
// library's string table on Windows.
void ApplyLanguage(const std::wstring& lang) {
    if (lang.empty()) return;
    const LCID locale = LocaleNameToLCID(lang.c_str(), 0);
    if (locale == 0) return;
    SetThreadLocale(locale);
    SetThreadUILanguage(LANGIDFROMLCID(locale));
}

// `about`: the project version this program was built as, and the library it loaded.
int About() {
    const std::wstring library = qar::ModuleFileName(GetModuleHandleW(L"QarSldwInterface_x64.dll"));
    Terminal::Get().Out(std::wstring(L"qarsldw ") + QAR_VERSION_TEXT + L"\nQarSldwInterface_x64.dll " +
                        FileVersionText(library) + L" " + library + L"\n");
    return kExitOk;
}

int RunSubcommand(const Options& options, Reporter& report) {
    switch (options.subcommand) {
        case Subcommand::Versions:
            return Versions(report);
        case Subcommand::Instances:
            return Instances(report);
        case Subcommand::Connect:
            return ConnectOnly(options, report);
        case Subcommand::Run:
            return RunScript(options, report);
        case Subcommand::Doctor:
            return RunDoctor(options, report);
        case Subcommand::About:
            return About();
        case Subcommand::TraceSummary:
            return RunTraceSummary(options, report);
        default:
            return kExitUsage;
    }
}

// Runs the subcommand; what the library lets pass (out of memory) ends it with a report instead of an
// abort.
int RunReporting(const Options& options, Reporter& report) {
    try {
        return RunSubcommand(options, report);
    } catch (const _com_error& e) {
        const unsigned long code = static_cast<unsigned long>(e.Error());
        report.Problem(L"qarsldw", L"unexpected COM error " + FormatString(L"0x%08lX", code) + L": " +
                                       TrimEnd(SystemMessageText(code)));
    } catch (const std::exception& e) {
        report.Problem(L"qarsldw",
                       L"unexpected error: " + std::wstring(e.what(), e.what() + strlen(e.what())));
    } catch (...) {
        report.Problem(L"qarsldw", L"unexpected error");
    }
    return kExitFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    Options options;
    std::wstring error;
    if (!ParseArguments(args, options, error)) {
        // --json may come after the mistake; look for it so that a script still gets JSON.
        bool json = false;
        for (const std::wstring& arg : args) json = json || arg == L"--json";
        Reporter(json).Usage(error);
        return kExitUsage;
    }
    if (options.subcommand == Subcommand::Help) {
        Terminal::Get().Out(UsageText());
        return kExitOk;
    }
    Reporter report(options.json);
    ApplyLanguage(options.lang);
    // The connector joins a single-threaded apartment itself; the walks of the running-object table
    // need one too. The busy timeout belongs to this thread, where every operation runs.
    const HRESULT com = CoInitialize(nullptr);
    QARCAX::SetBusyTimeout(options.busyTimeoutSeconds * 1000);
    if (!options.trace.empty()) QARCAX::SetTrace(options.trace.c_str());
    const int exitCode = RunReporting(options, report);
    if (SUCCEEDED(com)) CoUninitialize();
    return exitCode;
}
