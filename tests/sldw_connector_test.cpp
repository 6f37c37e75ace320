// The connector in process: the order of the connect steps, attaching to a simulated application
// found in the running-object table by its window-handle text, loading and configuring the add-in,
// what each failure records, and the references that copies and assignment share.
#include <gtest/gtest.h>

#include <comdef.h>

#include <functional>
#include <memory>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "counted_dispatch.h"
#include "sim_test_support.h"
#include "simulator/sim_application.h"
#include "sldw/sldw_command.h"
#include "sldw/sldw_connector.h"

namespace QARCAX {
// The connector's private steps, for these tests only.
struct SldwConnectorInternals {
    static ComPtr<ISldWorks>& App(SldwConnector& c) { return c.appObject; }
    static ComPtr<ISwAddIn>& AddIn(SldwConnector& c) { return c.addInObject; }
    static int CreateCommand(SldwConnector& c, const ConnectionRecord& r, CaxCommand*& command) {
        return c.CreateCommand(&r, command);
    }
    static int HandleText(SldwConnector& c, std::wstring& text) { return c.GetHandleOfCaxApp(nullptr, text); }
};
}  // namespace QARCAX

using QARCAX::CaxCommand;
using QARCAX::SldwConnector;
using Internals = QARCAX::SldwConnectorInternals;

namespace {

const std::wstring kModule = TestProgramDirectory() + L"BrivexSw18_x64.dll";

// A connector whose four application steps are scripted, to see LoadApplication's order.
class ScriptedComConnector : public QARCAX::ComConnector {
public:
    ScriptedComConnector() : ComConnector(3, L"SolidWorks 2016", L"") {}
    std::vector<int> results = {0, 0, 0, 0};  // GetAppObject, LoadAddInDll, GetHandleOfCaxApp, GetAddInObj
    std::wstring calls;
    std::wstring progId, dll;
    void Ask() {
        GetProgId(progId);
        dll = GetAddInDllFileName();
    }

private:
    int CreateCommand(const void*, CaxCommand*& command) override {
        command = nullptr;
        return 0;
    }
    int GetAppObject(void*&, const std::wstring&) override { return Step(L"app ", 0); }
    int LoadAddInDll() override { return Step(L"dll ", 1); }
    int GetHandleOfCaxApp(const void*, std::wstring& handleText) override {
        handleText = L"77";
        return Step(L"handle ", 2);
    }
    int GetAddInObj(IDispatch*, const std::wstring& handleText) override { return Step(L"addin(" + handleText + L")", 3); }
    int Step(const std::wstring& name, size_t index) {
        calls += name;
        return results[index];
    }
};

// An object that refuses every interface but IUnknown with a chosen code.
class Refusing : public CountedDispatch {
public:
    explicit Refusing(HRESULT refusal) : refusal_(refusal) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown)) return CountedDispatch::QueryInterface(iid, out);
        *out = nullptr;
        return refusal_;
    }

private:
    HRESULT refusal_;
};

// A simulated application in this process, entered in the running-object table, with the add-in
// module beside the test program (where the connector, linked into it, looks for the module).
class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, app.As(control));
        ComPtr<IMoniker> moniker;
        ASSERT_EQ(S_OK, CreateItemMoniker(L"!", (L"QarConnectorTest" + std::to_wstring(GetCurrentProcessId())).c_str(),
                                          moniker.Put()));
        ASSERT_EQ(S_OK, GetRunningObjectTable(0, table.Put()));
        ASSERT_EQ(S_OK, table->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, app.Get(), moniker.Get(), &cookie));
        ComPtr<IDispatch> frame;
        ComPtr<IFrame> iframe;
        LONG handle = 0;
        ASSERT_EQ(S_OK, app->Frame(frame.Put()));
        ASSERT_EQ(S_OK, frame.As(iframe));
        ASSERT_EQ(S_OK, iframe->GetHWnd(&handle));
        handleText = DecimalText(handle);
        ASSERT_EQ(S_OK, control->Reset());
    }
    void TearDown() override {
        table->Revoke(cookie);
        EXPECT_EQ(L"application 2\nframe 0\ndocument 0\nenumerator 0\naddin 0\n", ClientReferences(control.Get()))
            << "references not given back";
        CoUninitialize();
    }
    long AppReferences() { return std::stol(ClientReferences(control.Get()).substr(12)); }
    std::wstring Configuration() {
        UniqueBstr text;
        EXPECT_EQ(S_OK, control->AddInConfiguration(text.Put()));
        return text.Str();
    }
    HRESULT Inject(const wchar_t* entry, HRESULT hr, SimFaultMode mode = SimAlways) {
        return control->FailEntry(Bstr(entry).Get(), hr, mode);
    }

    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
    ComPtr<IRunningObjectTable> table;
    DWORD cookie = 0;
    std::wstring handleText;
};

