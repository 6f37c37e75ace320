// A host program built only against the installed headers and the import library, loading the DLL
// from its own folder, as a host developer's program would.
#include <windows.h>

#include <gtest/gtest.h>

#include <QarSldwInterface.h>

#include <memory>
#include <string>

namespace {

// The system's text for `hr` without its final line break.
std::wstring SystemText(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                        nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    if (text.empty()) {
        wchar_t fallback[32];
        swprintf(fallback, 32, L"Unknown error 0x%lX", static_cast<unsigned long>(hr));
        text = fallback;
    }
    return text;
}

}  // namespace

// An installation nobody registered: activation fails and the message, in the user's language, names
// the ProgID tried and the system's text for the failure.
TEST(HostSession, UnregisteredVersionReportsStartFailedInTheUsersLanguage) {
    QARCAX::SldwConnector connector(3, L"SolidWorks 2030", L"", L"");
    QARCAX::CaxCommand* command = nullptr;
    const int result = connector.NewCommand(nullptr, command);
    EXPECT_EQ(nullptr, command);
    EXPECT_LT(result, 0);
    EXPECT_EQ(-1, connector.errorCode);
    const std::wstring progId = L"SldWorks.Application.38";
    const std::wstring expected = PRIMARYLANGID(GetUserDefaultLangID()) == LANG_CHINESE
                                      ? L"\u542F\u52A8 " + progId + L" \u5931\u8D25, " + SystemText(result)
                                      : L"Start " + progId + L" failed," + SystemText(result);
    EXPECT_EQ(expected, connector.errorMessage);
}

// ---------------------------------------------------------------------------------------------------
// Sessions against the simulated CAD application, registered in this Wine prefix as a local server.

#include "counted_dispatch.h"
#include "sim_test_support.h"

#include <algorithm>
#include <vector>

namespace {

// The directory of this program, with a trailing backslash.
std::wstring ProgramDirectory() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring Escaped(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) escaped += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    return escaped;
}

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// The control of the application a command is bound to.
void ControlOf(QARCAX::CaxCommand& command, ComPtr<ISimControl>& control) {
    ASSERT_NE(nullptr, command.connection.appObject);
    ASSERT_EQ(S_OK, static_cast<IUnknown*>(command.connection.appObject)
                        ->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put())));
}

// The registered simulator's control, reached by activation as a tool would.
void RegisteredControl(ComPtr<ISimControl>& control) {
    CLSID id;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"SldWorks.Application.24", &id));
    ASSERT_EQ(S_OK, CoCreateInstance(id, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(ISimControl),
                                     reinterpret_cast<void**>(control.Put())));
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

class SimulatorSession : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

}  // namespace

