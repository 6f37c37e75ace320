// The command object against the simulated CAD application in the test's own process: add-in calls,
// the connection probe and the document operations, with what reaches the application (its call log),
// what the status record says, and that every reference the command took is given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "dependency_arrays.h"
#include "sim_test_support.h"
#include "simulator/sim_application.h"
#include "simulator/sim_internal.h"
#include "sldw/sldw_command.h"

using QARCAX::SldwCommand;

namespace {

// How the call log quotes a text.
std::wstring Q(const std::wstring& text) {
    std::wstring quoted = L"'";
    for (wchar_t c : text) quoted += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    return quoted + L"'";
}

// The calls received, without the instance column.
std::vector<std::wstring> Calls(ISimControl* control) {
    std::vector<std::wstring> calls;
    const std::wstring log = CallLog(control);
    for (size_t start = 0; start < log.size();) {
        const size_t end = log.find(L'\n', start);
        const size_t tab = log.find(L'\t', start);
        calls.push_back(log.substr(tab + 1, end - tab - 1));
        start = end + 1;
    }
    return calls;
}

// Documents of its own in a scratch folder: two files of one name in different folders, one of the
// same name in another case, and names with and without an extension.
class ScratchDocuments {
public:
    ScratchDocuments() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"qarcmd-" + std::to_wstring(GetCurrentProcessId());
        for (const wchar_t* folder : {L"", L"\\A", L"\\B", L"\\C"}) CreateDirectoryW((root_ + folder).c_str(), nullptr);
        for (const wchar_t* name : kFiles) WriteFileBytes(Path(name), "material steel\n");
    }
    ~ScratchDocuments() {
        for (const wchar_t* name : kFiles) DeleteFileW(Path(name).c_str());
        for (const wchar_t* folder : {L"\\A", L"\\B", L"\\C", L""}) RemoveDirectoryW((root_ + folder).c_str());
    }
    std::wstring Path(const std::wstring& name) const { return root_ + L"\\" + name; }

private:
    static constexpr const wchar_t* kFiles[] = {L"A\\Box.SLDPRT", L"B\\Box.SLDPRT", L"C\\box.SLDPRT", L"Box.sldasm",
                                                L"Box"};
    std::wstring root_;
};

// A command bound to a fresh simulated application with the stand-in add-in loaded, as the connector
// makes it. After each test the command is deleted and the application must hold no reference of the
// command's or of any document, frame or enumerator it used.
class CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
        ASSERT_EQ(S_OK, app.As(control));
        LONG status = -1;
        ASSERT_EQ(S_OK, app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status));
        ASSERT_EQ(0, status);
        ComPtr<IDispatch> object;
        ASSERT_EQ(S_OK, app->AddInObject(Bstr(L"BrivexSw18.BrivexSw18").Get(), object.Put()));
        ASSERT_EQ(S_OK, object.As(addIn));
        command = MakeCommand(true);
        ASSERT_EQ(S_OK, control->Reset());
    }
    void TearDown() override {
        command.reset();
        addIn.Reset();
        EXPECT_EQ(L"application 2\nframe 0\ndocument 0\nenumerator 0\naddin 0\n", ClientReferences(control.Get()))
            << "references not given back";
        control.Reset();
        app.Reset();
        CoUninitialize();
    }
    // A command as the connector makes it: from a record holding the application, then the add-in.
    std::unique_ptr<SldwCommand> MakeCommand(bool withApp, bool withAddIn = true) {
        QARCAX::ConnectionRecord record;
        record.appObject = withApp ? static_cast<IDispatch*>(app.Get()) : nullptr;
        record.appHandleText = L"657330";
        record.cadType = 3;
        auto made = std::make_unique<SldwCommand>(&record);
        if (withAddIn) made->addIn = addIn;
        return made;
    }
    HRESULT Inject(const wchar_t* entry, HRESULT hr) { return control->FailEntry(Bstr(entry).Get(), hr, SimAlways); }
    std::vector<std::wstring> OpenPaths() {
        std::vector<std::wstring> paths;
        ComPtr<IEnumCaxDocuments> documents;
        EXPECT_EQ(S_OK, app->EnumDocuments(documents.Put()));
        ComPtr<ICaxDocument> document;
        LONG fetched = 0;
        while (documents->Next(1, document.Put(), &fetched) == S_OK) {
            UniqueBstr path;
            document->FullPath(path.Put());
            paths.push_back(path.Str());
        }
        return paths;
    }

    ScratchDocuments files;
    SampleFolder samples;
    ComPtr<ISldWorks> app;
    ComPtr<ISimControl> control;
    ComPtr<ISwAddIn> addIn;
    std::unique_ptr<SldwCommand> command;
};