TEST(ComConnector, LoadApplicationStepsInOrderStoppingAtTheFirstTwo) {
    const struct {
        std::vector<int> results;
        int expected;
        const wchar_t* calls;
    } cases[] = {
        {{0, 0, 0, 0}, 0, L"app dll handle addin(77)"},
        {{5, 0, 0, 0}, 5, L"app "},
        {{0, -1, 0, 0}, -1, L"app dll "},
        {{0, 0, E_FAIL, 0}, 0, L"app dll handle addin(77)"},  // the handle's failure does not stop it
        {{0, 0, 0, 1}, 1, L"app dll handle addin(77)"},
    };
    for (const auto& c : cases) {
        ScriptedComConnector connector;
        connector.results = c.results;
        CaxCommand* command = nullptr;
        EXPECT_EQ(c.expected, connector.NewCommand(nullptr, command));
        EXPECT_EQ(c.calls, connector.calls);
    }
    ScriptedComConnector connector;
    connector.Ask();
    EXPECT_EQ(L"SldWorks.Application.24", connector.progId);
    EXPECT_EQ(L"BrivexSw18_x64.dll", connector.dll);
}

TEST(ComConnector, AddInObjectProgIdsByTypeAndVersion) {
    using QARCAX::ComConnector;
    EXPECT_EQ(L"BrivexAcad18.BrivexLink18", ComConnector::GetAddInObjProgId(1, L"autocad 2012"));
    EXPECT_EQ(L"BrivexAcad16.BrivexLinkR16", ComConnector::GetAddInObjProgId(1, L"AutoCAD 2004"));
    EXPECT_EQ(L"BrivexAcad17.BrivexLink", ComConnector::GetAddInObjProgId(1, L"AUTOCAD 2009"));
    EXPECT_EQ(L"BrivexAcad20.BrivexLink20", ComConnector::GetAddInObjProgId(1, L"AutoCAD 2016"));
    EXPECT_EQ(L"", ComConnector::GetAddInObjProgId(1, L"AutoCAD 2017"));
    EXPECT_EQ(L"BrivexSw18.BrivexSw18", ComConnector::GetAddInObjProgId(3, L""));
    EXPECT_EQ(L"", ComConnector::GetAddInObjProgId(2, L"Wildfire 4.0"));
    EXPECT_EQ(L"", ComConnector::GetAddInObjProgId(9, L"AutoCAD 2012"));
}

TEST_F(ConnectorTest, NewCommandAttachesLoadsAndConfiguresTheAddIn) {
    CountedDispatch host;
    {
        SldwConnector connector(3, L"SolidWorks 2016", handleText, L"--project 7");
        CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(&host, made)) << connector.errorMessage;
        std::unique_ptr<CaxCommand> command(made);
        EXPECT_EQ(0, connector.errorCode);
        EXPECT_EQ(handleText, command->connection.appHandleText);
        EXPECT_EQ(3, command->connection.cadType);
        EXPECT_EQ(L"SolidWorks 2016", command->connection.cadVersion);

        std::wstring escaped;
        for (wchar_t c : kModule) escaped += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
        const std::wstring log = CallLog(control.Get());
        std::wstring steps;
        for (const wchar_t* entry : {L"ISldWorks.Visible.put(-1)", L"ISldWorks.UserControl.put(-1)",
                                     L"ISldWorks.LoadAddIn(", L"ISldWorks.AddInObject('BrivexSw18.BrivexSw18')"}) {
            steps += log.find(entry) != std::wstring::npos ? L"+" : L"-";
        }
        EXPECT_EQ(L"++++", steps) << log;
        EXPECT_NE(std::wstring::npos, log.find(L"ISldWorks.LoadAddIn('" + escaped + L"')")) << log;
        const std::wstring configuration = Configuration();
        EXPECT_NE(std::wstring::npos,
                  configuration.find(L"ISwAddIn.SetHostObject\tobject\nISwAddIn.SetAppHandle\t'" + handleText +
                                     L"'\nISwAddIn.SetAddInArgument\t'--project 7'\n"))
            << configuration;
        EXPECT_EQ(0, command->CreateMenu(L"m"));
        EXPECT_TRUE(command->IsConnected());
        EXPECT_GT(host.references, 1u) << "the add-in keeps the host object while connected";
    }
    EXPECT_EQ(1u, host.references) << "the host object is given back when the add-in disconnects";
}

