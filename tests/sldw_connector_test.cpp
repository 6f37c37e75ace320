// The connector and its command in process: simulated applications entered in the running-object
// table, the add-in module beside the test program (the connector is linked into it). What the far
// side receives (its call log), what the status record says, and that every reference is given
// back. Each entry failing on the far side is the reliability suite's table; here what only an
// in-process view shows.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "sim_test_support.h"
#include "simulator/sim_application.h"
#include "sldw/sldw_command.h"
#include "sldw/sldw_connector.h"

using qar::ComErrorMessage;
using qar::DecimalText;
using qar::SystemMessageText;

using qar::ComPtr;
using qar::UniqueBstr;

namespace QARCAX {
struct SldwConnectorInternals {  // the connector's private parts, for these tests only
    static ComPtr<ISldWorks>& App(SldwConnector& c) { return c.appObject; }
    static ComPtr<ISwAddIn>& AddIn(SldwConnector& c) { return c.addInObject; }
    static int CreateCommand(SldwConnector& c, const ConnectionRecord& r, CaxCommand*& command) {
        return c.CreateCommand(&r, command);
    }
};
}  // namespace QARCAX

using QARCAX::CaxCommand;
using QARCAX::SldwConnector;
using Internals = QARCAX::SldwConnectorInternals;
using Command = std::unique_ptr<CaxCommand>;

namespace {

bool Has(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

// How the call log quotes a text.
std::wstring Q(const std::wstring& text) {
    std::wstring quoted;
    for (wchar_t c : text) quoted += c == L'\\' || c == L'\'' ? std::wstring{L'\\', c} : std::wstring(1, c);
    return L"'" + quoted + L"'";
}

// Two simulated applications in the running-object table; tests attach to the second by its handle
// text. Afterwards neither may hold a reference of the library's.
class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK, GetRunningObjectTable(0, table.Put()));
        for (int i = 0; i < 2; ++i) {
            ComPtr<IMoniker> moniker;
            const std::wstring name = L"QarConnectorTest" + std::to_wstring(GetCurrentProcessId() * 10 + i);
            ASSERT_EQ(S_OK, qarsim::CreateApplication(apps[i].Put()));
            ASSERT_EQ(S_OK, CreateItemMoniker(L"!", name.c_str(), moniker.Put()));
            ASSERT_EQ(S_OK, table->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, apps[i].Get(), moniker.Get(),
                                            &cookies[i]));
        }
        ComPtr<IDispatch> frame;
        ComPtr<IFrame> iframe;
        LONG handle = 0;
        ASSERT_EQ(S_OK, apps[1]->Frame(frame.Put()));
        ASSERT_EQ(S_OK, frame.As(iframe));
        ASSERT_EQ(S_OK, iframe->GetHWnd(&handle));
        handleText = DecimalText(handle);
        ASSERT_EQ(S_OK, apps[1].As(control));
        ASSERT_EQ(S_OK, control->Reset());
    }
    void TearDown() override {
        for (DWORD cookie : cookies) table->Revoke(cookie);
        EXPECT_EQ(L"application 3\nframe 0\ndocument 0\nenumerator 0\naddin 0\n",
                  ClientReferences(control.Get()))
            << "references not given back";
        CoUninitialize();
    }
    Command Connect(SldwConnector& connector, IDispatch* host = nullptr, int expected = 0) {
        CaxCommand* made = nullptr;
        EXPECT_EQ(expected, connector.NewCommand(host, made)) << connector.errorMessage.c_str();
        return Command(made);
    }
    long AppReferences() { return std::stol(ClientReferences(control.Get()).substr(12)); }
    std::wstring Configuration() {
        UniqueBstr text;
        EXPECT_EQ(S_OK, control->AddInConfiguration(text.Put()));
        return text.Str();
    }

    ComPtr<ISldWorks> apps[2];
    ComPtr<ISimControl> control;  // the second application's
    ComPtr<IRunningObjectTable> table;
    DWORD cookies[2] = {};
    std::wstring handleText;
};

