// The connector and its command in process: simulated applications entered in the running-object
// table, the add-in module beside the test program (the connector is linked into it). What the far
// side receives (its call log), what the status record says, and that every reference is given
// back. Each entry failing on the far side is the reliability suite's table; here what only an
// in-process view shows.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "Public/crash_dump.h"
#include "Public/diagnostics.h"
#include "Public/dispatch_invoke.h"
#include "Public/trace.h"
#include "qar_c_api.h"
#include "registry_redirect.h"
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

// Every C entry point with an unreadable address (0x10) in one of its pointer arguments, the others
// valid: the rows of the test below.
struct UnreadablePointerCalls {
    QarConnector* connector;
    QarCommand* command;
    wchar_t buffer[512];
    size_t needed = 0;
    int value = 0;
    unsigned long milliseconds = 0;
    QarConnector* made = nullptr;
    QarCommand* madeCommand = nullptr;

    std::vector<std::pair<const char*, std::function<int()>>> Rows() {
        const auto bad = [](auto* typed) { return reinterpret_cast<decltype(typed)>(0x10); };
        const wchar_t* text = bad(L"");
        QarConnector* const badConnector = bad(connector);
        QarCommand* const badCommand = bad(command);
        return {
            {"busy timeout", [=] { return qar_get_busy_timeout(bad(&milliseconds)); }},
            {"trace path", [=] { return qar_set_trace(text, 0); }},
            {"dump folder", [=] { return qar_set_dumps(text, 0); }},
            {"create version", [=] { return qar_connector_create(3, text, L"", L"", &made); }},
            {"create handle", [=] { return qar_connector_create(3, L"SolidWorks 2016", text, L"", &made); }},
            {"create argument",
             [=] { return qar_connector_create(3, L"SolidWorks 2016", L"", text, &made); }},
            {"create result",
             [=] { return qar_connector_create(3, L"SolidWorks 2016", L"", L"", bad(&made)); }},
            {"destroy connector", [=] { return qar_connector_destroy(badConnector); }},
            {"new command handle",
             [=] { return qar_connector_new_command(badConnector, nullptr, &madeCommand); }},
            {"new command host",
             [=] { return qar_connector_new_command(connector, bad(&value), &madeCommand); }},
            {"new command result",
             [=] { return qar_connector_new_command(connector, nullptr, bad(&madeCommand)); }},
            {"connector error handle",
             [=] { return qar_connector_last_error(badConnector, &value, buffer, 64, &needed); }},
            {"connector error code",
             [=] { return qar_connector_last_error(connector, bad(&value), buffer, 64, &needed); }},
            {"connector error buffer",
             [=] { return qar_connector_last_error(connector, &value, bad(buffer), 64, &needed); }},
            {"connector error needed",
             [=] { return qar_connector_last_error(connector, &value, buffer, 64, bad(&needed)); }},
            {"destroy command", [=] { return qar_command_destroy(badCommand); }},
            {"disconnect", [=] { return qar_command_disconnect(badCommand); }},
            {"connected handle", [=] { return qar_command_is_connected(badCommand, &value); }},
            {"connected result", [=] { return qar_command_is_connected(command, bad(&value)); }},
            {"open handle", [=] { return qar_command_open_file(badCommand, L"x"); }},
            {"open path", [=] { return qar_command_open_file(command, text); }},
            {"close", [=] { return qar_command_close_file(badCommand); }},
            {"save handle", [=] { return qar_command_save_file(badCommand, buffer, 64, &needed); }},
            {"save buffer", [=] { return qar_command_save_file(command, bad(buffer), 64, &needed); }},
            {"save needed", [=] { return qar_command_save_file(command, buffer, 64, bad(&needed)); }},
            {"dependencies handle",
             [=] { return qar_command_get_dependencies(badCommand, buffer, 64, &needed); }},
            {"dependencies buffer",
             [=] { return qar_command_get_dependencies(command, bad(buffer), 64, &needed); }},
            {"dependencies needed",
             [=] { return qar_command_get_dependencies(command, buffer, 64, bad(&needed)); }},
            {"last text handle", [=] { return qar_command_last_text(badCommand, buffer, 64, &needed); }},
            {"last text buffer", [=] { return qar_command_last_text(command, bad(buffer), 64, &needed); }},
            {"last text needed", [=] { return qar_command_last_text(command, buffer, 64, bad(&needed)); }},
            {"menu handle", [=] { return qar_command_create_menu(badCommand, L"PLM"); }},
            {"menu arg", [=] { return qar_command_create_menu(command, text); }},
            {"refresh handle", [=] { return qar_command_refresh_table(badCommand, L"a", L"b"); }},
            {"refresh arg1", [=] { return qar_command_refresh_table(command, text, L"b"); }},
            {"refresh arg2", [=] { return qar_command_refresh_table(command, L"a", text); }},
            {"update handle", [=] { return qar_command_update_table(badCommand, L"a", L"b"); }},
            {"update arg1", [=] { return qar_command_update_table(command, text, L"b"); }},
            {"update arg2", [=] { return qar_command_update_table(command, L"a", text); }},
            {"command error handle",
             [=] { return qar_command_last_error(badCommand, &value, buffer, 64, &needed); }},
            {"command error code",
             [=] { return qar_command_last_error(command, bad(&value), buffer, 64, &needed); }},
            {"command error buffer",
             [=] { return qar_command_last_error(command, &value, bad(buffer), 64, &needed); }},
            {"command error needed",
             [=] { return qar_command_last_error(command, &value, buffer, 64, bad(&needed)); }},
        };
    }
};

