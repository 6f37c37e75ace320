// qarsldw against two running instances of the simulated application: `instances` lists each with
// its window handle and process, and --attach-pid attaches to the instance of the process named.
#include <gtest/gtest.h>

#include <process.h>

#include <string>

#include "Public/owners.h"
#include "sim_test_support.h"
#include "sldw/running_instances.h"

using qar::UniqueHandle;

namespace {

TEST(CliInstances, EachListedWithItsProcessAndAttachedToByProcess) {
    ComApartment apartment;
    const std::wstring folder = TestProgramDirectory() + L"..\\",
                       server = folder + L"simulator\\qarcadsim.exe",
                       tool = L"\"" + folder + L"qarsldw.exe\" ";
    UniqueHandle servers[2];
    DWORD ids[2];
    std::string handles[2];
    ComPtr<ISimControl> controls[2];
    for (int i = 0; i < 2; ++i) {
        const intptr_t process = _wspawnl(_P_NOWAIT, server.c_str(), (L"\"" + server + L"\"").c_str(),
                                          L"/instance", L"/lifetime:60", nullptr);
        ASSERT_NE(-1, process);
        servers[i].Reset(reinterpret_cast<HANDLE>(process));
        ids[i] = GetProcessId(servers[i].Get());
    }
    // Each instance by its process, as the running-object table has it once both have registered.
    for (int attempt = 0; attempt < 100 && (!controls[0] || !controls[1]); ++attempt, Sleep(100)) {
        for (const ComPtr<IMoniker>& entry : qar::RunningEntries()) {
            ComPtr<ISldWorks> app;
            std::wstring handle;
            DWORD owner = 0;
            if (qar::ProbeRunningEntry(entry.Get(), app, handle) != S_OK) continue;
            GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<LONG_PTR>(std::stol(handle))),
                                     &owner);
            for (int i = 0; i < 2; ++i)
                if (owner == ids[i] && !controls[i] && app.As(controls[i]) == S_OK)
                    handles[i] = {handle.begin(), handle.end()};
        }
    }
    ASSERT_TRUE(controls[0] && controls[1]) << "both instances in the running-object table";

    int exitCode = 99;
    const std::string listed = RunCommand(tool + L"instances --json", exitCode);
    EXPECT_EQ(0, exitCode);
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(std::string::npos, listed.find("{\"handle\":\"" + handles[i] + "\",\"processId\":" +
                                                 std::to_string(ids[i]) + ",\"state\":\"answers\"}"))
            << listed;
    }
    const std::wstring connect = tool + L"connect --version \"SolidWorks 2016\" --attach-pid ";
    const std::string attached = RunCommand(connect + std::to_wstring(ids[1]) + L" --json", exitCode);
    EXPECT_EQ(0, exitCode) << attached;
    EXPECT_NE(std::string::npos, attached.find("\"handle\":\"" + handles[1] + "\"")) << attached;
    const std::string none = RunCommand(connect + L"1", exitCode);
    EXPECT_EQ(1, exitCode);
    EXPECT_NE(std::string::npos, none.find("process 1 runs no instance of the CAD application")) << none;

    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(S_OK, controls[i]->Quit());
        controls[i].Reset();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(servers[i].Get(), 10000))
            << "instance " << i << " ended";
    }
}

}  // namespace
