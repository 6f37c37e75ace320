// The CAD application ending abruptly in the middle of a session. Runs in a Wine prefix of its own:
// after a server dies, Wine 8 refuses every later activation until its wineserver restarts.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "Public/cax_command.h"
#include "sim_test_support.h"
#include "sldw/sldw_connector.h"

using qar::ComPtr;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPrompt = std::chrono::seconds(5);

TEST(ApplicationEnds, EveryLaterOperationFailsPromptlyAndTheHostGoesOn) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        SampleFolder folder;
        auto connector = std::make_unique<QARCAX::SldwConnector>(3, L"SolidWorks 2016", L"", L"");
        QARCAX::CaxCommand* made = nullptr;
        ASSERT_EQ(0, connector->NewCommand(nullptr, made)) << connector->errorMessage.c_str();
        std::unique_ptr<QARCAX::CaxCommand> command(made);
        ASSERT_EQ(0, command->OpenFile(folder.File(L"clamp.sldasm"))) << command->errorMessage.c_str();
        ComPtr<ISimControl> control;
        ASSERT_EQ(S_OK, static_cast<IUnknown*>(command->connection.appObject)
                            ->QueryInterface(__uuidof(ISimControl), reinterpret_cast<void**>(control.Put())));
        EXPECT_TRUE(FAILED(control->Terminate(3))) << "the call itself cannot be answered";
        control.Reset();
        std::wstring text;
        const std::pair<const char*, std::function<int()>> operations[] = {
            {"OpenFile", [&] { return command->OpenFile(folder.File(L"plate.sldprt")); }},
            {"SaveFile", [&] { return command->SaveFile(text); }},
            {"CloseFile", [&] { return command->CloseFile(); }},
            {"CreateMenu", [&] { return command->CreateMenu(L"PLM"); }},
            {"RefreshTable", [&] { return command->RefreshTable(L"parts", L"1"); }},
        };
        for (const auto& [what, call] : operations) {
            command->errorCode = 0;
            command->errorMessage.clear();
            const auto start = Clock::now();
            EXPECT_NE(0, call()) << what;
            EXPECT_LT(Clock::now() - start, kPrompt) << what;
            EXPECT_NE(0, command->errorCode) << what;
            EXPECT_FALSE(command->errorMessage.empty()) << what;
        }
        auto start = Clock::now();
        EXPECT_FALSE(command->IsConnected());
        command.reset();  // says Disconnect to a dead add-in
        connector.reset();
        EXPECT_LT(Clock::now() - start, kPrompt) << "probe and clean-up";

        // A new connect: Windows starts a new server and succeeds; Wine refuses the activation
        // (0x800706BA) until the wineserver restarts. Either way it answers rather than hangs.
        QARCAX::SldwConnector again(3, L"SolidWorks 2016", L"", L"");
        start = Clock::now();
        made = nullptr;
        const int result = again.NewCommand(nullptr, made);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << "a new connect answers";
        if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
            EXPECT_EQ(-1, again.errorCode);
            EXPECT_EQ(L"Start SldWorks.Application.24 failed,", again.errorMessage.substr(0, 37));
        } else {
            EXPECT_EQ(0, result) << again.errorMessage.c_str();
            delete made;  // the new server ends with its last client
        }
    }
    CoUninitialize();
}

}  // namespace