// Every pointer argument of every C entry point, given an unreadable address (0x10, unmapped under Wine
// and Windows alike): the entry point answers QAR_E_EXCEPTION and the host process lives on. The texts
// once ended the process: they were measured by wcslen, which the compiler takes for a function that
// cannot throw, so the translated fault found no handler on its way out.
TEST_F(ConnectorTest, CInterfaceAnswersEveryUnreadablePointerWithAResult) {
    QarConnector* connector = nullptr;
    QarCommand* command = nullptr;
    ASSERT_EQ(QAR_OK, qar_connector_create(3, L"SolidWorks 2016", handleText.c_str(), L"", &connector));
    ASSERT_EQ(QAR_OK, qar_connector_new_command(connector, nullptr, &command));
    UnreadablePointerCalls calls{connector, command, {}};
    for (const auto& call : calls.Rows()) EXPECT_EQ(QAR_E_EXCEPTION, call.second()) << call.first;
    EXPECT_TRUE(calls.made == nullptr && calls.madeCommand == nullptr);
    // Both handles still work, and the command's record holds the last fault it could record.
    EXPECT_TRUE(qar_command_is_connected(command, &calls.value) == QAR_OK && calls.value == 1);
    EXPECT_TRUE(qar_command_last_error(command, &calls.value, calls.buffer, 512, nullptr) == QAR_OK &&
                calls.value == QAR_E_EXCEPTION && Has(calls.buffer, L"qar_command_update_table(): "));
    EXPECT_EQ(QAR_OK, qar_command_destroy(command));
    EXPECT_EQ(QAR_OK, qar_connector_destroy(connector));
}

// A scratch file beside the test program, removed with its rotation when the test ends.
struct ScratchFile {
    explicit ScratchFile(const wchar_t* name)
        : path(TestProgramDirectory() + name + std::to_wstring(GetCurrentProcessId())) {
        Remove();
    }
    ~ScratchFile() { Remove(); }
    void Remove() const {
        DeleteFileW(path.c_str());
        DeleteFileW((path + L".1").c_str());
    }
    const std::wstring path;
};

// Each line of a JSON Lines file, parsed (a line that is no JSON object fails the test).
std::vector<nlohmann::json> ReadJsonLines(const std::wstring& path) {
    std::vector<nlohmann::json> lines;
    qar::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) return lines;
    std::string text(1 << 20, '\0');
    DWORD read = 0;
    ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    text.resize(read);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(nlohmann::json::parse(text.substr(start, end - start)));
        EXPECT_TRUE(lines.back().is_object());
    }
    return lines;
}

