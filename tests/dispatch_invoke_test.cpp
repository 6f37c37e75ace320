// Calls by name on the stand-in add-in, and HRESULT texts.
#include <gtest/gtest.h>

#include <string>

#include "Public/dispatch_invoke.h"
#include "allocation_spy.h"
#include "stand_in_add_in.h"

namespace {

// Every test ends with the stand-in holding only its own reference and no BSTR outstanding, whatever
// path the call took.
class InvokeByNameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        spy_ = new AllocationSpy;
        ASSERT_TRUE(spy_->Active()) << "the COM allocator spy could not be installed";
    }
    void TearDown() override {
        if (spy_ != nullptr) {
            EXPECT_EQ(0, spy_->Outstanding()) << "BSTRs leaked";
            delete spy_;
        }
        EXPECT_EQ(1u, addIn.References()) << "references not given back";
        CoUninitialize();
    }

    StandInAddIn addIn;
    AllocationSpy* spy_ = nullptr;
    int errorCode = 12345;
    std::wstring errorMessage = L"earlier failure";
};

TEST_F(InvokeByNameTest, SuccessCostsOneLookupAndOneCallAndLeavesTheOutputs) {
    EXPECT_EQ(0, InvokeByName(&addIn, L"Disconnect", errorCode, errorMessage));
    EXPECT_EQ(1, addIn.LookUps());
    EXPECT_EQ(1, addIn.Invokes());
    EXPECT_EQ(0, InvokeByName(&addIn, L"CreateMenu", L"menu", errorCode, errorMessage));
    EXPECT_EQ(2, addIn.LookUps());
    EXPECT_EQ(2, addIn.Invokes());
    EXPECT_EQ(0, InvokeByName(&addIn, L"RefreshTable", L"a", L"b", errorCode, errorMessage));
    EXPECT_EQ(3, addIn.LookUps());
    EXPECT_EQ(3, addIn.Invokes());

    EXPECT_EQ(12345, errorCode);
    EXPECT_EQ(L"earlier failure", errorMessage);
    for (const StandInAddIn::Call& call : addIn.Calls())
        EXPECT_EQ(DISPATCH_METHOD, call.flags) << call.name.c_str();
}

TEST_F(InvokeByNameTest, ArgumentsArriveAsBstrsInTheCallersOrder) {
    ASSERT_EQ(0, InvokeByName(&addIn, L"RefreshTable", L"first", L"second", errorCode, errorMessage));
    ASSERT_EQ(0, InvokeByName(&addIn, L"UpdateTable", L"", L"", errorCode, errorMessage));
    ASSERT_EQ(0, InvokeByName(&addIn, L"CreateMenu", L"", errorCode, errorMessage));

    const auto& calls = addIn.Calls();
    ASSERT_EQ(3u, calls.size());
    ASSERT_EQ(2u, calls[0].arguments.size());
    EXPECT_EQ(L"first", calls[0].arguments[0].text);
    EXPECT_EQ(L"second", calls[0].arguments[1].text);
    // Empty texts arrive as empty strings: a null BSTR means "no string" to some servers.
    ASSERT_EQ(2u, calls[1].arguments.size());
    ASSERT_EQ(1u, calls[2].arguments.size());
    for (const auto* call : {&calls[0], &calls[1], &calls[2]}) {
        for (const StandInAddIn::Argument& argument : call->arguments) {
            EXPECT_EQ(VT_BSTR, argument.type) << call->name.c_str();
            EXPECT_FALSE(argument.isNull) << call->name.c_str();
        }
    }
}

TEST_F(InvokeByNameTest, AddInDescriptionIsPreferredWhileTheHresultIsReturned) {
    addIn.Fail(L"CreateMenu", E_FAIL);
    addIn.SetLastError(7, L"menu file missing");
    EXPECT_EQ(E_FAIL, InvokeByName(&addIn, L"CreateMenu", L"x", errorCode, errorMessage));
    EXPECT_EQ(7, errorCode);
    EXPECT_EQ(L"menu file missing", errorMessage);

    addIn.Fail(L"UpdateTable", DISP_E_EXCEPTION);
    addIn.SetLastError(-20, L"table locked");
    EXPECT_EQ(DISP_E_EXCEPTION, InvokeByName(&addIn, L"UpdateTable", L"a", L"b", errorCode, errorMessage));
    EXPECT_EQ(-20, errorCode);
    EXPECT_EQ(L"table locked", errorMessage);
}

