// A C++ host written against qar_hourglass.hpp alone (and the standard library): the session of the
// Microsoft-ABI C host through the hourglass objects, one step a row of the table, in the hosts'
// installation folder. Its import table holds only the DLL's C functions. Exit code: failed steps.
#include <qar_hourglass.hpp>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

// This program's folder, from its first argument's path as the C runtime gives it.
std::wstring ProgramFolder(const wchar_t* program) {
    const std::wstring path(program);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

}  // namespace

int wmain(int, wchar_t** argv) {
    const std::wstring samples = ProgramFolder(argv[0]) + L"samples\\", clamp = samples + L"clamp.sldasm";
    const std::wstring dependencies = samples + L"plate.sldprt|" + samples + L"bolt.sldprt";
    QarSldw::Connector connector(3, L"SolidWorks 2016", L"", L"--hourglass-host");
    QarSldw::Command command;
    std::wstring text;
    struct Step {
        const char* name;
        std::function<bool()> run;
    };
    const Step steps[] = {
        {"busy timeout set and read back for this thread",
         [&] { return QarSldw::SetBusyTimeout(5000) == 0 && QarSldw::GetBusyTimeout() == 5000; }},
        {"trace and dumps switched on and off",
         [&] {
             return QarSldw::SetTrace((samples + L"trace.jsonl").c_str()) == 0 &&
                    QarSldw::SetDumps(samples.c_str(), 1) == 0 && QarSldw::SetTrace(nullptr) == 0 &&
                    QarSldw::SetDumps(L"") == 0;
         }},
        {"connector created", [&] { return static_cast<bool>(connector); }},
        {"connect",
         [&] { return connector.NewCommand(nullptr, command) == 0 && command && command.IsConnected(); }},
        {"open samples\\clamp.sldasm", [&] { return command.OpenFile(clamp) == 0; }},
        // Longer than the first buffer (8 characters in this build): fetched whole with its size.
        {"dependencies past the first buffer",
         [&] { return command.GetDependencies(text) == 0 && text == dependencies; }},
        {"create a menu", [&] { return command.CreateMenu(L"PLM") == 0; }},
        {"save", [&] { return command.SaveFile(text) == 0 && text == clamp; }},
        {"close", [&] { return command.CloseFile() == 0; }},
        {"open a missing file: -1 and the status record",
         [&] {
             return command.OpenFile(samples + L"missing.sldasm") == -1 && command.status().errorCode == -1 &&
                    !command.status().errorMessage.empty();
         }},
        {"a moved-from command refuses with QAR_E_NULL_HANDLE",
         [&] {
             QarSldw::Command moved(std::move(command));
             const bool refused = command.CloseFile() == QAR_E_NULL_HANDLE &&
                                  command.status().errorCode == QAR_E_NULL_HANDLE && moved;
             command = std::move(moved);
             return refused;
         }},
        {"disconnect",
         [&] {
             command.Disconnect();
             return command.status().errorCode == -1;  // the failure above, not cleared by a success
         }},
    };
    int failed = 0;
    for (const Step& step : steps) {
        const bool ok = step.run();
        std::printf("%s  %s\n", ok ? "ok    " : "FAILED", step.name);
        failed += ok ? 0 : 1;
    }
    return failed;
}
