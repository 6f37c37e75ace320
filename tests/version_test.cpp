// The version objects of the three CAD applications: names and ProgIDs (and the text helpers they are
// made with), the scan of installed versions, the current version kept under the vendor key, and the
// paths derived from it. And the simulated application's registration, run in process against the
// redirected registry: it writes what the version registry reads, refuses to take over another
// program's keys, and is undone exactly.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "Public/version_choice.h"
#include "Public/sw_version.h"
#include "Public/text_helpers.h"
#include "module_test_support.h"
#include "registry_redirect.h"
#include "simulator/sim_registration.h"

using qar::CCaxVersion;
using qar::CreateCaxVersion;
using qar::CSwVersion;
using qar::FormatBuffered;
using qar::FormatString;
using qar::kCaxVersionVendorKey;
using qar::kFormatBufferChars;
using qar::ToUpper;

using qar::RegistryKey;

using Versions = std::vector<std::wstring>;
constexpr int kAcad = 1, kProe = 2, kSw = 3;

TEST(CaxVersion, NamesAndProgIdsNeedNoRegistry) {
    enum Operation { kFromKey, kToKey, kProgId };
    const struct {
        int cadType;
        Operation operation;
        const wchar_t* input;
        const wchar_t* expected;
    } rows[] = {
        // Supported versions in any case, kept as the registry spells them.
        {kSw, kFromKey, L"solidworks 2012", L"solidworks 2012"},
        {kSw, kFromKey, L"SolidWorks 2009", L""},
        {kSw, kFromKey, L"SolidWorks 2014 SP5", L""},
        {kSw, kFromKey, L"2014", L""},
        // The ProgID number is the year at the end minus 1992, supported or not; no year reads as 0.
        {kSw, kProgId, L"2012", L"SldWorks.Application.20"},
        {kSw, kProgId, L"SolidWorks 2017", L"SldWorks.Application.25"},
        {kSw, kProgId, L"SolidWorks 2014 SP5", L"SldWorks.Application.-1992"},
        {kSw, kProgId, L"", L""},
        {kAcad, kFromKey, L"r18.1", L"AutoCAD 2011"},
        {kAcad, kFromKey, L"R21.0", L""},
        {kAcad, kToKey, L"autocad 2015", L"R20.0"},
        {kAcad, kProgId, L"autocad 2016", L"AutoCAD.Application.20.1"},
        {kAcad, kProgId, L"AutoCAD 2017", L""},
    };
    for (const auto& row : rows) {
        const std::unique_ptr<CCaxVersion> version(CreateCaxVersion(row.cadType));
        const std::wstring result = row.operation == kFromKey ? version->VersionFromRegKey(row.input)
                                    : row.operation == kToKey ? version->RegKeyFromVersion(row.input)
                                                              : version->GetProgId(row.input);
        EXPECT_EQ(row.expected, result) << row.cadType << " " << row.operation << " " << row.input;
    }
    for (int cadType : {0, 4, -1}) EXPECT_EQ(nullptr, CreateCaxVersion(cadType));
}

// Too short for a year: an error, not a read before the text. The connector's guard puts its text in
// the status record, where hosts have always seen the standard library's own for that position.
TEST(CaxVersion, AProgIdOfATextTooShortForAYearIsTheStandardOutOfRangeError) {
    std::string seen = "no error", standard;
    try {
        std::unique_ptr<CCaxVersion>(CreateCaxVersion(kSw))->GetProgId(L"201");
    } catch (const std::out_of_range& error) {
        seen = error.what();
    }
    try {
        (void)std::wstring(L"201").substr(static_cast<size_t>(-1));
    } catch (const std::out_of_range& error) {
        standard = error.what();
    }
    EXPECT_EQ(standard, seen);
}