// The exact handle text attaches to its instance among several. A text that names no instance (also
// the right digits with a blank or a zero in front) is no match: the connector activates through the
// ProgID, which for a version nobody registered fails. (What the connect then tells the add-in is the
// host session's check.)
TEST_F(ConnectorTest, ExactHandleTextChoosesTheInstance) {
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    const Command command = Connect(connector);
    ASSERT_TRUE(command);
    EXPECT_EQ(static_cast<IDispatch*>(apps[1].Get()), command->connection.appObject) << "the second instance";
    EXPECT_EQ(handleText, command->connection.appHandleText);
    for (const std::wstring& text :
         {L" " + handleText, L"0" + handleText, handleText + L" ", std::wstring()}) {
        SldwConnector other(3, L"SolidWorks 2030", text, L"");
        CaxCommand* made = nullptr;
        const int result = other.NewCommand(nullptr, made);
        EXPECT_EQ(nullptr, made);
        EXPECT_EQ(L"Start SldWorks.Application.38 failed," + ComErrorMessage(result), other.errorMessage)
            << text;
    }
}

// Opening checks the file exists before asking the application, closes an open document of the same
// file name (exactly: case counts) from another folder, and passes the document type of the
// extension. The enumerated documents are given back (the fixture counts them).
TEST_F(ConnectorTest, OpenFileChecksTheFileAndClosesSameNamedDocuments) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root =
        temp + std::wstring(L"qarcmd-") + std::to_wstring(GetCurrentProcessId()) + L"\\";
    const wchar_t* const files[] = {L"A\\Box.SLDPRT", L"C\\box.SLDPRT", L"B\\Box.SLDPRT", L"Box.sldasm",
                                    L"Box"};
    for (const wchar_t* folder : {L"", L"A", L"B", L"C"}) CreateDirectoryW((root + folder).c_str(), nullptr);
    for (const wchar_t* name : files) WriteFileBytes(root + name, "material steel\n");
    {
        SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
        const Command command = Connect(connector);
        ASSERT_TRUE(command);
        ASSERT_EQ(S_OK, control->Reset());
        EXPECT_EQ(-1, command->OpenFile(root + L"A\\Missing.SLDPRT"));
        EXPECT_EQ(SystemMessageText(ERROR_FILE_NOT_FOUND), command->errorMessage);
        EXPECT_FALSE(Has(CallLog(control.Get()), L"ISldWorks.")) << "the application is not asked";
        for (const wchar_t* name : files) ASSERT_EQ(0, command->OpenFile(root + name)) << name;
        const std::wstring log = CallLog(control.Get());
        for (const auto& [name, type] : {std::pair{L"B\\Box.SLDPRT", 1}, {L"Box.sldasm", 2}, {L"Box", 0}}) {
            EXPECT_TRUE(Has(log, L"OpenDocument(" + Q(root + name) + L", " + std::to_wstring(type) + L")"))
                << name;
        }
        EXPECT_TRUE(Has(log, L"ISldWorks.CloseDocument(" + Q(root + L"A\\Box.SLDPRT") + L")")) << log;
        EXPECT_FALSE(Has(log, L"ISldWorks.CloseDocument(" + Q(root + L"C\\box.SLDPRT") + L")")) << log;
    }
    for (const wchar_t* name : files) DeleteFileW((root + name).c_str());
    for (const wchar_t* folder : {L"A", L"B", L"C", L""}) RemoveDirectoryW((root + folder).c_str());
}

// A missing add-in object keeps an earlier error; a refused configuration call carries the add-in's
// error information (in process it arrives as the add-in set it) and skips the later calls.
TEST_F(ConnectorTest, FailuresKeepAnEarlierErrorAndCarryTheAddInsErrorInformation) {
    ASSERT_EQ(S_OK, control->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimOnce));
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    connector.errorCode = 5;
    connector.errorMessage = L"earlier";
    EXPECT_EQ(nullptr, Connect(connector, nullptr, -1));
    EXPECT_EQ(5, connector.errorCode);
    EXPECT_EQ(L"earlier", connector.errorMessage);

    ASSERT_EQ(S_OK, control->Reset());
    ASSERT_EQ(S_OK, control->FailEntry(Bstr(L"ISwAddIn.SetAppHandle").Get(), E_ACCESSDENIED, SimOnce));
    EXPECT_EQ(nullptr, Connect(connector, nullptr, -1));
    EXPECT_EQ(-1, connector.errorCode);
    EXPECT_TRUE(Has(connector.errorMessage, L"]: ISwAddIn.SetAppHandle")) << connector.errorMessage.c_str();
    EXPECT_FALSE(Has(Configuration(), L"SetAddInArgument")) << "later calls are skipped";
}