TEST_F(CommandTest, AddInCallsForwardTheirTextsAndReportTheAddInsOwnErrorFirst) {
    EXPECT_EQ(0, command->CreateMenu(L"menu"));
    EXPECT_EQ(0, command->RefreshTable(L"A", L"B"));
    EXPECT_EQ(0, command->UpdateTable(L"", L"x"));
    EXPECT_EQ((std::vector<std::wstring>{L"ISwAddIn.CreateMenu('menu')", L"ISwAddIn.RefreshTable('A', 'B')",
                                         L"ISwAddIn.UpdateTable('', 'x')"}),
              Calls(control.Get()));
    EXPECT_EQ(0, command->errorCode);

    // The add-in's own number and text when it describes its failure; else the HRESULT and its text
    // after the method's name. "Disconnect" reports the HRESULT's text alone.
    const struct {
        const wchar_t* method;
        HRESULT hr;
        LONG number;
        const wchar_t* description;
        std::function<int(SldwCommand&)> call;
        int code;  // 0: the returned HRESULT
        std::wstring message;
    } cases[] = {
        {L"CreateMenu", E_FAIL, 7, L"no menu file", [](SldwCommand& c) { return c.CreateMenu(L"m"); }, 7,
         L"no menu file"},
        {L"RefreshTable", E_ACCESSDENIED, 9, L"", [](SldwCommand& c) { return c.RefreshTable(L"a", L"b"); }, 0,
         L"callRefreshTable() error, "},
        {L"UpdateTable", E_ACCESSDENIED, 9, nullptr, [](SldwCommand& c) { return c.UpdateTable(L"a", L"b"); }, 0,
         L"callUpdateTable() error, "},
        {L"Disconnect", E_FAIL, 3, L"ignored",
         [](SldwCommand& c) {
             c.Disconnect();
             return c.errorCode;
         },
         0, L""},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(S_OK, control->FailAddInMethod(Bstr(c.method).Get(), c.hr, c.number,
                                                 c.description ? Bstr(c.description).Get() : nullptr, SimOnce));
        command->errorCode = 0;
        const int result = c.call(*command);
        EXPECT_LT(result, 0) << c.method;
        EXPECT_EQ(c.code != 0 ? c.code : result, command->errorCode) << c.method;
        EXPECT_EQ(c.message + (c.code != 0 ? L"" : ComErrorMessage(result)), command->errorMessage) << c.method;
    }

    // Without an add-in nothing is called and nothing fails, deleting included.
    control->Reset();
    auto alone = MakeCommand(true, false);
    EXPECT_EQ(0, alone->CreateMenu(L"m"));
    EXPECT_EQ(0, alone->RefreshTable(L"a", L"b"));
    EXPECT_EQ(0, alone->UpdateTable(L"a", L"b"));
    alone->Disconnect();
    alone.reset();
    EXPECT_EQ(std::vector<std::wstring>{}, Calls(control.Get()));
}

TEST_F(CommandTest, DisconnectOnceByRequestAndOnceMoreWhenDeleted) {
    command->Disconnect();
    command.reset();
    EXPECT_EQ((std::vector<std::wstring>{L"ISwAddIn.Disconnect()", L"ISwAddIn.Disconnect()"}), Calls(control.Get()));
}