// The text helpers the version objects are made with: the Microsoft runtime's conversions (%s takes a
// wide string in a wide format), FormatString's text whole however long, FormatBuffered's whole when it
// fills the buffer exactly (longer texts are cut there: the guard's table); upper case for a to z only
// under the default locale.
TEST(TextHelpers, FormatWithMicrosoftConversionsAndUpperCaseOnlyAToZ) {
    const std::wstring part(9'990, L'x'), exact(kFormatBufferChars, L'e');
    EXPECT_EQ(FormatString(L"%s%010d|%S|%hs|%ls", part.c_str(), 42, "narrow", "half", L"wide"),
              part + L"0000000042|narrow|half|wide");
    EXPECT_EQ(FormatBuffered(L"%s", exact.c_str()), exact);
    EXPECT_EQ(ToUpper(L"sldworks2010 \x00E4\x00F6\x00FC \x4E2D-_"),
              L"SLDWORKS2010 \x00E4\x00F6\x00FC \x4E2D-_");
}

// Registry text: terminated, of even size, up to the first NUL, not expanded.
TEST(RegistryText, TerminatedOfEvenSizeUpToTheFirstNulNotExpanded) {
    std::wstring text = L"previous";
    EXPECT_FALSE(RegistryKey::TextFromData(REG_SZ, L"Ab", 4, text));
    EXPECT_EQ(L"", text);
    EXPECT_FALSE(RegistryKey::TextFromData(REG_MULTI_SZ, L"Ab\0", 8, text));
    EXPECT_TRUE(RegistryKey::TextFromData(REG_SZ, L"Ab", 0, text));
    EXPECT_TRUE(RegistryKey::TextFromData(REG_EXPAND_SZ, L"%A%\0b", 12, text));
    EXPECT_EQ(L"%A%", text);
}

class VersionRegistry : public RegistryRedirect {
protected:
    static std::wstring Stored(const wchar_t* name) {
        return Text(HKEY_CURRENT_USER, kCaxVersionVendorKey, name);
    }
};

// SolidWorks stands for what every version object shares. Shaped like a real machine: versions in
// mixed case among subkeys that are not versions, one of which enumerates after every version.
TEST_F(VersionRegistry, ScanSelectAndCurrentVersion) {
    const std::unique_ptr<CCaxVersion> sw(CreateCaxVersion(kSw));
    AddKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\SolidWorks\\Security");
    Versions versions;
    EXPECT_EQ(L"", sw->GetLatestVersion(versions));
    EXPECT_EQ(L"", sw->SelectVersion(L"SolidWorks 2014"));
    EXPECT_EQ(L"", sw->GetCurrentVersion());
    EXPECT_EQ(L"", Stored(L"SolidWorks"));  // stored as an empty string

    for (const wchar_t* name : {L"AddIns", L"solidworks 2012", L"SolidWorks 2009", L"SolidWorks 2014",
                                L"SOLIDWORKS 2016", L"SOLIDWORKS PDM"})
        AddKey(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\SolidWorks\\") + name);
    EXPECT_EQ(L"SOLIDWORKS 2016", sw->GetLatestVersion(versions));
    EXPECT_EQ((Versions{L"solidworks 2012", L"SolidWorks 2014", L"SOLIDWORKS 2016",    // 64-bit view
                        L"solidworks 2012", L"SolidWorks 2014", L"SOLIDWORKS 2016"}),  // default view
              versions);
    // A given list is taken as it is: its last element, not the highest number, and no new scan.
    versions = {L"SolidWorks 2016", L"SolidWorks 2010"};
    EXPECT_EQ(L"SolidWorks 2010", sw->GetLatestVersion(versions));
    EXPECT_EQ(2u, versions.size());
    EXPECT_EQ(L"solidworks 2012", sw->SelectVersion(L"solidworks 2012"));
    for (const wchar_t* requested : {L"SolidWorks 2012", L"SolidWorks 2009", L""})  // only an exact name
        EXPECT_EQ(L"SOLIDWORKS 2016", sw->SelectVersion(requested)) << requested;

    // The current version is the stored text, else the latest, which is then stored.
    ASSERT_TRUE(sw->SetCurrentVersion(L"SolidWorks 2008"));  // not installed, kept all the same
    EXPECT_EQ(L"SolidWorks 2008", sw->GetCurrentVersion());
    const DWORD number = 2014;
    const std::wstring tooLong(RegistryKey::kBufferChars, L'x');  // its NUL does not fit the buffer
    const std::tuple<DWORD, const void*, size_t> malformed[] = {
        {REG_DWORD, &number, 4},
        {REG_SZ, L"SolidWorks 2014", 5},
        {REG_SZ, L"", 2},
        {REG_SZ, tooLong.c_str(), tooLong.size() * 2 + 2}};
    for (const auto& [type, data, size] : malformed) {
        SetRaw(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"SolidWorks", type, data, static_cast<DWORD>(size));
        EXPECT_EQ(L"SOLIDWORKS 2016", sw->GetCurrentVersion()) << type << " " << size;
        EXPECT_EQ(L"SOLIDWORKS 2016", Stored(L"SolidWorks"));
    }
}

// AutoCAD: release keys as AutoCAD writes them (one with a lower-case "r"), product subkeys carrying
// "Location", next to a key that is not a release.
TEST_F(VersionRegistry, AcadExecutableIsInTheFirstProductOfTheCurrentRelease) {
    const std::unique_ptr<CCaxVersion> acad(CreateCaxVersion(kAcad));
    const std::wstring key = L"SOFTWARE\\Autodesk\\AutoCAD\\";
    EXPECT_EQ(L"", acad->GetProgId(L""));
    for (const auto& [product, location] : {std::pair{L"R17.2\\ACAD-7001:409", L"C:\\Acad2009"},
                                            {L"r18.0\\ACAD-8001:409", L"C:\\AutoCAD"},
                                            {L"r18.0\\ACAD-8001:804", L"D:\\AutoCAD zh"}})
        SetText(HKEY_LOCAL_MACHINE, key + product, L"Location", location);
    AddKey(HKEY_LOCAL_MACHINE, key + L"Settings");
    EXPECT_EQ(L"AutoCAD.Application.18", acad->GetProgId(L""));  // the latest installed release

    auto pathFor = [&](const wchar_t* current) {
        SetText(HKEY_CURRENT_USER, kCaxVersionVendorKey, L"AutoCAD", current);
        return acad->GetCurrentAppPath();
    };
    EXPECT_EQ(L"C:\\Acad2009\\acad.exe", pathFor(L"AutoCAD 2009"));
    EXPECT_EQ(L"C:\\AutoCAD\\acad.exe", pathFor(L""));  // none chosen: the latest becomes current
    EXPECT_EQ(L"AutoCAD 2010", Stored(L"AutoCAD"));
    // Location not text, release not installed, no release at all: never "\acad.exe" in a drive's root.
    const DWORD number = 1;
    SetRaw(HKEY_LOCAL_MACHINE, key + L"R17.2\\ACAD-7001:409", L"Location", REG_DWORD, &number, 4);
    for (const wchar_t* current : {L"AutoCAD 2009", L"AutoCAD 2012", L"AutoCAD 1999"})
        EXPECT_EQ(L"", pathFor(current)) << current;
}

// Pro/ENGINEER: only choosing the current version writes it and points the message-server
// environment value at that release; a release without "InstallDir" is stored but leaves it.
TEST_F(VersionRegistry, ProeCurrentVersionPointsTheEnvironmentAtIt) {
    const std::unique_ptr<CCaxVersion> proe(CreateCaxVersion(kProe));
    const std::wstring key = L"SOFTWARE\\PTC\\Pro/ENGINEER\\";
    const std::wstring environment = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    SetText(HKEY_LOCAL_MACHINE, key + L"Wildfire 3.0\\2006220", L"InstallDir", L"C:\\ptc\\WF3");
    SetText(HKEY_LOCAL_MACHINE, key + L"Wildfire 4.0\\2008330", L"InstallDir", L"C:\\ptc\\WF4");
    AddKey(HKEY_LOCAL_MACHINE, environment);
    AddKey(HKEY_LOCAL_MACHINE, key + L"wildfire 5.0\\2009100");  // not the release's own spelling
    EXPECT_EQ(L"C:\\ptc\\WF3\\bin\\proe1.bat", proe->GetAppPath(L"Wildfire 3.0"));
    EXPECT_EQ(L"C:\\ptc\\WF4\\bin\\proe1.bat", proe->GetAppPath(L""));
    EXPECT_EQ(L"", proe->GetAppPath(L"Wildfire 2.0"));
    EXPECT_EQ(L"<absent>", Stored(L"Pro/Engineer"));
    EXPECT_EQ(L"<absent>", Text(HKEY_LOCAL_MACHINE, environment, L"PRO_COMM_MSG_EXE"));
    EXPECT_EQ(L"C:\\ptc\\WF4\\bin\\proe1.bat", proe->GetCurrentAppPath());
    EXPECT_EQ(L"Wildfire 4.0", Stored(L"Pro/Engineer"));
    const std::wstring messageServer = L"C:\\ptc\\WF4\\i486_nt\\obj\\pro_comm_msg.exe";
    EXPECT_EQ(messageServer, Text(HKEY_LOCAL_MACHINE, environment, L"PRO_COMM_MSG_EXE"));

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, (key + L"wildfire 5.0").c_str()));
    AddKey(HKEY_LOCAL_MACHINE, key + L"Wildfire 5.0\\2009100");
    EXPECT_FALSE(proe->SetCurrentVersion(L"Wildfire 5.0"));
    EXPECT_EQ(L"Wildfire 5.0", Stored(L"Pro/Engineer"));
    EXPECT_EQ(messageServer, Text(HKEY_LOCAL_MACHINE, environment, L"PRO_COMM_MSG_EXE"));
    EXPECT_EQ(L"", proe->GetCurrentAppPath());
}

// The simulated application's registration (qarcadsim.exe's, which the test reads the type libraries
// from), per user and machine-wide.
TEST_F(VersionRegistry, SimulatorRegistrationIsWhatItReadsAndIsUndoneExactly) {
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
