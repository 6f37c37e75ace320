// Registration of qarcadsim.exe, run in process against a redirected registry: what it writes is what
// the version registry reads, it refuses to take over another program's keys, and unregistration
// leaves the registry exactly as it found it.
#include <gtest/gtest.h>

#include <vector>

#include "Public/sw_version.h"
#include "registry_redirect.h"
#include "sim_test_support.h"
#include "simulator/sim_registration.h"

using qar::RegistryKey;

namespace {

// Every key below root\path with its text values, one line each, in enumeration order.
std::wstring Tree(HKEY root, const std::wstring& path = L"Software") {
    RegistryKey key;
    if (key.Open(root, path, KEY_READ) != ERROR_SUCCESS) return L"";
    std::wstring out = path + L"\n", sub;
    wchar_t name[256], data[1024];
    for (DWORD i = 0, chars = 256, size = sizeof(data), type = 0;
         RegEnumValueW(key.Get(), i, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == 0;
         ++i, chars = 256, size = sizeof(data)) {
        out += L"  " + std::wstring(name) + L"=" + (type == REG_SZ ? data : L"?") + L"\n";
    }
    for (DWORD i = 0; key.SubKeyName(i, sub) == ERROR_SUCCESS; ++i) out += Tree(root, path + L"\\" + sub);
    return out;
}

using SimulatorRegistration = RegistryRedirect;


TEST_F(SimulatorRegistration, WritesWhatTheVersionRegistryReadsAndUnregisterRemovesExactlyThat) {
    // A real installation and another program's ProgID are present before and stay untouched.
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\SolidWorks 2012", L"Location", L"C:\\sw");
    SetText(HKEY_CURRENT_USER, L"Software\\Classes\\SldWorks.Application.20\\CLSID", nullptr, L"{x}");
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        for (const wchar_t* path : {L"CLSID", L"TypeLib", L"Interface"})
            AddKey(root, L"Software\\Classes\\" + std::wstring(path));
    auto snapshot = [] { return Tree(HKEY_LOCAL_MACHINE) + Tree(HKEY_CURRENT_USER); };
    const std::wstring before = snapshot();
    const std::wstring program = TestProgramDirectory() + L"..\\simulator\\qarcadsim.exe";

    std::wstring message;
    for (bool machine : {false, true}) {
        qarsim::RegistrationOptions options{machine, {L"SolidWorks 2014", L"SOLIDWORKS 2016"}};
        ASSERT_EQ(ERROR_SUCCESS, qarsim::Register(program, options, message)) << message;
        // What COM reads is used by every test across processes; here what the version registry reads.
        std::vector<std::wstring> versions;
        CSwVersion().GetLatestVersion(versions);
        ASSERT_LE(3u, versions.size());
        EXPECT_EQ((std::vector<std::wstring>{L"SolidWorks 2012", L"SolidWorks 2014", L"SOLIDWORKS 2016"}),
                  std::vector<std::wstring>(versions.begin(), versions.begin() + 3));
        // The ProgID that belongs to another program stops a registration that would take it over.
        options.versions = {L"SolidWorks 2012"};
        EXPECT_EQ(ERROR_ALREADY_EXISTS, qarsim::Register(program, options, message));
    }
    for (bool machine : {true, false})
        EXPECT_EQ(ERROR_SUCCESS, qarsim::Unregister(program, {machine, {}}, message)) << message;
    EXPECT_EQ(before, snapshot());

    // The ProgIDs registered are the ones the version registry derives; none without a year at the end.
    for (const wchar_t* version : {L"SolidWorks 2008", L"SOLIDWORKS 2016", L"SolidWorks 2099"})
        EXPECT_EQ(CSwVersion().GetProgId(version), qarsim::ProgIdOfVersion(version)) << version;
    EXPECT_EQ(L"", qarsim::ProgIdOfVersion(L"SolidWorks 2014 SP5"));
}

}  // namespace