TEST_F(CommandTest, ProbeAsksTheApplicationAndTheAddInObject) {
    const struct {
        const wchar_t* failing;  // entry made to fail, or null
        HRESULT hr;
        bool connected;
        std::vector<std::wstring> calls;
    } cases[] = {
        {nullptr, S_OK, true, {L"ISldWorks.Visible.get()", L"ISldWorks.AddInObject('BrivexSw18.BrivexSw18')"}},
        {L"ISldWorks.Visible.get", RPC_E_DISCONNECTED, false, {L"ISldWorks.Visible.get()"}},
        {L"ISldWorks.AddInObject", E_FAIL, false,
         {L"ISldWorks.Visible.get()", L"ISldWorks.AddInObject('BrivexSw18.BrivexSw18')"}},
    };
    for (const auto& c : cases) {
        control->Reset();
        if (c.failing != nullptr) {
            ASSERT_EQ(S_OK, Inject(c.failing, c.hr));
        }
        EXPECT_EQ(c.connected, command->IsConnected()) << (c.failing ? c.failing : L"none");
        EXPECT_EQ(c.calls, Calls(control.Get()));
    }
    // A success without an add-in object still means the application answers.
    control->Reset();
    ASSERT_EQ(S_OK, control->NullResult(Bstr(L"ISldWorks.AddInObject").Get(), SimAlways));
    EXPECT_TRUE(command->IsConnected());
    // Without the application: false, and nothing is asked.
    control->Reset();
    EXPECT_FALSE(MakeCommand(false)->IsConnected());
    EXPECT_FALSE(SldwCommand(nullptr).IsConnected());
    EXPECT_EQ((std::vector<std::wstring>{L"ISwAddIn.Disconnect()"}), Calls(control.Get()));
}

TEST_F(CommandTest, OpenFileClosesSameNamedDocumentsAndPassesTheTypeOfItsExtension) {
    // A missing file fails with the system's text before the application is asked.
    EXPECT_EQ(-1, command->OpenFile(files.Path(L"A\\Missing.SLDPRT")));
    EXPECT_EQ(-1, command->errorCode);
    EXPECT_EQ(SystemMessageText(ERROR_FILE_NOT_FOUND), command->errorMessage);
    EXPECT_EQ(std::vector<std::wstring>{}, Calls(control.Get()));

    ASSERT_EQ(0, command->OpenFile(files.Path(L"A\\Box.SLDPRT")));
    ASSERT_EQ(0, command->OpenFile(files.Path(L"C\\box.SLDPRT")));
    control->Reset();
    // Same file name in another folder: closed first. Another case of the name: left open.
    ASSERT_EQ(0, command->OpenFile(files.Path(L"B\\Box.SLDPRT")));
    const std::wstring a = files.Path(L"A\\Box.SLDPRT"), b = files.Path(L"B\\Box.SLDPRT");
    EXPECT_EQ((std::vector<std::wstring>{L"ISldWorks.ActiveDocument()", L"ISldWorks.EnumDocuments()",
                                         L"IEnumCaxDocuments.Next(1)", L"ICaxDocument.FullPath()",
                                         L"ICaxDocument.PrepareClose()", L"ISldWorks.CloseDocument(" + Q(a) + L")",
                                         L"IEnumCaxDocuments.Next(1)", L"ICaxDocument.FullPath()",
                                         L"IEnumCaxDocuments.Next(1)", L"ISldWorks.OpenDocument(" + Q(b) + L", 1)",
                                         L"ISldWorks.ActivateDocument(" + Q(b) + L")"}),
              Calls(control.Get()));
    EXPECT_EQ((std::vector<std::wstring>{files.Path(L"C\\box.SLDPRT"), b}), OpenPaths());

    // The type comes from the extension in any case; no extension gives 0.
    for (const auto& [name, type] : {std::pair{L"Box.sldasm", 2}, {L"Box", 0}}) {
        control->Reset();
        EXPECT_EQ(0, command->OpenFile(files.Path(name))) << name;
        const auto calls = Calls(control.Get());
        EXPECT_EQ(1, std::count(calls.begin(), calls.end(),
                                L"ISldWorks.OpenDocument(" + Q(files.Path(name)) + L", " + std::to_wstring(type) + L")"));
    }
}

