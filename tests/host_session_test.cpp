// A host program built only against the installed headers and the import library, loading the DLL
// from its own folder beside the add-in module, the language folders and the sample documents, as a
// host developer's program would: the whole job through the C++ classes and through the C interface
// against the simulated CAD application registered in this Wine prefix as a local server. What each
// call does on the far side in detail is the in-process and reliability tests' business; here the
// host's view of a whole session. (A start failure in the user's language is the command-line host's
// test, which links the DLL the same way; the C interface compiled as C is the package test's.)
#include <windows.h>

#include <gtest/gtest.h>

#include <QarSldwInterface.h>
#include <qar_c_api.h>

#include <memory>
#include <string>

#include "counted_dispatch.h"
#include "sim_test_support.h"

using qar::ComPtr;

namespace {

bool Has(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

// One session against the simulated application: the sample assembly and its dependencies, the
// application's control, and the checks every session ends with.
class SimulatorSession : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override {
        control.Reset();
        CoUninitialize();
    }
    // The application a C++ command attaches to, its control kept (so it stays running) after the
    // command is gone and its log cleared: the C interface's tests reach it this way, having no
    // application object of their own.
    void AttachControl() {
        QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
        QARCAX::CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
        const std::unique_ptr<QARCAX::CaxCommand> command(made);
        ASSERT_EQ(S_OK, static_cast<IUnknown*>(command->connection.appObject)
                            ->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put())));
    }
    // The job's calls reached the application and the add-in, texts in their order.
    void ExpectTheJobDone() {
        const std::wstring work = CallLog(control.Get());
        for (const wchar_t* call :
             {L"ISldWorks.OpenDocument('", L"ISwAddIn.CreateMenu('PLM')",
              L"ISwAddIn.RefreshTable('parts', '1')", L"ISwAddIn.UpdateTable('parts', '2')",
              L"ICaxDocument.Save(-1)", L"ISldWorks.CloseDocument('clamp.sldasm')"}) {
            EXPECT_TRUE(Has(work, call)) << call;
        }
        EXPECT_EQ(S_OK, control->Reset());
    }
    // After a session: COM's stub holds one reference per interface it has handed out while this
    // test's control keeps the application's stub alive, so that line keeps its value from right after
    // attaching (`attached`). Every other object's references are gone.
    void ExpectEverythingGivenBack(const std::wstring& attached) {
        const std::wstring application = attached.substr(0, attached.find(L'\n') + 1);
        EXPECT_EQ(application + L"frame 0\ndocument 0\nenumerator 0\naddin 0\n",
                  ClientReferences(control.Get()));
    }

    const std::wstring folder = TestProgramDirectory(), samples = folder + L"samples\\";
    const std::wstring clamp = samples + L"clamp.sldasm";
    const std::wstring dependencies = samples + L"plate.sldprt|" + samples + L"bolt.sldprt";
    ComPtr<ISimControl> control;
};

// A C connector and command made against the running application, owned.
struct CSession {
    QarConnector* connector = nullptr;
    QarCommand* command = nullptr;
    CSession() {
        EXPECT_EQ(QAR_OK, qar_connector_create(3, L"SolidWorks 2016", L"", L"--session c", &connector));
        EXPECT_EQ(QAR_OK, qar_connector_new_command(connector, nullptr, &command));
    }
    ~CSession() {
        qar_command_destroy(command);
        qar_connector_destroy(connector);
    }
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;
};

}  // namespace