// A text that names no running instance (also the right digits with a blank or a zero in front) is
// no match: the connector starts the application through its ProgID instead, which for a version
// nobody registered fails with message 5500.
TEST_F(ConnectorTest, UnmatchedHandleTextFallsBackToActivation) {
    for (const std::wstring& text : {L" " + handleText, L"0" + handleText, handleText + L" ", std::wstring()}) {
        SldwConnector connector(3, L"SolidWorks 2030", text, L"");
        CaxCommand* command = nullptr;
        const int result = connector.NewCommand(nullptr, command);
        EXPECT_LT(result, 0) << text;
        EXPECT_EQ(nullptr, command);
        EXPECT_EQ(-1, connector.errorCode);
        EXPECT_EQ(L"Start SldWorks.Application.38 failed," + ComErrorMessage(result), connector.errorMessage);
    }
    // A table entry whose window cannot be read is passed over, not a fault.
    ASSERT_EQ(S_OK, Inject(L"ISldWorks.Frame", E_FAIL));
    SldwConnector connector(3, L"SolidWorks 2030", handleText, L"");
    CaxCommand* command = nullptr;
    EXPECT_LT(connector.NewCommand(nullptr, command), 0);
    EXPECT_EQ(std::wstring::npos, CallLog(control.Get()).find(L"Visible.put")) << "not attached";
}

// What each step records when it fails, and where the sequence stops.
TEST_F(ConnectorTest, FailuresOfTheStepsAndWhatTheyRecord) {
    const std::wstring addInFailed = L"LoadAddin " + kModule + L" failed.";
    const std::wstring noAddIn = L"QARCAX::SldwConnector::GetAddInObj():Get BrivexSw18.BrivexSw18 failed";
    const struct {
        const char* what;
        std::function<void()> inject;
        int result;
        int code;
        std::wstring message;  // "*" + text: the message starts with text
    } cases[] = {
        {"load status 1", [&] { control->SetLoadAddInStatus(1, SimAlways); }, -1, 1, addInFailed},
        {"load status -1", [&] { control->SetLoadAddInStatus(-1, SimAlways); }, -1, -1, addInFailed},
        // 2 (already loaded) is accepted: the sequence reaches the add-in object, which this
        // injection did not really load.
        {"load status 2 goes on", [&] { control->SetLoadAddInStatus(2, SimAlways); }, -1, -255, noAddIn},
        // The call itself fails while the status stays 0: its HRESULT ends the sequence, unrecorded.
        {"load call fails", [&] { Inject(L"ISldWorks.LoadAddIn", E_ACCESSDENIED); }, E_ACCESSDENIED, 0, L""},
        {"no add-in object",
         [&] { control->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimAlways); }, -1, -255, noAddIn},
        {"user control refused", [&] { Inject(L"ISldWorks.UserControl.put", E_ACCESSDENIED); }, E_ACCESSDENIED, 0,
         L""},
        {"argument refused", [&] { Inject(L"ISwAddIn.SetAddInArgument", E_INVALIDARG); }, -1, -1,
         L"*[QARCAX::SldwConnector::GetAddInObj()]: "},
        // A success code other than S_OK from the last configuration call is the connect's result.
        {"argument half taken", [&] { Inject(L"ISwAddIn.SetAddInArgument", S_FALSE); }, S_FALSE, 0, L""},
        {"short version", [] {}, -1, -1, L"*[QARCAX::SldwConnector::GetAppObject()]: "},
        {"unknown CAD type", [] {}, -1, -1,
         L"[QARCAX::SldwConnector::GetAppObject()]: no CAD application of type 7 (1 AutoCAD, 2 Pro/ENGINEER, "
         L"3 SolidWorks)\n"},
    };
    for (const auto& c : cases) {
        control->Reset();
        c.inject();
        const std::string what = c.what;
        SldwConnector connector(what == "unknown CAD type" ? 7 : 3, what == "short version" ? L"abc" : L"SolidWorks 2016",
                                handleText, L"");
        CaxCommand* made = nullptr;
        EXPECT_EQ(c.result, connector.NewCommand(nullptr, made)) << c.what << ": " << connector.errorMessage.c_str();
        std::unique_ptr<CaxCommand> command(made);
        EXPECT_EQ(c.result == 0, command != nullptr) << c.what;  // a non-zero result gives no command
        EXPECT_EQ(c.code, connector.errorCode) << c.what;
        if (!c.message.empty() && c.message[0] == L'*') {
            EXPECT_EQ(c.message.substr(1), connector.errorMessage.substr(0, c.message.size() - 1)) << c.what;
        } else {
            EXPECT_EQ(c.message, connector.errorMessage) << c.what;
        }
    }

    // An earlier error stays when the add-in object is missing; the result is still -1.
    control->Reset();
    control->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimAlways);
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    connector.errorCode = 5;
    connector.errorMessage = L"earlier";
    CaxCommand* command = nullptr;
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(5, connector.errorCode);
    EXPECT_EQ(L"earlier", connector.errorMessage);
}