// The whole job: start the application through its ProgID, load and configure the add-in, and work
// with documents, menus and tables across the process boundary.
TEST_F(SimulatorSession, NewCommandStartsTheApplicationAndTheCommandWorksAcrossProcesses) {
    const std::wstring folder = ProgramDirectory();
    const std::wstring samples = folder + L"samples\\";
    CountedDispatch host;
    ComPtr<ISimControl> control;
    std::wstring attached;
    {
        QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"--session 1");
        QARCAX::CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(&host, made)) << connector.errorMessage.c_str();
        std::unique_ptr<QARCAX::CaxCommand> command(made);
        ControlOf(*command, control);
        ASSERT_TRUE(control.Get());
        attached = ClientReferences(control.Get());
        const std::wstring log = CallLog(control.Get());
        EXPECT_TRUE(Contains(log, L"ISldWorks.Visible.put(-1)")) << log;
        EXPECT_TRUE(Contains(log, L"ISldWorks.UserControl.put(-1)")) << log;
        EXPECT_TRUE(Contains(log, L"ISldWorks.LoadAddIn('" + Escaped(folder + L"BrivexSw18_x64.dll") + L"')")) << log;
        UniqueBstr configuration;
        ASSERT_EQ(S_OK, control->AddInConfiguration(configuration.Put()));
        EXPECT_EQ(L"ISwAddIn.SetLanguageXml\t'<?xml version=\"1.0\" encoding=\"utf-8\"?>\\r\\n<language name=\"en-us\">"
                  L"\\r\\n  <text id=\"menu\">Menu</text>\\r\\n</language>\\r\\n'\n"
                  L"ISwAddIn.SetHostObject\tobject\nISwAddIn.SetAppHandle\t'" +
                      command->connection.appHandleText + L"'\nISwAddIn.SetAddInArgument\t'--session 1'\n",
                  configuration.Str());
        EXPECT_TRUE(command->IsConnected());
        ASSERT_EQ(S_OK, control->Reset());

        ASSERT_EQ(0, command->OpenFile(samples + L"clamp.sldasm")) << command->errorMessage.c_str();
        std::wstring dependencies, saved;
        EXPECT_EQ(0, command->GetDependencies(dependencies));
        EXPECT_EQ(samples + L"plate.sldprt|" + samples + L"bolt.sldprt", dependencies);
        EXPECT_EQ(0, command->SaveFile(saved));
        EXPECT_EQ(samples + L"clamp.sldasm", saved);
        EXPECT_EQ(0, command->CreateMenu(L"PLM"));
        EXPECT_EQ(0, command->RefreshTable(L"parts", L"1"));
        EXPECT_EQ(0, command->UpdateTable(L"parts", L"2"));
        EXPECT_EQ(0, command->CloseFile());
        EXPECT_EQ(0, command->errorCode) << command->errorMessage.c_str();
        const std::wstring work = CallLog(control.Get());
        for (const wchar_t* call : {L"ISwAddIn.CreateMenu('PLM')", L"ISwAddIn.RefreshTable('parts', '1')",
                                    L"ISwAddIn.UpdateTable('parts', '2')", L"ICaxDocument.Save(-1)",
                                    L"ISldWorks.CloseDocument('clamp.sldasm')"}) {
            EXPECT_TRUE(Contains(work, call)) << call;
        }
        // A second connect on the same connector gives the first application back before anything else.
        const std::wstring before = ClientReferences(control.Get());
        QARCAX::CaxCommand* second = nullptr;
        ASSERT_EQ(0, connector.NewCommand(&host, second));
        delete second;
        EXPECT_EQ(before, ClientReferences(control.Get()));
        ASSERT_EQ(S_OK, control->Reset());
    }
    EXPECT_TRUE(Contains(CallLog(control.Get()), L"ISwAddIn.Disconnect()")) << "deleting the command disconnects";
    // Across processes COM's stub holds one reference per interface it has handed out for as long as
    // this test's control keeps the application's stub alive: that line is compared with its value
    // right after attaching. Every other object's references are gone.
    const std::wstring application = attached.substr(0, attached.find(L'\n') + 1);
    EXPECT_EQ(application + L"frame 0\ndocument 0\nenumerator 0\naddin 0\n", ClientReferences(control.Get()));
    EXPECT_EQ(1u, host.references) << "the add-in gave the host object back";
}

