// qarsldw against two running instances of the simulated application: `instances` lists each with
// its window handle and process, and --attach-pid attaches to the instance of the process named.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Public/owners.h"
#include "sim_test_support.h"
#include "sldw/running_instances.h"

using qar::UniqueHandle;

namespace {

// Runs a program of the build tree with `arguments`; its standard output (UTF-8) and exit code.
std::string RunTool(const std::wstring& program, const std::wstring& arguments, DWORD& exitCode) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    EXPECT_TRUE(CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0));
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd.Get();
    std::wstring line = L"\"" + TestProgramDirectory() + program + L"\" " + arguments;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process));
    const UniqueHandle thread(process.hThread), child(process.hProcess);
    writeEnd.Reset();
    std::string output;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
    WaitForSingleObject(child.Get(), 30000);
    GetExitCodeProcess(child.Get(), &exitCode);
    return output;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(CliInstances, EachListedWithItsProcessAndAttachedToByProcess) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    std::vector<UniqueHandle> servers;
    std::vector<DWORD> ids;
    for (int i = 0; i < 2; ++i) {
        std::wstring line = L"\"" + TestProgramDirectory() + L"..\\simulator\\qarcadsim.exe\" /instance /lifetime:60";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        CloseHandle(process.hThread);
        servers.emplace_back(process.hProcess);
        ids.push_back(process.dwProcessId);
    }
    // Each instance by its process, as the running-object table has it once both have registered.
    std::vector<std::wstring> handles(2);
    std::vector<ComPtr<ISimControl>> controls(2);
    for (int attempt = 0; attempt < 100 && (handles[0].empty() || handles[1].empty()); ++attempt, Sleep(100)) {
        for (const ComPtr<IMoniker>& entry : qar::RunningEntries()) {
            ComPtr<ISldWorks> app;
            std::wstring handle;
            if (qar::ProbeRunningEntry(entry.Get(), app, handle) != S_OK) continue;
            DWORD owner = 0;
            GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::stol(handle))), &owner);
            for (int i = 0; i < 2; ++i) {
                if (owner == ids[i] && handles[i].empty()) {
                    handles[i] = handle;
                    ASSERT_EQ(S_OK, app.As(controls[i]));
                }
            }
        }
    }
    ASSERT_FALSE(handles[0].empty() || handles[1].empty()) << "both instances in the running-object table";

    DWORD exitCode = 99;
    const std::string listed = RunTool(L"..\\qarsldw.exe", L"instances --json", exitCode);
    EXPECT_EQ(0u, exitCode);
    for (int i = 0; i < 2; ++i) {
        const std::string expected = "{\"handle\":\"" + Narrow(handles[i]) + "\",\"processId\":" +
                                     std::to_string(ids[i]) + ",\"state\":\"answers\"}";
        EXPECT_NE(std::string::npos, listed.find(expected)) << listed;
    }
    const std::string attached =
        RunTool(L"..\\qarsldw.exe", L"connect --json --version \"SolidWorks 2016\" --attach-pid " + std::to_wstring(ids[1]),
            exitCode);
    EXPECT_EQ(0u, exitCode) << attached;
    EXPECT_NE(std::string::npos, attached.find("\"handle\":\"" + Narrow(handles[1]) + "\"")) << attached;
    const std::string none = RunTool(L"..\\qarsldw.exe", L"connect --version \"SolidWorks 2016\" --attach-pid 1", exitCode);
    EXPECT_EQ(1u, exitCode);
    EXPECT_NE(std::string::npos, none.find("process 1 runs no instance of the CAD application")) << none;

    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(S_OK, controls[i]->Quit());
        controls[i].Reset();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(servers[i].Get(), 10000)) << "instance " << i << " ended";
    }
    CoUninitialize();
}

}  // namespace
