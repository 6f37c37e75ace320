// The call trace's cost: one session of the demo's operations (open, dependencies, menu, two tables,
// save, close) on one connection to the simulated CAD application, with the trace off and on in
// alternation within one run, so that the machine's load falls on both sides alike. Built like a host,
// beside the DLL, which it loads from its own folder:
//   cd build/mingw && QARCADSIM_LIFETIME=600 ../../cmake/wine-run.sh $P trace_bench.exe [rounds] > bench.txt
#include <windows.h>

#include <QarSldwInterface.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_timing.h"

namespace {

std::wstring Folder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

void Session(QARCAX::CaxCommand& command, const std::wstring& clamp) {
    std::wstring text;
    Check(command.OpenFile(clamp) == 0, "open");
    Check(command.GetDependencies(text) == 0, "deps");
    Check(command.CreateMenu(L"PLM") == 0, "menu");
    Check(command.RefreshTable(L"parts", L"1") == 0, "refresh");
    Check(command.UpdateTable(L"parts", L"2") == 0, "update");
    Check(command.SaveFile(text) == 0, "save");
    Check(command.CloseFile() == 0, "close");
}

size_t Lines(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    std::vector<char> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    size_t lines = 0;
    for (DWORD i = 0; i < read; ++i) lines += bytes[i] == '\n';
    return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 100;
    CoInitialize(nullptr);
    const std::wstring folder = Folder(), clamp = folder + L"samples\\clamp.sldasm";
    const std::wstring trace = folder + L"trace-bench.jsonl";
    DeleteFileW(trace.c_str());
    QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
    QARCAX::CaxCommand* made = nullptr;
    Check(connector.NewCommand(nullptr, made) == 0, "connect");
    std::unique_ptr<QARCAX::CaxCommand> command(made);
    for (int i = 0; i < 5; ++i) Session(*command, clamp);  // warm: lookups cached, pages touched

    // Lines per traced session, counted once.
    QARCAX::SetTrace(trace.c_str(), 1ull << 30);
    Session(*command, clamp);
    QARCAX::SetTrace(nullptr);
    const size_t perSession = Lines(trace) - 1;  // without the load line

    std::vector<double> off, on;
    for (int i = 0; i < rounds; ++i) {
        for (int side = 0; side < 2; ++side) {
            QARCAX::SetTrace(side == 1 ? trace.c_str() : nullptr, 1ull << 30);
            const double start = Now();
            Session(*command, clamp);
            (side == 1 ? on : off).push_back(Now() - start);
        }
    }
    QARCAX::SetTrace(nullptr);
    std::sort(off.begin(), off.end());
    std::sort(on.begin(), on.end());
    const double medianOff = off[off.size() / 2], medianOn = on[on.size() / 2];
    std::printf("rounds %d, trace lines per session %zu\n", rounds, perSession);
    std::printf("session, trace off: median %.3f ms\n", medianOff);
    std::printf("session, trace on:  median %.3f ms (ratio %.3f)\n", medianOn, medianOn / medianOff);
    std::printf("cost per traced line: %.1f us\n",
                1000.0 * (medianOn - medianOff) / static_cast<double>(perSession));

    // The writer alone, without the application's noise: lines of a failing operation that makes no
    // call (a missing file is checked before the application is asked).
    QARCAX::SetTrace(trace.c_str(), 1ull << 30);
    const double traced = Median(5, [&] {
        for (int i = 0; i < 2000; ++i) command->OpenFile(L"C:\\nowhere\\missing.sldprt");
    });
    QARCAX::SetTrace(nullptr);
    const double untraced = Median(5, [&] {
        for (int i = 0; i < 2000; ++i) command->OpenFile(L"C:\\nowhere\\missing.sldprt");
    });
    std::printf("local failing operation: %.2f us traced, %.2f us untraced\n", traced / 2, untraced / 2);
    DeleteFileW(trace.c_str());
    DeleteFileW((trace + L".1").c_str());
    command.reset();
    CoUninitialize();
    return 0;
}