// The session's calls across the boundary, each inside an operation of the trace: the add-in argument
// only as its length, the menu call in CreateMenu, the one machine fault in the C interface's
// qar_connector_new_command.
void CheckCallsAndTheFault(const std::vector<nlohmann::json>& lines,
                           std::map<uint64_t, nlohmann::json>& ops) {
    int menuCalls = 0, faults = 0, argumentLengths = 0;
    for (const auto& line : lines) {
        if (line["ev"] == "call") {
            const uint64_t op = line["op"].get<uint64_t>();
            ASSERT_TRUE(ops.count(op)) << line.dump();
            // The argument's text never, its length on the call that hands it over (17 characters).
            if (line["name"] == "ISwAddIn.SetAddInArgument") {
                ASSERT_TRUE(line.contains("argumentLength")) << line.dump();
                argumentLengths += line["argumentLength"] == 17 ? 1 : 0;
            }
            if (line["name"] == "IDispatch.Invoke CreateMenu") {
                ++menuCalls;
                EXPECT_TRUE(ops[op]["name"] == "QARCAX::SldwCommand::CreateMenu" &&
                            line["hr"] == "0x00000000");
            }
        } else if (line["ev"] == "fault") {
            ++faults;
            EXPECT_TRUE(line["code"] == "0xc0000005" && line["data"] == "0x10" && line.contains("module"));
            EXPECT_EQ("qar_connector_new_command", ops[line["op"].get<uint64_t>()]["name"]);
        } else if (line["ev"] == "op" && line["name"] == "QARCAX::SldwCommand::OpenFile") {
            EXPECT_TRUE(line["result"] == -1 && line["code"] == -1 &&
                        !line["message"].get<std::string>().empty());
        }
    }
    EXPECT_EQ(1, menuCalls);
    EXPECT_EQ(1, faults);
    EXPECT_EQ(1, argumentLengths);
}

// A session with the trace on: the load line first; each host operation once, with its own sequence
// number; each call across the boundary naming the operation it ran in; a failure's code and message; the
// machine fault with its module; the add-in argument nowhere. Then the trace off writes nothing more.
TEST_F(ConnectorTest, TraceHoldsEachOperationOnceWithItsCallsAndNoSecret) {
    ScratchFile trace(L"trace-session-");
    QARCAX::SetTrace(trace.path.c_str());
    {
        SldwConnector connector(3, L"SolidWorks 2016", handleText, L"secret-token-4711");
        CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(nullptr, made));
        Command command(made);
        EXPECT_EQ(0, command->CreateMenu(L"PLM"));
        EXPECT_EQ(-1, command->OpenFile(L"C:\\nowhere\\missing.sldprt"));
        QarConnector* c = nullptr;
        ASSERT_EQ(QAR_OK, qar_connector_create(3, L"SolidWorks 2016", L"", L"", &c));
        EXPECT_EQ(QAR_E_EXCEPTION,
                  qar_connector_new_command(c, nullptr, reinterpret_cast<QarCommand**>(0x10)));
        qar_connector_destroy(c);
    }
    QARCAX::SetTrace(nullptr);
    EXPECT_EQ(0, SldwConnector(3, L"SolidWorks 2016", handleText, L"").errorCode);
    const std::vector<nlohmann::json> lines = ReadJsonLines(trace.path);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_TRUE(lines[0]["ev"] == "load" && lines[0]["version"] == "1.1.0" &&
                lines[0]["pid"] == GetCurrentProcessId());
    std::map<uint64_t, nlohmann::json> ops;
    std::map<std::string, int> names;
    for (const auto& line : lines) {
        EXPECT_EQ(std::string::npos, line.dump().find("secret-token")) << line.dump();
        if (line["ev"] == "op") {
            EXPECT_TRUE(ops.emplace(line["seq"].get<uint64_t>(), line).second) << line.dump();
            ++names[line["name"].get<std::string>()];
        }
    }
    EXPECT_EQ((std::map<std::string, int>{{"QARCAX::CaxConnector::NewCommand", 1},
                                          {"QARCAX::SldwCommand::CreateMenu", 1},
                                          {"QARCAX::SldwCommand::Disconnect", 1},
                                          {"QARCAX::SldwCommand::OpenFile", 1},
                                          {"qar_connector_create", 1},
                                          {"qar_connector_new_command", 1}}),
              names);
    CheckCallsAndTheFault(lines, ops);
}