// Two more instances in the running-object table: the handle text of one attaches to that one only;
// a text that is not exactly a handle reaches the registered application instead.
TEST_F(SimulatorSession, HandleTextChoosesTheInstance) {
    const std::wstring server = ProgramDirectory() + L"..\\..\\simulator\\qarcadsim.exe";
    std::vector<PROCESS_INFORMATION> started;
    for (int i = 0; i < 2; ++i) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        std::wstring line = L"\"" + server + L"\" /instance /lifetime:60";
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
        started.push_back(process);
    }
    // The instances' handle texts and ids, as a walk of the table finds them.
    struct Instance {
        std::wstring handle;
        LONG id;
    };
    std::vector<Instance> instances;
    const std::vector<DWORD> processes = {started[0].dwProcessId, started[1].dwProcessId};
    for (int attempt = 0; attempt < 100 && instances.size() < 2; ++attempt) {
        Sleep(100);
        instances.clear();
        ComPtr<IRunningObjectTable> table;
        ComPtr<IEnumMoniker> entries;
        ASSERT_EQ(S_OK, GetRunningObjectTable(0, table.Put()));
        ASSERT_EQ(S_OK, table->EnumRunning(entries.Put()));
        for (;;) {
            ComPtr<IMoniker> moniker;
            if (entries->Next(1, moniker.Put(), nullptr) != S_OK) break;
            ComPtr<IUnknown> object;
            ComPtr<ISldWorks> app;
            ComPtr<ISimControl> control;
            ComPtr<IDispatch> frameObject;
            ComPtr<IFrame> frame;
            LONG handle = 0, id = 0;
            if (FAILED(table->GetObject(moniker.Get(), object.Put())) ||
                FAILED(object->QueryInterface(__uuidof(ISldWorks), reinterpret_cast<void**>(app.Put()))) ||
                FAILED(app->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put()))) ||
                FAILED(control->get_InstanceId(&id)) || FAILED(app->Frame(frameObject.Put())) ||
                FAILED(frameObject->QueryInterface(__uuidof(IFrame), reinterpret_cast<void**>(frame.Put()))) ||
                FAILED(frame->GetHWnd(&handle))) {
                continue;
            }
            // Instance ids are the server's process id times 1000 plus a sequence number.
            if (std::find(processes.begin(), processes.end(), static_cast<DWORD>(id / 1000)) != processes.end()) {
                instances.push_back({std::to_wstring(handle), id});
            }
        }
    }
    ASSERT_EQ(2u, instances.size()) << "both instances entered the running-object table";
    EXPECT_NE(instances[0].handle, instances[1].handle);

    for (const Instance& chosen : instances) {
        QARCAX::SldwConnector connector(3, L"SolidWorks 2016", chosen.handle, L"");
        QARCAX::CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
        std::unique_ptr<QARCAX::CaxCommand> command(made);
        EXPECT_EQ(chosen.handle, command->connection.appHandleText);
        ComPtr<ISimControl> control;
        ControlOf(*command, control);
        LONG id = 0;
        ASSERT_EQ(S_OK, control->get_InstanceId(&id));
        EXPECT_EQ(chosen.id, id) << "attached to the named instance";
        EXPECT_TRUE(Contains(CallLog(control.Get()), std::to_wstring(id) + L"\tISldWorks.LoadAddIn("));
    }
    for (const std::wstring& text : {L" " + instances[1].handle, L"0" + instances[1].handle}) {
        QARCAX::SldwConnector connector(3, L"SolidWorks 2016", text, L"");
        QARCAX::CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector.NewCommand(nullptr, made)) << connector.errorMessage.c_str();
        std::unique_ptr<QARCAX::CaxCommand> command(made);
        ComPtr<ISimControl> control;
        ControlOf(*command, control);
        LONG id = 0;
        ASSERT_EQ(S_OK, control->get_InstanceId(&id));
        EXPECT_NE(instances[0].id, id);
        EXPECT_NE(instances[1].id, id) << "the registered application, not the named instance";
    }
    for (PROCESS_INFORMATION& process : started) {
        TerminateProcess(process.hProcess, 0);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// Failures on the far side of the process boundary and what the connector records for them.
TEST_F(SimulatorSession, FailuresAcrossTheProcessBoundary) {
    ComPtr<ISimControl> control;
    RegisteredControl(control);
    ASSERT_TRUE(control.Get());
    const std::wstring module = ProgramDirectory() + L"BrivexSw18_x64.dll";
    const std::wstring prefix = L"[QARCAX::SldwConnector::GetAddInObj()]: ";
    const struct {
        const char* what;
        HRESULT (*inject)(ISimControl*);
        int result;
        int code;
        std::wstring message;
    } cases[] = {
        {"plain connect, which loads the add-in", [](ISimControl*) { return S_OK; }, 0, 0, L""},
        {"load status 1", [](ISimControl* c) { return c->SetLoadAddInStatus(1, SimOnce); }, -1, 1,
         L"LoadAddin " + module + L" failed."},
        {"load status -1", [](ISimControl* c) { return c->SetLoadAddInStatus(-1, SimOnce); }, -1, -1,
         L"LoadAddin " + module + L" failed."},
        {"load status 2 (already loaded) goes on", [](ISimControl* c) { return c->SetLoadAddInStatus(2, SimOnce); },
         0, 0, L""},
        {"no add-in object",
         [](ISimControl* c) {
             return c->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimOnce);
         },
         -1, -255, L"QARCAX::SldwConnector::GetAddInObj():Get BrivexSw18.BrivexSw18 failed"},
        // Windows carries the add-in's error information back with the failed call; Wine 8 does not
        // (GetErrorInfo gives S_FALSE), so the message holds only the separator there.
        {"handle refused",
         [](ISimControl* c) {
             return c->FailEntry(Bstr(L"ISwAddIn.SetAppHandle").Get(), E_ACCESSDENIED, SimOnce);
         },
         -1, -1, UnderWine() ? prefix + L", \n" : prefix},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(S_OK, control->Reset());
        ASSERT_EQ(S_OK, c.inject(control.Get())) << c.what;
        QARCAX::SldwConnector connector(3, L"SolidWorks 2016", L"", L"");
        QARCAX::CaxCommand* made = nullptr;
        EXPECT_EQ(c.result, connector.NewCommand(nullptr, made)) << c.what;
        delete made;
        EXPECT_EQ(c.code, connector.errorCode) << c.what;
        if (UnderWine() || c.code != -1 || c.message != prefix) {
            EXPECT_EQ(c.message, connector.errorMessage) << c.what;
        } else {
            EXPECT_EQ(prefix, connector.errorMessage.substr(0, prefix.size())) << c.what;
            EXPECT_NE(prefix + L", \n", connector.errorMessage) << "Windows carries the description";
        }
    }
    ASSERT_EQ(S_OK, control->Reset());
}