// A refused configuration call carries the add-in's error information (description and source) into
// the record; in this process the information arrives as the add-in set it.
TEST_F(ConnectorTest, RefusedConfigurationReportsTheAddInsErrorInformation) {
    ASSERT_EQ(S_OK, Inject(L"ISwAddIn.SetAppHandle", E_ACCESSDENIED));
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    CaxCommand* command = nullptr;
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(-1, connector.errorCode);
    const std::wstring prefix = L"[QARCAX::SldwConnector::GetAddInObj()]: ";
    ASSERT_EQ(prefix, connector.errorMessage.substr(0, prefix.size()));
    const std::wstring text = connector.errorMessage.substr(prefix.size());
    EXPECT_NE(std::wstring::npos, text.find(L"ISwAddIn.SetAppHandle")) << "the description";
    EXPECT_NE(L", \n", text) << "information was carried";
    EXPECT_EQ(L'\n', text.back());
    EXPECT_EQ(std::wstring::npos, Configuration().find(L"SetAddInArgument")) << "later calls are skipped";
}

// A machine fault inside a guarded step is recorded by that step; the host goes on.
TEST_F(ConnectorTest, MachineFaultInsideGetAppObjectIsRecordedThere) {
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    // The step first gives back the application it holds; a broken one faults in its Release.
    static void* const brokenTable[3] = {nullptr, nullptr, reinterpret_cast<void*>(0x10)};
    static void* const broken = const_cast<void**>(brokenTable);
    Internals::App(connector) = ComPtr<ISldWorks>::Adopt(reinterpret_cast<ISldWorks*>(const_cast<void**>(&broken)));
    CaxCommand* command = nullptr;
    EXPECT_EQ(-1, connector.NewCommand(nullptr, command));
    EXPECT_EQ(-1, connector.errorCode);
    const std::wstring expected = L"[QARCAX::SldwConnector::GetAppObject()]: EXCEPTION_ACCESS_VIOLATION";
    EXPECT_EQ(expected, connector.errorMessage.substr(0, expected.size())) << connector.errorMessage.c_str();
}

// Copies share the application and the add-in; assignment takes the new before giving back the old;
// destroying either copy leaves the other working. A second connect drops the first application.
TEST_F(ConnectorTest, CopiesAndAssignmentShareCountedReferences) {
    const long base = AppReferences();
    auto first = std::make_unique<SldwConnector>(3, L"SolidWorks 2016", handleText, L"");
    SldwConnector early(*first);  // before connecting: nothing to share
    CaxCommand* made = nullptr;
    ASSERT_EQ(0, first->NewCommand(nullptr, made));
    delete made;
    EXPECT_EQ(base + 1, AppReferences());
    ASSERT_EQ(0, first->NewCommand(nullptr, made));
    delete made;
    EXPECT_EQ(base + 1, AppReferences()) << "the second connect gave the first application back";

    SldwConnector copy(*first);
    EXPECT_EQ(base + 2, AppReferences());
    EXPECT_EQ(Internals::AddIn(*first).Get(), Internals::AddIn(copy).Get());
    copy = copy;
    EXPECT_EQ(base + 2, AppReferences());
    early = copy;
    EXPECT_EQ(base + 3, AppReferences());
    first.reset();
    EXPECT_EQ(base + 2, AppReferences());
    std::wstring text;
    EXPECT_EQ(0, Internals::HandleText(copy, text));
    EXPECT_EQ(handleText, text);
    early = SldwConnector(3, L"SolidWorks 2016", L"", L"");
    EXPECT_EQ(base + 1, AppReferences());
}

