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

// "<description>, <source>", cut at the 4,096-character format buffer; without error information
// both parts are empty and the separator stays.
TEST(GuardRecording, ComErrorText) {
    EXPECT_EQ(kPrefix + L"No licence, CAD\n",
              RunTestGuard([]() -> int { throw ComErrorWith(L"No licence", L"CAD"); }).errorMessage);
    EXPECT_EQ(kPrefix + L", \n", RunTestGuard([]() -> int { throw _com_error(E_FAIL); }).errorMessage);
    const std::wstring description(5000, L'd');
    EXPECT_EQ(kPrefix + std::wstring(4096, L'd') + L"\n",
              RunTestGuard([&]() -> int { throw ComErrorWith(description.c_str(), L"s"); }).errorMessage);

    const GuardSite withoutComClause = {L"S", L"s", 1, L"S: ", 18000, false};
    const GuardOutcome outcome =
        RunTestGuard([]() -> int { throw ComErrorWith(L"d", L"s"); }, withoutComClause);
    EXPECT_EQ(18000, outcome.errorCode);
    EXPECT_EQ(L"Unexpected error.\n", outcome.errorMessage);
}

TEST(GuardRecording, OtherExceptionTypes) {
    EXPECT_EQ(kPrefix + L"thrown\n", RunTestGuard([]() -> int {
                                         throw AR_Exception(L"thrown", L"a.cpp", L"A::B", 3);
                                     }).errorMessage);
    EXPECT_EQ(kPrefix + L"\n", RunTestGuard([]() -> int { throw NullWhat(); }).errorMessage)
        << "a null what() is an empty text";
    EXPECT_EQ(L"Unexpected error.\n", RunTestGuard([]() -> int { throw 1.5; }).errorMessage);
    EXPECT_EQ(L"Unexpected error.\n",
              RunTestGuard([]() -> int { throw QARBASE::HResultError(E_OUTOFMEMORY); }).errorMessage);
}