// Copies share the application and the add-in; assignment takes the new before giving back the old;
// a second connect drops the first application; a command holds references of its own.
TEST_F(ConnectorTest, CopiesAssignmentAndCommandCreationCountReferences) {
    const long base = AppReferences();
    auto first = std::make_unique<SldwConnector>(3, L"SolidWorks 2016", handleText, L"");
    SldwConnector early(*first);  // before connecting: nothing to share
    Connect(*first);
    Connect(*first);
    EXPECT_EQ(base + 1, AppReferences()) << "the second connect gave the first application back";
    SldwConnector copy(*first);
    EXPECT_EQ(base + 2, AppReferences());
    EXPECT_EQ(Internals::AddIn(*first).Get(), Internals::AddIn(copy).Get());
    copy = copy;
    early = copy;
    EXPECT_EQ(base + 3, AppReferences());
    first.reset();
    EXPECT_EQ(base + 2, AppReferences());
    early = SldwConnector(3, L"SolidWorks 2016", L"", L"");
    EXPECT_EQ(base + 1, AppReferences());
    EXPECT_TRUE(Connect(copy)->IsConnected()) << "the copy still works";

    // A command takes references of its own to the connector's application and add-in.
    QARCAX::ConnectionRecord record;
    record.appObject = static_cast<IDispatch*>(apps[1].Get());
    const long withConnector = AppReferences();
    CaxCommand* made = nullptr;
    EXPECT_EQ(0, Internals::CreateCommand(copy, record, made));
    ASSERT_NE(nullptr, made);
    EXPECT_EQ(withConnector + 1, AppReferences());
    EXPECT_EQ(Internals::AddIn(copy).Get(), static_cast<qar::SldwCommand*>(made)->addIn.Get());
    delete made;
    EXPECT_EQ(withConnector, AppReferences());
}

// The add-in's language file beside the library, every encoding declaration rewritten to UTF-8.
TEST_F(ConnectorTest, LanguageFileReachesTheAddInWithItsDeclarationsRewritten) {
    const std::wstring folder = TestProgramDirectory() + L"en-us", file = folder + L"\\dd_3.xml";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const auto& [contents, received] :
         {std::pair<std::wstring, std::wstring>{
              L"<?xml version=\"1.0\" encoding=\"utf-16\"?><a encoding=\"utf-16\">encoding=\"UTF-16\"</a>",
              L"<?xml version=\"1.0\" encoding=\"utf-8\"?><a encoding=\"utf-8\">encoding=\"UTF-16\"</a>"},
          {L"", L""}}) {
        DeleteFileW(file.c_str());
        if (!contents.empty()) {
            ASSERT_TRUE(WriteFileBytes(file, Utf16Bytes(contents)));
        }
        ASSERT_EQ(S_OK, control->Reset());
        SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
        Connect(connector);
        EXPECT_EQ(0u, Configuration().find(L"ISwAddIn.SetLanguageXml\t" + Q(received) + L"\n"))
            << Configuration();
    }
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}

// From a thread other than the owner's, every operation of a connector and a command fails at once
// with RPC_E_WRONG_THREAD and its text, and touches nothing on the far side: no call arrives and no
// reference count moves (a proxy would not stop AddRef, Release or QueryInterface). Deleting there
// releases nothing and says no "Disconnect"; the test gives the abandoned references back itself.
TEST_F(ConnectorTest, AnotherThreadIsRefusedAndTouchesNothing) {
    auto connector = std::make_unique<SldwConnector>(3, L"SolidWorks 2016", handleText, L"");
    Command command = Connect(*connector);
    ASSERT_TRUE(command);
    ASSERT_EQ(S_OK, control->Reset());
    const std::wstring before = ClientReferences(control.Get()), text = ComErrorMessage(RPC_E_WRONG_THREAD);
    const auto elsewhere = [](const std::function<void()>& work) { std::thread(work).join(); };
    CaxCommand& c = *command;
    SldwConnector& k = *connector;
    std::wstring out;
    const std::pair<std::wstring, std::function<int()>> operations[] = {
        {L"CaxConnector::NewCommand",
         [&] {
             CaxCommand* made = nullptr;
             return k.NewCommand(nullptr, made);
         }},
        {L"SldwCommand::OpenFile", [&] { return c.OpenFile(L"C:\\a.sldprt"); }},
        {L"SldwCommand::CloseFile", [&] { return c.CloseFile(); }},
        {L"SldwCommand::SaveFile", [&] { return c.SaveFile(out); }},
        {L"SldwCommand::GetDependencies", [&] { return c.GetDependencies(out); }},
        {L"SldwCommand::CreateMenu", [&] { return c.CreateMenu(L"m"); }},
        {L"SldwCommand::RefreshTable", [&] { return c.RefreshTable(L"a", L"b"); }},
        {L"SldwCommand::UpdateTable", [&] { return c.UpdateTable(L"a", L"b"); }},
        {L"SldwCommand::Disconnect", [&] { return c.Disconnect(), int{RPC_E_WRONG_THREAD}; }},
        {L"SldwCommand::IsConnected", [&] { return c.IsConnected() ? 0 : int{RPC_E_WRONG_THREAD}; }},
    };
    for (const auto& [operation, call] : operations) {
        const bool connectorOperation = operation[0] == L'C';
        int& code = connectorOperation ? k.errorCode : c.errorCode;
        std::wstring& message = connectorOperation ? k.errorMessage : c.errorMessage;
        code = 0;
        int result = 0;
        elsewhere([&, call = call] { result = call(); });
        EXPECT_EQ(RPC_E_WRONG_THREAD, result) << operation;
        EXPECT_EQ(RPC_E_WRONG_THREAD, code) << operation;
        EXPECT_EQ(L"QARCAX::" + operation + L"():" + text, message);
    }
    IUnknown* const abandoned[] = {Internals::App(k).Get(), Internals::AddIn(k).Get(),
                                   static_cast<qar::SldwCommand&>(c).swApp.Get(),
                                   static_cast<qar::SldwCommand&>(c).addIn.Get()};
    elsewhere([&] {
        command.reset();
        connector.reset();
    });
    EXPECT_EQ(L"", CallLog(control.Get())) << "nothing reached the far side";
    const bool untouched = before == ClientReferences(control.Get());
    EXPECT_TRUE(untouched) << "no reference moved";
    // Given back here only when they were abandoned: released twice they would be freed too early.
    if (untouched) {
        for (IUnknown* reference : abandoned) reference->Release();
    }
}

