// Calls by name on the stand-in add-in, and HRESULT texts.
#include <gtest/gtest.h>

#include <string>

#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "allocation_spy.h"
#include "stand_in_add_in.h"

namespace {

using CallList = StandInAddIn::CallList;

// Every test ends with the stand-in holding only its own reference and no BSTR outstanding, whatever
// path the call took. The outputs start with an earlier failure that only a new failure may replace.
class InvokeByNameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(spy.Active()) << "the COM allocator spy could not be installed"; }
    void TearDown() override {
        EXPECT_EQ(0, spy.Outstanding()) << "BSTRs leaked";
        EXPECT_EQ(1u, addIn.references) << "references not given back";
    }
    void ExpectOutputsUntouched() {
        EXPECT_EQ(12345, errorCode);
        EXPECT_EQ(L"earlier failure", errorMessage);
    }

    AllocationSpy spy;
    StandInAddIn addIn;
    int errorCode = 12345;
    std::wstring errorMessage = L"earlier failure";
};

TEST_F(InvokeByNameTest, SuccessIsOneLookupAndOneCallWithBstrArgumentsInTheCallersOrder) {
    EXPECT_EQ(0, InvokeByName(&addIn, L"Disconnect", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(&addIn, L"CreateMenu", L"", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(&addIn, L"RefreshTable", L"first", L"second", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(&addIn, L"UpdateTable", L"", L"", errorCode, errorMessage));
    EXPECT_EQ(4, addIn.LookUps());
    // Empty texts arrive as empty strings: a null BSTR means "no string" to some servers.
    EXPECT_EQ(CallList({L"Disconnect()", L"CreateMenu('')", L"RefreshTable('first', 'second')",
                        L"UpdateTable('', '')"}),
              addIn.Calls());
    // A null target calls nothing.
    EXPECT_EQ(0, InvokeByName(nullptr, L"CreateMenu", L"x", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(nullptr, L"RefreshTable", L"a", L"b", errorCode, errorMessage));
    EXPECT_EQ(0, InvokeByName(nullptr, L"Disconnect", errorCode, errorMessage));
    ExpectOutputsUntouched();
}

// A failed call with arguments, an unknown method included, reports the add-in's own error when it
// describes one, else an error naming the method and the HRESULT; either way the HRESULT is returned.
TEST_F(InvokeByNameTest, FailureReportsTheAddInsErrorOrTheMethodAndTheHresult) {
    const struct {
        const char* what;
        HRESULT hr;  // DISP_E_UNKNOWNNAME: the method is unknown
        void (*script)(StandInAddIn&);
        int code;
        const wchar_t* message;  // null: the code is the HRESULT and the message names method and HRESULT
    } rows[] = {
        {"add-in error", E_FAIL, [](StandInAddIn&) {}, 7, L"menu file missing"},
        {"unknown method", DISP_E_UNKNOWNNAME, [](StandInAddIn&) {}, 7, L"menu file missing"},
        {"description without a number", E_FAIL, [](StandInAddIn& a) { a.Forget(L"errNumber"); }, 0,
         L"menu file missing"},
        {"empty description", E_FAIL, [](StandInAddIn& a) { a.SetLastError(7, L""); }, 0, nullptr},
        {"unknown method, null description", DISP_E_UNKNOWNNAME,
         [](StandInAddIn& a) { a.SetLastError(7, std::nullopt); }, 0, nullptr},
        // The number is read, the description is not: the number's value must not be taken for a string.
        {"no description property", E_ACCESSDENIED, [](StandInAddIn& a) { a.Forget(L"errDescription"); }, 0,
         nullptr},
        {"description unreadable", E_ACCESSDENIED,
         [](StandInAddIn& a) { a.Fail(L"errDescription", DISP_E_EXCEPTION); }, 0, nullptr},
    };
    for (const auto& row : rows) {
        for (const std::wstring method : {L"CreateMenu", L"RefreshTable"}) {
            SCOPED_TRACE(::testing::Message() << row.what << ", " << method);
            StandInAddIn target;
            if (row.hr == DISP_E_UNKNOWNNAME) target.Forget(method);
            target.Fail(method, row.hr);
            target.SetLastError(7, L"menu file missing");
            row.script(target);
            EXPECT_EQ(row.hr, method == L"CreateMenu"
                                  ? InvokeByName(&target, method, L"x", errorCode, errorMessage)
                                  : InvokeByName(&target, method, L"a", L"b", errorCode, errorMessage));
            EXPECT_EQ(row.message ? row.code : row.hr, errorCode);
            EXPECT_EQ(row.message ? row.message : L"call" + method + L"() error, " + ComErrorMessage(row.hr),
                      errorMessage);
            EXPECT_EQ(1u, target.references);
        }
    }
}

TEST_F(InvokeByNameTest, NoArgumentFormReportsTheHresultTextOnly) {
    addIn.Fail(L"Disconnect", E_UNEXPECTED);
    addIn.SetLastError(7, L"ignored");
    EXPECT_EQ(E_UNEXPECTED, InvokeByName(&addIn, L"Disconnect", errorCode, errorMessage));
    EXPECT_EQ(E_UNEXPECTED, errorCode);
    EXPECT_EQ(ComErrorMessage(E_UNEXPECTED), errorMessage);
    EXPECT_EQ(CallList({L"Disconnect()"}), addIn.Calls()) << "the error properties are not read";
}

TEST_F(InvokeByNameTest, ArgumentCopyWithoutMemoryThrowsBeforeAnyCall) {
    for (long skip : {0L, 1L}) {  // the first, then the second argument's copy fails
        spy.FailAllocationAfter(skip);
        try {
            InvokeByName(&addIn, L"RefreshTable", L"a", L"b", errorCode, errorMessage);
            ADD_FAILURE() << "no exception with allocation " << skip << " failing";
        } catch (const QARBASE::HResultError& error) {
            EXPECT_EQ(E_OUTOFMEMORY, error.Result());
        }
    }
    spy.FailAllocationAfter(0);
    EXPECT_THROW(InvokeByName(&addIn, L"CreateMenu", L"x", errorCode, errorMessage), QARBASE::HResultError);
    EXPECT_EQ(0, addIn.LookUps());
    ExpectOutputsUntouched();
}

TEST(ComErrorMessage, CodesWithoutSystemTextGetAFallback) {
    if (!SystemMessageText(0x80040205).empty() || !SystemMessageText(0x80040200).empty() ||
        !SystemMessageText(0x8004FFFF).empty()) {
        GTEST_SKIP() << "this system has its own text for an interface-specific code";
    }
    EXPECT_EQ(L"IDispatch error #5", ComErrorMessage(0x80040205));
    EXPECT_EQ(L"IDispatch error #65023", ComErrorMessage(0x8004FFFF));
    EXPECT_EQ(L"Unknown error 0x80040200", ComErrorMessage(0x80040200));
    EXPECT_EQ(L"Unknown error 0xC0DE0001", ComErrorMessage(0xC0DE0001));
}

TEST(ComErrorMessage, OnlyOneFinalLineBreakIsTrimmed) {
    const std::wstring raw = SystemMessageText(E_OUTOFMEMORY);
    ASSERT_GE(raw.size(), 3u);
    ASSERT_EQ(L"\r\n", raw.substr(raw.size() - 2)) << "system texts end with CR LF";
    EXPECT_EQ(raw.substr(0, raw.size() - 2), ComErrorMessage(E_OUTOFMEMORY));

    EXPECT_EQ(L"text", TrimFinalLineBreak(L"text\n"));
    EXPECT_EQ(L"text\r\n", TrimFinalLineBreak(L"text\r\n\r\n"));
    EXPECT_EQ(L"text\r", TrimFinalLineBreak(L"text\r"));
    EXPECT_EQ(L"\n", TrimFinalLineBreak(L"\n"));
    EXPECT_EQ(L"", TrimFinalLineBreak(L"\r\n"));
}

}  // namespace