// Start the application through its ProgID, load and configure the add-in (the language file from the
// installation's folder), work with documents, menus and tables, and give everything back: deleting
// the command says "Disconnect", and the add-in gives the host object back.
TEST_F(SimulatorSession, CppClassesStartTheApplicationDoTheJobAndGiveEverythingBack) {
    CountedDispatch host;
    std::wstring attached;
    {
        QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"--session 1");
        QARCAX::CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(&host, made)) << connector.errorMessage.c_str();
        std::unique_ptr<QARCAX::CaxCommand> command(made);
        ASSERT_EQ(S_OK, static_cast<IUnknown*>(command->connection.appObject)
                            ->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put())));
        attached = ClientReferences(control.Get());
        std::wstring module;
        for (wchar_t c : folder + L"BrivexSw18_x64.dll")
            module += c == L'\\' ? std::wstring(2, c) : std::wstring(1, c);
        EXPECT_TRUE(Has(CallLog(control.Get()), L"ISldWorks.LoadAddIn('" + module + L"')"));
        EXPECT_EQ(
            L"ISwAddIn.SetLanguageXml\t'<?xml version=\"1.0\" encoding=\"utf-8\"?>\\r\\n<language "
            L"name=\"en-us\">"
            L"\\r\\n  <text id=\"menu\">Menu</text>\\r\\n</language>\\r\\n'\n"
            L"ISwAddIn.SetHostObject\tobject\nISwAddIn.SetAppHandle\t'" +
                command->connection.appHandleText + L"'\nISwAddIn.SetAddInArgument\t'--session 1'\n",
            qarsim::AddInConfiguration(control.Get()));
        ASSERT_EQ(S_OK, control->Reset());

        std::wstring listed, saved;
        ASSERT_EQ(0, command->OpenFile(clamp)) << command->errorMessage.c_str();
        EXPECT_EQ(0, command->GetDependencies(listed));
        EXPECT_EQ(dependencies, listed);
        EXPECT_EQ(0, command->SaveFile(saved));
        EXPECT_EQ(clamp, saved);
        EXPECT_EQ(0, command->CreateMenu(L"PLM"));
        EXPECT_EQ(0, command->RefreshTable(L"parts", L"1"));
        EXPECT_EQ(0, command->UpdateTable(L"parts", L"2"));
        EXPECT_EQ(0, command->CloseFile());
        EXPECT_EQ(0, command->errorCode) << command->errorMessage.c_str();
        ExpectTheJobDone();
    }
    EXPECT_TRUE(Has(CallLog(control.Get()), L"ISwAddIn.Disconnect()"));
    ExpectEverythingGivenBack(attached);
    EXPECT_EQ(1u, host.references);
}

// The C interface refuses NULL handles and arguments before it does anything.
TEST_F(SimulatorSession, CInterfaceRefusesNullHandlesAndArguments) {
    QarConnector* connector = reinterpret_cast<QarConnector*>(1);
    QarCommand* command = reinterpret_cast<QarCommand*>(1);
    wchar_t text[8];
    size_t needed = 0;
    int flag = 0;
    for (const int result :
         {qar_connector_new_command(nullptr, nullptr, &command),
          qar_connector_last_error(nullptr, &flag, text, 8, nullptr), qar_command_disconnect(nullptr),
          qar_command_is_connected(nullptr, &flag), qar_command_open_file(nullptr, L""),
          qar_command_close_file(nullptr), qar_command_save_file(nullptr, text, 8, &needed),
          qar_command_get_dependencies(nullptr, text, 8, &needed),
          qar_command_last_text(nullptr, text, 8, &needed), qar_command_create_menu(nullptr, L"PLM"),
          qar_command_refresh_table(nullptr, L"a", L"b"), qar_command_update_table(nullptr, L"a", L"b"),
          qar_command_last_error(nullptr, &flag, text, 8, &needed)})
        EXPECT_EQ(QAR_E_NULL_HANDLE, result);
    EXPECT_TRUE(qar_command_destroy(nullptr) == QAR_OK && qar_connector_destroy(nullptr) == QAR_OK);
    for (const int result : {qar_connector_create(3, nullptr, L"", L"", &connector),
                             qar_connector_create(3, L"SolidWorks 2016", nullptr, L"", &connector),
                             qar_connector_create(3, L"SolidWorks 2016", L"", nullptr, &connector),
                             qar_connector_create(3, L"SolidWorks 2016", L"", L"", nullptr)})
        EXPECT_EQ(QAR_E_NULL_ARGUMENT, result);
    EXPECT_EQ(nullptr, connector);
}