// Every way an open can be refused ends in the same message; the earlier failure stays recorded.
TEST_F(CommandTest, RefusedOpenReportsTheOpenFailedMessage) {
    const std::wstring kOpenFailed = L"open file failed,maybe this document is created by later version.";
    const std::function<void()> refusals[] = {
        [&] { Inject(L"ISldWorks.OpenDocument", E_FAIL); },
        [&] { control->NullResult(Bstr(L"ISldWorks.OpenDocument").Get(), SimAlways); },
    };
    for (const auto& refuse : refusals) {
        control->Reset();
        refuse();
        command->errorMessage.clear();
        EXPECT_EQ(-1, command->OpenFile(files.Path(L"A\\Box.SLDPRT")));
        EXPECT_EQ(-1, command->errorCode);
        EXPECT_EQ(kOpenFailed, command->errorMessage);
    }
    // Without the application an existing file cannot be opened either.
    auto alone = MakeCommand(false);
    EXPECT_EQ(-1, alone->OpenFile(files.Path(L"A\\Box.SLDPRT")));
    EXPECT_EQ(kOpenFailed, alone->errorMessage);
    // A later success keeps the record.
    control->Reset();
    EXPECT_EQ(0, command->OpenFile(files.Path(L"A\\Box.SLDPRT")));
    EXPECT_EQ(-1, command->errorCode);
    EXPECT_EQ(kOpenFailed, command->errorMessage);
}

TEST_F(CommandTest, SaveCloseAndDependenciesOfTheActiveDocument) {
    ASSERT_EQ(0, command->OpenFile(samples.File(L"clamp.sldasm")));
    std::wstring dependencies = L"stale";
    EXPECT_EQ(0, command->GetDependencies(dependencies));
    EXPECT_EQ(samples.File(L"plate.sldprt") + L"|" + samples.File(L"bolt.sldprt"), dependencies);

    // What the application hands over is read as the list rule says, whatever its bounds and elements.
    const UniqueVariant shapes[] = {DependencyArray({L"a", L"X", L"b", L"Y"}, VT_BSTR, 1),
                                    DependencyArray({L"", L"X", L"", std::nullopt, L"", L"Y"}, VT_VARIANT)};
    const wchar_t* const expected[] = {L"a|b", L"X|Y"};
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(S_OK, control->SetDependencies(shapes[i].Get(), SimOnce));
        EXPECT_EQ(0, command->GetDependencies(dependencies));
        EXPECT_EQ(expected[i], dependencies);
    }

    std::wstring saved = L"stale";
    EXPECT_EQ(0, command->SaveFile(saved));
    EXPECT_EQ(samples.File(L"clamp.sldasm"), saved);
    control->Reset();
    EXPECT_EQ(0, command->CloseFile());
    EXPECT_EQ((std::vector<std::wstring>{L"ISldWorks.ActiveDocument()", L"ICaxDocument.NameText()",
                                         L"ISldWorks.CloseDocument('clamp.sldasm')"}),
              Calls(control.Get()));
    EXPECT_EQ(std::vector<std::wstring>{}, OpenPaths());
    EXPECT_EQ(0, command->errorCode);
}