TEST_F(InvokeByNameTest, WithoutADescriptionTheMessageNamesTheMethodAndTheHresult) {
    const std::wstring text = L"callCreateMenu() error, " + ComErrorMessage(E_FAIL);
    addIn.Fail(L"CreateMenu", E_FAIL);
    for (const auto& description : {std::optional<std::wstring>(L""), std::optional<std::wstring>()}) {
        addIn.SetLastError(7, description);
        errorCode = 0;
        errorMessage.clear();
        EXPECT_EQ(E_FAIL, InvokeByName(&addIn, L"CreateMenu", L"x", errorCode, errorMessage));
        EXPECT_EQ(E_FAIL, errorCode);
        EXPECT_EQ(text, errorMessage);
    }
}

TEST_F(InvokeByNameTest, UnknownMethodIsReportedLikeAFailedCall) {
    addIn.Forget(L"RefreshTable");
    addIn.SetLastError(3, L"not ready");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, InvokeByName(&addIn, L"RefreshTable", L"a", L"b", errorCode, errorMessage));
    EXPECT_EQ(3, errorCode);
    EXPECT_EQ(L"not ready", errorMessage);
    // Both error properties were read, nothing else was called.
    ASSERT_EQ(2u, addIn.Calls().size());
    EXPECT_EQ(L"errNumber", addIn.Calls()[0].name);
    EXPECT_EQ(DISPATCH_PROPERTYGET, addIn.Calls()[0].flags);
    EXPECT_EQ(L"errDescription", addIn.Calls()[1].name);

    addIn.SetLastError(0, L"");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, InvokeByName(&addIn, L"NoSuchMethod", L"a", errorCode, errorMessage));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, errorCode);
    EXPECT_EQ(L"callNoSuchMethod() error, " + ComErrorMessage(DISP_E_UNKNOWNNAME), errorMessage);
}

TEST_F(InvokeByNameTest, ErrorPropertiesThatCannotBeReadGiveTheComposedMessage) {
    const std::wstring text = L"callCreateMenu() error, " + ComErrorMessage(E_ACCESSDENIED);
    addIn.Fail(L"CreateMenu", E_ACCESSDENIED);
    addIn.SetLastError(7, L"hidden");

    // The number was read, the description is missing: the number's value must not be taken for a string.
    addIn.Forget(L"errDescription");
    EXPECT_EQ(E_ACCESSDENIED, InvokeByName(&addIn, L"CreateMenu", L"x", errorCode, errorMessage));
    EXPECT_EQ(E_ACCESSDENIED, errorCode);
    EXPECT_EQ(text, errorMessage);

    StandInAddIn failingRead;
    failingRead.Fail(L"CreateMenu", E_ACCESSDENIED);
    failingRead.SetLastError(7, L"hidden");
    failingRead.FailRead(L"errDescription", DISP_E_EXCEPTION);
    EXPECT_EQ(E_ACCESSDENIED, InvokeByName(&failingRead, L"CreateMenu", L"x", errorCode, errorMessage));
    EXPECT_EQ(E_ACCESSDENIED, errorCode);
    EXPECT_EQ(text, errorMessage);
    EXPECT_EQ(1u, failingRead.References());
}

TEST_F(InvokeByNameTest, DescriptionWithoutANumberRecordsZero) {
    addIn.Fail(L"CreateMenu", E_FAIL);
    addIn.SetLastError(7, L"text only");
    addIn.Forget(L"errNumber");
    EXPECT_EQ(E_FAIL, InvokeByName(&addIn, L"CreateMenu", L"x", errorCode, errorMessage));
    EXPECT_EQ(0, errorCode);
    EXPECT_EQ(L"text only", errorMessage);
}

