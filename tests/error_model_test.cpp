// The exception's text and what the guard records for each kind of exception.
#include <windows.h>
#include <comdef.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "Public/com_owners.h"
#include "Public/error_model.h"
#include "guard_test_support.h"

using QARBASE::AR_Exception;

namespace {

const std::wstring kPrefix = L"[Test::Guarded()]: ";

// A COM error carrying error information with this description and source.
_com_error ComErrorWith(const wchar_t* description, const wchar_t* source) {
    ComPtr<ICreateErrorInfo> create;
    EXPECT_EQ(S_OK, CreateErrorInfo(create.Put()));
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetSource(const_cast<LPOLESTR>(source));
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(S_OK, create.As(info));
    return _com_error(E_FAIL, info.Get(), true);
}

struct NullWhat : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

}  // namespace

TEST(ExceptionText, IsTheMessageAndOneLineFeedWhateverItsLength) {
    EXPECT_EQ(L"\n", AR_Exception(L"", L"", L"", 0).Text());
    const std::wstring longMessage(5000, L'm');
    EXPECT_EQ(longMessage + L"\n", AR_Exception(longMessage, L"f", L"g", 1).Text());
}

TEST(GuardRecording, ComErrorIsDescriptionCommaSource) {
    const GuardOutcome outcome = RunTestGuard([]() -> int { throw ComErrorWith(L"No licence", L"CAD"); });
    EXPECT_EQ(-1, outcome.result);
    EXPECT_EQ(-1, outcome.errorCode);
    EXPECT_EQ(kPrefix + L"No licence, CAD\n", outcome.errorMessage);
}

TEST(GuardRecording, ComErrorWithoutErrorInformationKeepsTheSeparator) {
    const GuardOutcome outcome = RunTestGuard([]() -> int { throw _com_error(E_FAIL); });
    EXPECT_EQ(kPrefix + L", \n", outcome.errorMessage);
}

TEST(GuardRecording, ComErrorTextIsCutAtTheFormatBuffer) {
    const std::wstring description(5000, L'd');
    const GuardOutcome outcome =
        RunTestGuard([&]() -> int { throw ComErrorWith(description.c_str(), L"s"); });
    EXPECT_EQ(kPrefix + std::wstring(4096, L'd') + L"\n", outcome.errorMessage);
}

TEST(GuardRecording, SiteWithoutComClauseTreatsComErrorAsUnexpected) {
    const GuardSite site = {L"S", L"s", 1, L"S: ", 18000, false};
    const GuardOutcome outcome = RunTestGuard([]() -> int { throw ComErrorWith(L"d", L"s"); }, site);
    EXPECT_EQ(18000, outcome.errorCode);
    EXPECT_EQ(L"Unexpected error.\n", outcome.errorMessage);
}

TEST(GuardRecording, ExceptionTypesAndTheirTexts) {
    EXPECT_EQ(kPrefix + L"thrown\n", RunTestGuard([]() -> int {
                                         throw AR_Exception(L"thrown", L"a.cpp", L"A::B", 3);
                                     }).errorMessage);
    EXPECT_EQ(kPrefix + L"\n", RunTestGuard([]() -> int { throw NullWhat(); }).errorMessage)
        << "a null what() is an empty text";
    EXPECT_EQ(L"Unexpected error.\n", RunTestGuard([]() -> int { throw 1.5; }).errorMessage);
}

TEST(GuardRecording, NormalResultsPassAndLeaveTheRecordAlone) {
    GuardOutcome outcome{0, 5, L"kept"};
    outcome.result = RunGuarded(kTestSite, outcome.errorCode, outcome.errorMessage, [] { return 17; });
    EXPECT_EQ(17, outcome.result);
    EXPECT_EQ(5, outcome.errorCode);
    EXPECT_EQ(L"kept", outcome.errorMessage);
}

TEST(AnsiToWide, NullAndEmptyGiveEmpty) {
    EXPECT_EQ(L"", AnsiToWide(nullptr));
    EXPECT_EQ(L"", AnsiToWide(""));
    EXPECT_EQ(L"abc", AnsiToWide("abc"));
}