// The file is bounded (one rotation), and a place that cannot be written costs lines, never results.
TEST_F(ConnectorTest, TraceRotatesAtItsCapAndSkipsWhatItCannotWrite) {
    ScratchFile trace(L"trace-rotation-");
    QARCAX::SetTrace(trace.path.c_str(), 4096);
    SldwConnector connector(3, L"SolidWorks 2016", handleText, L"");
    CaxCommand* made = nullptr;
    ASSERT_EQ(0, connector.NewCommand(nullptr, made));
    Command command(made);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(0, command->CreateMenu(L"PLM"));
    const auto size = [](const std::wstring& path) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
        return data.nFileSizeLow;
    };
    EXPECT_TRUE(size(trace.path + L".1") >= 4096 && size(trace.path + L".1") < 4096 + 512)
        << size(trace.path + L".1");
    EXPECT_TRUE(size(trace.path) > 0 && size(trace.path) < 4096 + 512);
    const uint64_t skipped = QARCAX::GetDiagnosticsStatus().traceSkipped;
    QARCAX::SetTrace(L"C:\\no-such-folder-qar\\sub\\trace.jsonl");
    EXPECT_EQ(0, command->CreateMenu(L"PLM"));
    EXPECT_LT(skipped, QARCAX::GetDiagnosticsStatus().traceSkipped);  // its call and the operation
    QARCAX::SetTrace(nullptr);
}

// Which setting switches the trace on: the environment for one run, else the user's registry value
// (even an empty one, which switches off what the machine sets), else the machine's.
class DiagnosticsSettings : public RegistryRedirect {};
TEST_F(DiagnosticsSettings, EnvironmentThenUserThenMachine) {
    struct Case {
        const wchar_t *environment, *user, *machine, *text, *source;
    } cases[] = {
        {L"C:\\env.jsonl", L"C:\\user.jsonl", L"C:\\machine.jsonl", L"C:\\env.jsonl", L"environment"},
        {nullptr, L"C:\\user.jsonl", L"C:\\machine.jsonl", L"C:\\user.jsonl", L"HKCU"},
        {nullptr, nullptr, L"C:\\machine.jsonl", L"C:\\machine.jsonl", L"HKLM"},
        {nullptr, L"", L"C:\\machine.jsonl", L"", L""},
        {nullptr, nullptr, nullptr, L"", L""},
    };
    for (const Case& c : cases) {
        SetEnvironmentVariableW(L"QARSLDW_TRACE", c.environment);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QarSldw");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\QarSldw");
        if (c.user) SetText(HKEY_CURRENT_USER, L"Software\\QarSldw", L"Trace", c.user);
        if (c.machine) SetText(HKEY_LOCAL_MACHINE, L"Software\\QarSldw", L"Trace", c.machine);
        std::wstring source;
        EXPECT_EQ(c.text, qar::ReadDiagnosticsText(L"QARSLDW_TRACE", L"Trace", source)) << c.source;
        EXPECT_EQ(c.source, source);
    }
    SetEnvironmentVariableW(L"QARSLDW_TRACE", nullptr);
    const DWORD cap = 1234;
    SetRaw(HKEY_LOCAL_MACHINE, L"Software\\QarSldw", L"TraceMaxBytes", REG_DWORD, &cap, sizeof(cap));
    EXPECT_EQ(1234u, qar::ReadDiagnosticsNumber(L"TraceMaxBytes", 7));
    EXPECT_EQ(7u, qar::ReadDiagnosticsNumber(L"MaxDumps", 7));
}

