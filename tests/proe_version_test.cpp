// Pro/ENGINEER releases: start-up scripts, and the message-server environment value written when the
// current version changes.
#include <gtest/gtest.h>

#include "Public/proe_version.h"
#include "registry_redirect.h"

const std::wstring kProeKey = L"SOFTWARE\\PTC\\Pro/ENGINEER\\";
const std::wstring kEnvironmentKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

class ProeVersionTest : public RegistryRedirect {
protected:
    // Release keys with a date-code subkey carrying "InstallDir".
    void SetUp() override {
        RegistryRedirect::SetUp();
        if (HasFatalFailure()) return;
        SetText(HKEY_LOCAL_MACHINE, kProeKey + L"Wildfire 3.0\\2006220", L"InstallDir", L"C:\\ptc\\WF3");
        SetText(HKEY_LOCAL_MACHINE, kProeKey + L"Wildfire 4.0\\2008330", L"InstallDir", L"C:\\ptc\\WF4");
        AddKey(HKEY_LOCAL_MACHINE, kEnvironmentKey);
    }
    static std::wstring Stored() { return Text(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"Pro/Engineer"); }
    static std::wstring Environment() {
        return Text(HKEY_LOCAL_MACHINE, kEnvironmentKey, L"PRO_COMM_MSG_EXE");
    }
    CProeVersion proe;
};

TEST_F(ProeVersionTest, OnlyTheCurrentAppPathChoosesAVersionAndPointsTheEnvironmentAtIt) {
    AddKey(HKEY_LOCAL_MACHINE, kProeKey + L"wildfire 5.0\\2009100");  // not the release's own spelling
    EXPECT_EQ(L"C:\\ptc\\WF3\\bin\\proe1.bat", proe.GetAppPath(L"Wildfire 3.0"));
    EXPECT_EQ(L"C:\\ptc\\WF4\\bin\\proe1.bat", proe.GetAppPath(L""));
    EXPECT_EQ(L"", proe.GetAppPath(L"Wildfire 2.0"));
    EXPECT_EQ(L"<absent>", Stored());
    EXPECT_EQ(L"C:\\ptc\\WF4\\bin\\proe1.bat", proe.GetCurrentAppPath());
    EXPECT_EQ(L"Wildfire 4.0", Stored());
    EXPECT_EQ(L"C:\\ptc\\WF4\\i486_nt\\obj\\pro_comm_msg.exe", Environment());
}

TEST_F(ProeVersionTest, ReleaseWithoutInstallDirIsStoredButLeavesTheEnvironment) {
    AddKey(HKEY_LOCAL_MACHINE, kProeKey + L"Wildfire 5.0\\2009100");
    EXPECT_FALSE(proe.SetCurrentVersion(L"Wildfire 5.0"));
    EXPECT_EQ(L"Wildfire 5.0", Stored());
    EXPECT_EQ(L"<absent>", Environment());
    EXPECT_EQ(L"", proe.GetCurrentAppPath());
}