// Each failure of save, close and dependencies: -1, code -1 and the operation's own message filled
// with the failing HRESULT's text. With nothing to work on (no application, no active document, no
// array) the HRESULT is one that says so.
TEST_F(CommandTest, DocumentFailuresReportTheOperationAndTheHresult) {
    const std::wstring kClose = L"QARCAX::SldwCommand::CloseFile():close file failed, ";
    const std::wstring kSave = L"QARCAX::SldwCommand::SaveFile():Save file failed, ";
    const std::wstring kDependencies = L"QARCAX::SldwCommand::GetDependencies():Get Dependencies file failed, ";
    UniqueVariant twoDimensions;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    V_VT(twoDimensions.Ptr()) = VT_ARRAY | VT_BSTR;
    V_ARRAY(twoDimensions.Ptr()) = SafeArrayCreate(VT_BSTR, 2, bounds);
    UniqueVariant number;
    V_VT(number.Ptr()) = VT_I4;

    enum Operation { Close, Save, Dependencies };
    const struct {
        Operation operation;
        std::function<void()> inject;
        HRESULT hr;
    } cases[] = {
        {Close, [&] { Inject(L"ISldWorks.ActiveDocument", E_FAIL); }, E_FAIL},
        {Close, [&] { Inject(L"ICaxDocument.NameText", E_ACCESSDENIED); }, E_ACCESSDENIED},
        {Close, [&] { Inject(L"ISldWorks.CloseDocument", RPC_E_DISCONNECTED); }, RPC_E_DISCONNECTED},
        {Close, [&] { control->NullResult(Bstr(L"ISldWorks.ActiveDocument").Get(), SimAlways); }, E_POINTER},
        {Save, [&] { Inject(L"ISldWorks.ActiveDocument", E_FAIL); }, E_FAIL},
        {Save, [&] { Inject(L"ICaxDocument.Save", STG_E_ACCESSDENIED); }, STG_E_ACCESSDENIED},
        {Save, [&] { control->NullResult(Bstr(L"ISldWorks.ActiveDocument").Get(), SimAlways); }, E_POINTER},
        {Dependencies, [&] { Inject(L"ICaxDocument.Dependencies", E_OUTOFMEMORY); }, E_OUTOFMEMORY},
        {Dependencies, [&] { Inject(L"ISldWorks.ActiveDocument", E_FAIL); }, E_FAIL},
        {Dependencies, [&] { control->NullResult(Bstr(L"ISldWorks.ActiveDocument").Get(), SimAlways); }, E_POINTER},
        {Dependencies, [&] { control->SetDependencies(number.Get(), SimAlways); }, DISP_E_TYPEMISMATCH},
        {Dependencies, [&] { control->SetDependencies(twoDimensions.Get(), SimAlways); }, DISP_E_TYPEMISMATCH},
    };
    ASSERT_EQ(0, command->OpenFile(samples.File(L"clamp.sldasm")));
    for (const auto& c : cases) {
        control->Reset();
        c.inject();
        command->errorCode = 0;
        std::wstring out = L"stale";
        int result = 0;
        std::wstring message;
        switch (c.operation) {
        case Close:
            result = command->CloseFile();
            message = kClose + ComErrorMessage(c.hr) + L". ";
            out.clear();
            break;
        case Save:
            result = command->SaveFile(out);
            message = kSave + ComErrorMessage(c.hr) + L". ";
            break;
        case Dependencies:
            result = command->GetDependencies(out);
            message = kDependencies + ComErrorMessage(c.hr) + L",";
            break;
        }
        EXPECT_EQ(-1, result) << message;
        EXPECT_EQ(-1, command->errorCode);
        EXPECT_EQ(message, command->errorMessage);
        EXPECT_EQ(L"", out);
    }
    EXPECT_EQ((std::vector<std::wstring>{samples.File(L"clamp.sldasm")}), OpenPaths()) << "nothing was closed";

    // Without the application.
    auto alone = MakeCommand(false);
    std::wstring out;
    const std::wstring notConnected = ComErrorMessage(CO_E_OBJNOTCONNECTED);
    EXPECT_EQ(-1, alone->CloseFile());
    EXPECT_EQ(kClose + notConnected + L". ", alone->errorMessage);
    EXPECT_EQ(-1, alone->SaveFile(out));
    EXPECT_EQ(kSave + notConnected + L". ", alone->errorMessage);
    EXPECT_EQ(-1, alone->GetDependencies(out));
    EXPECT_EQ(kDependencies + notConnected + L",", alone->errorMessage);
}

// The command holds its own references: it works and ends cleanly after everyone else let go.
TEST_F(CommandTest, CommandOutlivesTheApplicationsOtherHolders) {
    ASSERT_EQ(0, command->OpenFile(samples.File(L"plate.sldprt")));
    ComPtr<ISldWorks> keep = app;  // given back by TearDown's counterpart below
    control.Reset();
    app.Reset();
    addIn.Reset();
    EXPECT_TRUE(command->IsConnected());
    EXPECT_EQ(0, command->CreateMenu(L"m"));
    std::wstring saved;
    EXPECT_EQ(0, command->SaveFile(saved));
    keep.Reset();
    EXPECT_EQ(1, qarsim::Tally(qarsim::Kind::Application).live);
    command.reset();
    EXPECT_EQ(0, qarsim::Tally(qarsim::Kind::Application).live);
    EXPECT_EQ(0, qarsim::Tally(qarsim::Kind::Document).live);
    // TearDown finds nothing left to count.
    ASSERT_EQ(S_OK, qarsim::CreateApplication(app.Put()));
    ASSERT_EQ(S_OK, app.As(control));
    LONG status = -1;
    app->LoadAddIn(Bstr(TestProgramDirectory() + L"..\\BrivexSw18_x64.dll").Get(), &status);
}

}  // namespace