// A minidump file read back: its streams by type (the directory's entries), as dbghelp lays them out.
struct Minidump {
    explicit Minidump(const std::wstring& path) {
        qar::UniqueHandle file(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (file.Get() == INVALID_HANDLE_VALUE) return;
        bytes.resize(GetFileSize(file.Get(), nullptr));
        DWORD read = 0;
        ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    }
    template <class T>
    const T* At(size_t offset) const {
        return offset + sizeof(T) <= bytes.size() ? reinterpret_cast<const T*>(bytes.data() + offset)
                                                  : nullptr;
    }
    // The stream of `type` (4 module list, 6 exception), or null.
    const MINIDUMP_DIRECTORY* Stream(ULONG32 type) const {
        const auto* header = At<MINIDUMP_HEADER>(0);
        for (ULONG32 i = 0; header != nullptr && i < header->NumberOfStreams; ++i) {
            const auto* entry =
                At<MINIDUMP_DIRECTORY>(header->StreamDirectoryRva + i * sizeof(MINIDUMP_DIRECTORY));
            if (entry != nullptr && entry->StreamType == type) return entry;
        }
        return nullptr;
    }
    std::wstring Text(RVA rva) const {  // a MINIDUMP_STRING
        const auto* length = At<ULONG32>(rva);
        if (length == nullptr || rva + 4 + *length > bytes.size()) return L"";
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + rva + 4), *length / 2);
    }
    std::vector<char> bytes;
};

// With a dump folder set, a machine fault turned into a result through a public entry point also
// leaves a minidump: signature, the fault's code and data address in the exception stream, and the
// module holding the library in the module list. The result is what it is without dumps; the limit holds.
TEST_F(ConnectorTest, MachineFaultLeavesAMinidumpWithinItsLimit) {
    const std::wstring folder = TestProgramDirectory() + L"dumps-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    QARCAX::SetDumps(folder.c_str(), 2);
    const unsigned before = QARCAX::GetDiagnosticsStatus().dumpsWritten;
    const wchar_t* bad = reinterpret_cast<const wchar_t*>(0x10);
    QarConnector* connector = nullptr;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(QAR_E_EXCEPTION, qar_connector_create(3, bad, L"", L"", &connector));
    QARCAX::SetDumps(nullptr);
    EXPECT_EQ(before + 2, QARCAX::GetDiagnosticsStatus().dumpsWritten);
    std::vector<std::wstring> dumps;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\QarSldw-*.dmp").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        dumps.push_back(folder + L"\\" + found.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    ASSERT_EQ(2u, dumps.size());
    const Minidump dump(dumps[0]);
    ASSERT_TRUE(dump.At<MINIDUMP_HEADER>(0) != nullptr);
    EXPECT_EQ(0, std::memcmp(dump.bytes.data(), "MDMP", 4));
    const MINIDUMP_DIRECTORY* exception = dump.Stream(ExceptionStream);
    ASSERT_TRUE(exception != nullptr);
    const auto* stream = dump.At<MINIDUMP_EXCEPTION_STREAM>(exception->Location.Rva);
    ASSERT_TRUE(stream != nullptr);
    EXPECT_EQ(GetCurrentThreadId(), stream->ThreadId);
    EXPECT_EQ(static_cast<ULONG32>(EXCEPTION_ACCESS_VIOLATION), stream->ExceptionRecord.ExceptionCode);
    EXPECT_EQ(0x10u, stream->ExceptionRecord.ExceptionInformation[1]);
    EXPECT_NE(0u, stream->ExceptionRecord.ExceptionAddress);
    wchar_t library[MAX_PATH];
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&qar_set_dumps), &self);
    GetModuleFileNameW(self, library, MAX_PATH);
    const MINIDUMP_DIRECTORY* modules = dump.Stream(ModuleListStream);
    ASSERT_TRUE(modules != nullptr);
    const auto* list = dump.At<MINIDUMP_MODULE_LIST>(modules->Location.Rva);
    bool listed = false;
    for (ULONG32 i = 0; list != nullptr && i < list->NumberOfModules; ++i) {
        const auto* module =
            dump.At<MINIDUMP_MODULE>(modules->Location.Rva + 4 + i * sizeof(MINIDUMP_MODULE));
        listed = listed || (module != nullptr && module->BaseOfImage == reinterpret_cast<uintptr_t>(self) &&
                            _wcsicmp(dump.Text(module->ModuleNameRva).c_str(), library) == 0);
    }
    EXPECT_TRUE(listed) << library;
    for (const std::wstring& path : dumps) DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}

}  // namespace
