// A host program built only against the installed headers and the import library, loading the DLL
// from its own folder beside the add-in module and the language folders, as a host developer's
// program would. What each call does on the far side in detail is the in-process and reliability
// tests' business; here the host's view of a whole session. (A start failure in the user's language is
// the command-line host's test, which links the DLL the same way.)
#include <windows.h>

#include <gtest/gtest.h>

#include <QarSldwInterface.h>

#include <memory>
#include <string>

#include "counted_dispatch.h"
#include "sim_test_support.h"

using qar::ComPtr;

namespace {

bool Has(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

}  // namespace

// The whole job against the simulated CAD application registered in this Wine prefix as a local
// server: start it through its ProgID, load and configure the add-in (the language file from the
// installation's folder), work with documents, menus and tables, and give everything back.
TEST(SimulatorSession, NewCommandStartsTheApplicationAndTheCommandWorksAcrossProcesses) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    const std::wstring folder = TestProgramDirectory(), samples = folder + L"samples\\";
    CountedDispatch host;
    ComPtr<ISimControl> control;
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
        for (wchar_t c : folder + L"BrivexSw18_x64.dll") module += c == L'\\' ? std::wstring(2, c) : std::wstring(1, c);
        EXPECT_TRUE(Has(CallLog(control.Get()), L"ISldWorks.LoadAddIn('" + module + L"')"));
        EXPECT_EQ(L"ISwAddIn.SetLanguageXml\t'<?xml version=\"1.0\" encoding=\"utf-8\"?>\\r\\n<language name=\"en-us\">"
                  L"\\r\\n  <text id=\"menu\">Menu</text>\\r\\n</language>\\r\\n'\n"
                  L"ISwAddIn.SetHostObject\tobject\nISwAddIn.SetAppHandle\t'" +
                      command->connection.appHandleText + L"'\nISwAddIn.SetAddInArgument\t'--session 1'\n",
                  qarsim::AddInConfiguration(control.Get()));
        ASSERT_EQ(S_OK, control->Reset());

        std::wstring dependencies, saved;
        ASSERT_EQ(0, command->OpenFile(samples + L"clamp.sldasm")) << command->errorMessage.c_str();
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
        for (const wchar_t* call : {L"ISldWorks.OpenDocument('", L"ISwAddIn.CreateMenu('PLM')",
                                    L"ISwAddIn.RefreshTable('parts', '1')", L"ISwAddIn.UpdateTable('parts', '2')",
                                    L"ICaxDocument.Save(-1)", L"ISldWorks.CloseDocument('clamp.sldasm')"}) {
            EXPECT_TRUE(Has(work, call)) << call;
        }
        ASSERT_EQ(S_OK, control->Reset());
    }
    EXPECT_TRUE(Has(CallLog(control.Get()), L"ISwAddIn.Disconnect()")) << "deleting the command disconnects";
    // COM's stub holds one reference per interface it has handed out while this test's control keeps
    // the application's stub alive: that line keeps its value from right after attaching. Every other
    // object's references are gone, and the add-in gave the host object back.
    const std::wstring application = attached.substr(0, attached.find(L'\n') + 1);
    EXPECT_EQ(application + L"frame 0\ndocument 0\nenumerator 0\naddin 0\n", ClientReferences(control.Get()));
    EXPECT_EQ(1u, host.references);
    control.Reset();
    CoUninitialize();
}