// The same job through the C interface: a text that does not fit is reported with the size it needs
// (and never written past the buffer), and everything is given back.
TEST_F(SimulatorSession, CInterfaceDoesTheJobReportsTheSizeATextNeedsAndGivesEverythingBack) {
    ASSERT_NO_FATAL_FAILURE(AttachControl());
    ASSERT_EQ(S_OK, control->Reset());
    wchar_t text[2048];
    size_t needed = 0;
    int flag = 0, code = 0;
    std::wstring attached;
    {
        CSession session;
        QarConnector* connector = session.connector;
        QarCommand* command = session.command;
        ASSERT_NE(nullptr, command);
        EXPECT_EQ(QAR_E_NULL_ARGUMENT, qar_connector_new_command(connector, nullptr, nullptr));
        EXPECT_TRUE(qar_connector_last_error(connector, &code, text, 2048, nullptr) == QAR_OK &&
                    code == QAR_E_NULL_ARGUMENT && Has(text, L"command is NULL"));
        attached = ClientReferences(control.Get());
        EXPECT_TRUE(qar_command_is_connected(command, &flag) == QAR_OK && flag == 1);
        EXPECT_EQ(QAR_OK, qar_command_open_file(command, clamp.c_str()));
        EXPECT_TRUE(qar_command_get_dependencies(command, text, 2048, &needed) == QAR_OK &&
                    dependencies == text);
        std::wstring small(16, L'#');  // cut to nothing, and not written past the size given
        EXPECT_TRUE(qar_command_get_dependencies(command, &small[0], 5, &needed) == QAR_E_BUFFER_TOO_SMALL &&
                    needed == dependencies.size() + 1 && small[0] == L'\0' &&
                    small.substr(5) == std::wstring(11, L'#'));
        EXPECT_EQ(QAR_E_BUFFER_TOO_SMALL, qar_command_last_text(command, text, needed - 1, nullptr));
        EXPECT_TRUE(qar_command_last_text(command, text, needed, nullptr) == QAR_OK && dependencies == text);
        EXPECT_TRUE(qar_command_get_dependencies(command, nullptr, 0, &needed) == QAR_E_BUFFER_TOO_SMALL &&
                    needed == dependencies.size() + 1);
        // Too small is no failure.
        EXPECT_TRUE(qar_command_last_error(command, &code, text, 2048, nullptr) == QAR_OK && code == 0);
        EXPECT_EQ(QAR_OK, qar_command_create_menu(command, L"PLM"));
        EXPECT_EQ(QAR_OK, qar_command_refresh_table(command, L"parts", L"1"));
        EXPECT_EQ(QAR_OK, qar_command_update_table(command, L"parts", L"2"));
        EXPECT_TRUE(qar_command_save_file(command, text, 2048, nullptr) == QAR_OK && clamp == text);
        EXPECT_EQ(QAR_OK, qar_command_close_file(command));
        ExpectTheJobDone();
        EXPECT_EQ(QAR_OK, qar_command_disconnect(command));
    }
    ExpectEverythingGivenBack(attached);
}

// Failures and refusals of a live command are left in its status record, and a fault inside an
// operation is its result.
TEST_F(SimulatorSession, CInterfaceRecordsFailuresRefusalsAndFaultsInTheCommandsStatus) {
    ASSERT_NO_FATAL_FAILURE(AttachControl());
    CSession session;
    QarCommand* command = session.command;
    ASSERT_NE(nullptr, command);
    wchar_t text[2048];
    int code = 0;
    // The call's result and the code in the command's status record are `want`; its message holds `part`.
    const auto recorded = [&](int result, int want, const wchar_t* part) {
        wchar_t message[1024] = L"";
        return qar_command_last_error(command, &code, message, 1024, nullptr) == QAR_OK && result == want &&
               code == want && Has(message, part);
    };
    EXPECT_TRUE(recorded(qar_command_open_file(command, L"C:\\nowhere\\missing.sldprt"), -1, L""));
    EXPECT_TRUE(recorded(qar_command_save_file(command, text, 2048, nullptr), -1, L"") && text[0] == L'\0');
    EXPECT_TRUE(recorded(qar_command_open_file(command, nullptr), QAR_E_NULL_ARGUMENT, L"path is NULL"));
    EXPECT_TRUE(recorded(qar_command_create_menu(command, nullptr), QAR_E_NULL_ARGUMENT, L"arg is NULL"));
    EXPECT_TRUE(
        recorded(qar_command_refresh_table(command, L"a", nullptr), QAR_E_NULL_ARGUMENT, L"arg2 is NULL"));
    EXPECT_TRUE(
        recorded(qar_command_update_table(command, nullptr, L"b"), QAR_E_NULL_ARGUMENT, L"arg1 is NULL"));
    EXPECT_TRUE(
        recorded(qar_command_is_connected(command, nullptr), QAR_E_NULL_ARGUMENT, L"connected is NULL"));
    EXPECT_TRUE(recorded(qar_command_get_dependencies(command, nullptr, 5, nullptr), QAR_E_NULL_ARGUMENT,
                         L"buffer is NULL"));
    // An unmapped text pointer faults inside the operation: the guard turns the fault into a result.
    EXPECT_TRUE(recorded(qar_command_open_file(command, reinterpret_cast<const wchar_t*>(0x10)),
                         QAR_E_EXCEPTION, L"qar_command_open_file(): "));
}
