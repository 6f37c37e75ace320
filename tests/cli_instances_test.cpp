// qarsldw against two running instances of the simulated application: `instances` lists each with
// its window handle and process, and --attach-pid attaches to the instance of the process named.
#include <gtest/gtest.h>

#include <string>

#include "sim_test_support.h"
#include "sim_instances.h"

namespace {

TEST(CliInstances, EachListedWithItsProcessAndAttachedToByProcess) {
    ComApartment apartment;
    const std::wstring folder = TestProgramDirectory() + L"..\\", tool = L"\"" + folder + L"qarsldw.exe\" ";
    SimInstances instances(2, L"/lifetime:60");
    ASSERT_TRUE(instances.Complete()) << "both instances in the running-object table";
    const std::vector<DWORD>& ids = instances.ids;
    std::string handles[2];
    for (int i = 0; i < 2; ++i) handles[i] = {instances.handles[i].begin(), instances.handles[i].end()};

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
}

}  // namespace