// A copy belongs to its original's thread wherever it was made: one made on the owner's thread is
// refused on another, one made elsewhere takes no reference and is refused there too; an assignment
// elsewhere changes nothing. Nothing reaches the far side.
TEST_F(ConnectorTest, ACopyBelongsToItsOriginalsThread) {
    SldwConnector k(3, L"SolidWorks 2016", handleText, L"");
    ASSERT_TRUE(Connect(k));
    SldwConnector ownersCopy(k);
    ASSERT_EQ(S_OK, control->Reset());
    const std::wstring before = ClientReferences(control.Get()), text = ComErrorMessage(RPC_E_WRONG_THREAD);
    std::thread([&] {
        CaxCommand* made = nullptr;
        EXPECT_EQ(RPC_E_WRONG_THREAD, ownersCopy.NewCommand(nullptr, made)) << "made on the owner's thread";
        SldwConnector copy(k);
        EXPECT_EQ(nullptr, Internals::App(copy).Get());
        EXPECT_EQ(L"QARCAX::SldwConnector::SldwConnector():" + text, copy.errorMessage);
        EXPECT_EQ(RPC_E_WRONG_THREAD, copy.NewCommand(nullptr, made)) << "made here, still the original's";
        SldwConnector other(3, L"SolidWorks 2016", L"", L"");
        other = k;
        EXPECT_EQ(nullptr, Internals::AddIn(other).Get());
        EXPECT_EQ(RPC_E_WRONG_THREAD, other.errorCode);
    }).join();
    EXPECT_EQ(L"", CallLog(control.Get())) << "nothing reached the far side";
    EXPECT_EQ(before, ClientReferences(control.Get()));
}

// A host thread already in a multithreaded apartment cannot join the single-threaded one the connector
// needs: the first operation says so with RPC_E_CHANGED_MODE and its text, and reaches nothing.
TEST(Apartment, AThreadInAMultithreadedApartmentIsRefusedClearly) {
    std::thread([] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        {
            SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
            CaxCommand* made = nullptr;
            EXPECT_EQ(RPC_E_CHANGED_MODE, connector.NewCommand(nullptr, made));
            EXPECT_EQ(nullptr, made);
            EXPECT_EQ(RPC_E_CHANGED_MODE, connector.errorCode);
            EXPECT_EQ(L"QARCAX::CaxConnector::NewCommand():" + ComErrorMessage(RPC_E_CHANGED_MODE),
                      connector.errorMessage);
            EXPECT_EQ(nullptr, Internals::App(connector).Get()) << "nothing was reached";
            SldwConnector copy(connector);  // keeps its original's apartment check
            EXPECT_EQ(RPC_E_CHANGED_MODE, copy.NewCommand(nullptr, made));
            EXPECT_EQ(nullptr, Internals::App(copy).Get());
        }
        CoUninitialize();
    }).join();
}

}  // namespace