TEST_F(ConnectorTest, HandleTextAndCommandCreationEdges) {
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    std::wstring text = L"stale";
    EXPECT_EQ(E_FAIL, Internals::HandleText(connector, text)) << "no application yet";
    EXPECT_EQ(L"0", text);
    Internals::App(connector) = app;
    for (const auto& inject : std::vector<std::function<void()>>{
             [&] { Inject(L"ISldWorks.Frame", RPC_E_DISCONNECTED); },
             [&] { control->NullResult(Bstr(L"ISldWorks.Frame").Get(), SimAlways); },
             [&] { Inject(L"IFrame.GetHWnd", E_FAIL); }}) {
        control->Reset();
        inject();
        text = L"stale";
        EXPECT_EQ(E_FAIL, Internals::HandleText(connector, text));
        EXPECT_EQ(L"0", text);
    }

    // The add-in interface: taken when offered, left null when refused as not offered, and any
    // other refusal is the host's COM error (the half-made command is not leaked).
    QARCAX::ConnectionRecord record;
    record.appObject = static_cast<IDispatch*>(app.Get());
    CaxCommand* made = nullptr;
    ASSERT_EQ(0, Internals::CreateCommand(connector, record, made));
    EXPECT_EQ(nullptr, static_cast<QARCAX::SldwCommand*>(made)->addIn.Get());
    delete made;
    Refusing notOffered(E_NOINTERFACE), denied(E_ACCESSDENIED);
    Internals::AddIn(connector) = ComPtr<ISwAddIn>(reinterpret_cast<ISwAddIn*>(&notOffered));
    ASSERT_EQ(0, Internals::CreateCommand(connector, record, made));
    EXPECT_EQ(nullptr, static_cast<QARCAX::SldwCommand*>(made)->addIn.Get());
    delete made;
    Internals::AddIn(connector) = ComPtr<ISwAddIn>(reinterpret_cast<ISwAddIn*>(&denied));
    made = nullptr;
    try {
        Internals::CreateCommand(connector, record, made);
        ADD_FAILURE() << "no COM error";
    } catch (const _com_error& error) {
        EXPECT_EQ(E_ACCESSDENIED, error.Error());
    }
    EXPECT_EQ(nullptr, made);
    Internals::AddIn(connector).Reset();
    Internals::App(connector).Reset();
    EXPECT_EQ(1u, denied.references);
    EXPECT_EQ(1u, notOffered.references);
}

// The add-in's language file beside the library, its declaration rewritten to UTF-8.
TEST_F(ConnectorTest, LanguageFileReachesTheAddInWithItsDeclarationRewritten) {
    const std::wstring folder = TestProgramDirectory() + L"en-us";
    const std::wstring file = folder + L"\\dd_3.xml";
    CreateDirectoryW(folder.c_str(), nullptr);
    const struct {
        const wchar_t* contents;  // null: no file
        const wchar_t* received;
    } cases[] = {
        {L"<?xml version=\"1.0\" encoding=\"utf-16\"?><a encoding=\"utf-16\"/>",
         L"<?xml version=\"1.0\" encoding=\"utf-8\"?><a encoding=\"utf-8\"/>"},
        {L"<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>", L"<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>"},
        {L"<a>encoding=\"UTF-16\"</a>", L"<a>encoding=\"UTF-16\"</a>"},
        {nullptr, L""},
    };
    for (const auto& c : cases) {
        DeleteFileW(file.c_str());
        if (c.contents != nullptr) {
            ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(c.contents)));
        }
        control->Reset();
        SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
        CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(nullptr, made));
        delete made;
        std::wstring quoted;
        for (const wchar_t* p = c.received; *p != L'\0'; ++p) quoted += *p == L'\'' ? L"\\'" : std::wstring(1, *p);
        EXPECT_EQ(0u, Configuration().find(L"ISwAddIn.SetLanguageXml\t'" + quoted + L"'\n")) << Configuration();
    }
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