TEST_F(InvokeByNameTest, NoArgumentFormReportsTheHresultTextOnly) {
    addIn.Fail(L"Disconnect", E_UNEXPECTED);
    addIn.SetLastError(7, L"ignored");
    EXPECT_EQ(E_UNEXPECTED, InvokeByName(&addIn, L"Disconnect", errorCode, errorMessage));
    EXPECT_EQ(E_UNEXPECTED, errorCode);
    EXPECT_EQ(ComErrorMessage(E_UNEXPECTED), errorMessage);
    EXPECT_EQ(1, addIn.Invokes()) << "the error properties are not read";
}

TEST_F(InvokeByNameTest, NullTargetCallsNothingAndLeavesTheOutputs) {
    EXPECT_EQ(0, InvokeByName(nullptr, L"CreateMenu", L"x", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(nullptr, L"RefreshTable", L"a", L"b", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(nullptr, L"Disconnect", errorCode, errorMessage));
    EXPECT_EQ(12345, errorCode);
    EXPECT_EQ(L"earlier failure", errorMessage);
}

TEST_F(InvokeByNameTest, ArgumentCopyWithoutMemoryThrowsBeforeAnyCall) {
    for (long skip : {0L, 1L}) {  // the first, then the second argument's copy fails
        spy_->FailAllocationAfter(skip);
        try {
            InvokeByName(&addIn, L"RefreshTable", L"a", L"b", errorCode, errorMessage);
            ADD_FAILURE() << "no exception with allocation " << skip << " failing";
        } catch (const QARBASE::HResultError& error) {
            EXPECT_EQ(E_OUTOFMEMORY, error.Result());
            EXPECT_STREQ("HRESULT 0x8007000E", error.what());
        }
    }
    spy_->FailAllocationAfter(0);
    EXPECT_THROW(InvokeByName(&addIn, L"CreateMenu", L"x", errorCode, errorMessage), QARBASE::HResultError);
    EXPECT_EQ(0, addIn.LookUps());
    EXPECT_EQ(12345, errorCode);
    EXPECT_EQ(L"earlier failure", errorMessage);
}

// The system's own text for `hr`, or "" when it has none.
std::wstring SystemText(HRESULT hr) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result = length != 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    return result;
}

TEST(ComErrorMessage, CodesWithoutSystemTextGetAFallback) {
    if (!SystemText(0x80040205).empty() || !SystemText(0x80040200).empty() ||
        !SystemText(0x8004FFFF).empty()) {
        GTEST_SKIP() << "this system has its own text for an interface-specific code";
    }
    EXPECT_EQ(L"IDispatch error #5", ComErrorMessage(0x80040205));
    EXPECT_EQ(L"IDispatch error #65023", ComErrorMessage(0x8004FFFF));
    EXPECT_EQ(L"Unknown error 0x80040200", ComErrorMessage(0x80040200));
    EXPECT_EQ(L"Unknown error 0xC0DE0001", ComErrorMessage(0xC0DE0001));
}

TEST(ComErrorMessage, SystemTextLosesItsFinalLineBreak) {
    const std::wstring raw = SystemText(E_OUTOFMEMORY);
    ASSERT_GE(raw.size(), 3u);
    ASSERT_EQ(L"\r\n", raw.substr(raw.size() - 2)) << "system texts end with CR LF";
    EXPECT_EQ(raw.substr(0, raw.size() - 2), ComErrorMessage(E_OUTOFMEMORY));
}

TEST(ComErrorMessage, OnlyOneFinalLineBreakIsTrimmed) {
    EXPECT_EQ(L"text", TrimFinalLineBreak(L"text\r\n"));
    EXPECT_EQ(L"text", TrimFinalLineBreak(L"text\n"));
    EXPECT_EQ(L"text\r\n", TrimFinalLineBreak(L"text\r\n\r\n"));
    EXPECT_EQ(L"text\r", TrimFinalLineBreak(L"text\r"));
    EXPECT_EQ(L"\n", TrimFinalLineBreak(L"\n"));
    EXPECT_EQ(L"", TrimFinalLineBreak(L"\r\n"));
}

}  // namespace
