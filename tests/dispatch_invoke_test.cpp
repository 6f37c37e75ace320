// Calls by name on the simulated add-in's object in process, the cache of its method identifiers, and
// HRESULT texts.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Public/owners.h"
#include "Public/dispatch_invoke.h"
#include "Public/text_helpers.h"
#include "allocation_spy.h"
#include "counted_dispatch.h"
#include "simulator/sim_addin.h"

using qar::ComErrorMessage;
using qar::DispatchIdCache;
using qar::InvokeByName;
using qar::SystemMessageText;
using qar::TrimFinalLineBreak;

using qar::ComPtr;

namespace {

using CallList = std::vector<std::wstring>;

// The add-in object behind a wrapper that counts lookups and references (it lives on the test's
// stack, so a reference given back once too often shows in the count, not as a crash), can hide
// names, and hands a method's caller a result to clear. Its hook records each call the add-in
// receives ("RefreshTable('a', '')", "errNumber.get()") and can fail or null the description's read.
class ObservedAddIn : public CountedDispatch {
public:
    ObservedAddIn() {
        EXPECT_EQ(S_OK, qarsim::CreateAddIn(addIn_.Put()));
        EXPECT_EQ(S_OK, addIn_.As(control));
        control->SetHook(&hook_);
    }
    ~ObservedAddIn() { control->SetHook(nullptr); }

    ComPtr<ISimAddInControl> control;
    std::set<std::wstring> hidden;   // names whose lookup fails
    HRESULT descriptionRead = S_OK;  // what reading errDescription fails with
    bool nullDescription = false;
    CallList calls;
    int lookUps = 0;

    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        ++lookUps;
        return hidden.count(names[0]) ? DISP_E_UNKNOWNNAME
                                      : addIn_->GetIDsOfNames(riid, names, count, lcid, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override {
        const HRESULT hr = addIn_->Invoke(id, riid, lcid, flags, params, result, exception, argError);
        if (SUCCEEDED(hr) && flags == DISPATCH_METHOD && result != nullptr) {
            result->vt = VT_BSTR;  // dropped uncleared, it shows as a leak
            result->bstrVal = SysAllocString(L"done");
        }
        return hr;
    }

private:
    struct Hook : ISimAddInHook {
        ObservedAddIn& owner;
        explicit Hook(ObservedAddIn& o) : owner(o) {}
        STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
        STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // a member of the wrapper
        STDMETHODIMP_(ULONG) Release() override { return 1; }
        STDMETHODIMP Enter(const wchar_t* entry, const wchar_t* arguments, BOOL* nullResult) override {
            const std::wstring member = entry + wcslen(L"ISwAddIn.");
            owner.calls.push_back(member + L"(" + arguments + L")");
            const bool description = member == L"errDescription.get";
            *nullResult = owner.nullDescription && description;
            return description ? owner.descriptionRead : S_OK;
        }
        STDMETHODIMP Refusal(const wchar_t*) override { return S_OK; }
    } hook_{*this};
    ComPtr<ISwAddIn> addIn_;
};

// Every test ends with the add-in holding only its own reference and no BSTR outstanding, whatever
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

    ObservedAddIn addIn;  // made before the spy: the add-in's type library stays loaded
    AllocationSpy spy;
    int errorCode = 12345;
    std::wstring errorMessage = L"earlier failure";
};

TEST_F(InvokeByNameTest, SuccessIsOneLookupAndOneCallWithBstrArgumentsInTheCallersOrder) {
    EXPECT_EQ(0, InvokeByName(&addIn, L"Disconnect", {errorCode, errorMessage}));
    EXPECT_EQ(0, InvokeByName(&addIn, L"CreateMenu", L"", {errorCode, errorMessage}));
    EXPECT_EQ(0, InvokeByName(&addIn, L"RefreshTable", L"first", L"second", {errorCode, errorMessage}));
    EXPECT_EQ(0, InvokeByName(&addIn, L"UpdateTable", L"", L"", {errorCode, errorMessage}));
    EXPECT_EQ(4, addIn.lookUps);
    // Empty texts arrive as empty strings: a null BSTR means "no string" to some servers.
    EXPECT_EQ(CallList({L"Disconnect()", L"CreateMenu('')", L"RefreshTable('first', 'second')",
                        L"UpdateTable('', '')"}),
              addIn.calls);
    // A null target calls nothing.
    EXPECT_EQ(0, InvokeByName(nullptr, L"CreateMenu", L"x", {errorCode, errorMessage}));
    EXPECT_EQ(0, InvokeByName(nullptr, L"RefreshTable", L"a", L"b", {errorCode, errorMessage}));
    EXPECT_EQ(0, InvokeByName(nullptr, L"Disconnect", {errorCode, errorMessage}));
    ExpectOutputsUntouched();
}

// A failed call with arguments, an unknown method included, reports the add-in's own error when it
// describes one (plain failures of the add-in's methods: the reliability table), else an error naming
// the method and the HRESULT; either way the HRESULT is returned.
// A method's failure arrives through the automation runtime as DISP_E_EXCEPTION. The reports are the
// same with a cache of method identifiers.
TEST_F(InvokeByNameTest, FailureReportsTheAddInsErrorOrTheMethodAndTheHresult) {
    const struct {
        const char* what;
        HRESULT hr;
        const wchar_t* description;  // the add-in's errDescription after the failure
        void (*script)(ObservedAddIn&, const std::wstring& method);
        int code;
        const wchar_t* message;  // null: the code is the HRESULT and the message names method and HRESULT
    } rows[] = {
        {"unknown method", DISP_E_UNKNOWNNAME, L"menu file missing",
         [](ObservedAddIn& a, const std::wstring& method) {
             int code = 0;
             std::wstring message;
             static_cast<void>(
                 InvokeByName(&a, method, L"x", L"y", {code, message}));  // the add-in keeps this failure
             a.hidden.insert(method);
         },
         7, L"menu file missing"},
        {"description without a number", DISP_E_EXCEPTION, L"menu file missing",
         [](ObservedAddIn& a, const std::wstring&) { a.hidden.insert(L"errNumber"); }, 0,
         L"menu file missing"},
        {"empty description", DISP_E_EXCEPTION, L"", [](ObservedAddIn&, const std::wstring&) {}, 0, nullptr},
        {"null description", DISP_E_EXCEPTION, L"x",
         [](ObservedAddIn& a, const std::wstring&) { a.nullDescription = true; }, 0, nullptr},
        // The number is read, the description is not: the number's value must not be taken for a string.
        {"no description property", DISP_E_EXCEPTION, L"x",
         [](ObservedAddIn& a, const std::wstring&) { a.hidden.insert(L"errDescription"); }, 0, nullptr},
        {"description unreadable", DISP_E_EXCEPTION, L"x",
         [](ObservedAddIn& a, const std::wstring&) { a.descriptionRead = E_ACCESSDENIED; }, 0, nullptr},
    };
    for (const auto& row : rows) {
        for (const std::wstring method : {L"CreateMenu", L"RefreshTable"}) {
            for (const bool cached : {false, true}) {
                SCOPED_TRACE(::testing::Message()
                             << row.what << ", " << method << (cached ? ", cached" : ""));
                ObservedAddIn target;
                DispatchIdCache ids, *const cache = cached ? &ids : nullptr;
                target.control->FailMethod(method.c_str(), E_FAIL, 7, row.description, FALSE);
                row.script(target, method);
                EXPECT_EQ(row.hr,
                          method == L"CreateMenu"
                              ? InvokeByName(&target, method, L"x", {errorCode, errorMessage}, cache)
                              : InvokeByName(&target, method, L"a", L"b", {errorCode, errorMessage}, cache));
                EXPECT_EQ(row.message ? row.code : row.hr, errorCode);
                EXPECT_EQ(
                    row.message ? row.message : L"call" + method + L"() error, " + ComErrorMessage(row.hr),
                    errorMessage);
                EXPECT_EQ(1u, target.references);
            }
        }
    }
}

// The no-argument form reports the HRESULT's text alone. An argument that cannot be copied is an
// exception before any lookup or call (the guard reports it whatever its code).
TEST_F(InvokeByNameTest, NoArgumentFormReportsTheHresultTextOnlyAndCopyFailuresThrowBeforeAnyCall) {
    addIn.control->FailMethod(L"Disconnect", E_UNEXPECTED, 7, L"ignored", TRUE);
    const int hr = InvokeByName(&addIn, L"Disconnect", {errorCode, errorMessage});
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(hr, errorCode);
    EXPECT_EQ(ComErrorMessage(hr), errorMessage);
    EXPECT_EQ(CallList({L"Disconnect()"}), addIn.calls) << "the error properties are not read";

    errorCode = 12345;
    errorMessage = L"earlier failure";
    addIn.lookUps = 0;
    for (long skip : {0L, 1L}) {  // the first, then the second argument's copy fails
        spy.FailAllocationAfter(skip);
        EXPECT_THROW(
            static_cast<void>(InvokeByName(&addIn, L"RefreshTable", L"a", L"b", {errorCode, errorMessage})),
            QARBASE::HResultError);
    }
    spy.FailAllocationAfter(0);
    EXPECT_THROW(static_cast<void>(InvokeByName(&addIn, L"CreateMenu", L"x", {errorCode, errorMessage})),
                 QARBASE::HResultError);
    EXPECT_EQ(0, addIn.lookUps);
    ExpectOutputsUntouched();
}

// With a cache, one lookup per name and object: a failed lookup is not kept, another object starts
// over, and every call reaches the object. (That the reports are the same: the failure table above.)
TEST(DispatchIdCache, OneLookupPerNameAndObject) {
    ObservedAddIn first, second;
    second.hidden.insert(L"UpdateTable");
    DispatchIdCache ids;
    int code = 0;
    std::wstring message;
    // The object called, the method, the lookups each object has seen after the call; a failure report
    // looks up errNumber and errDescription by name, uncached.
    const std::tuple<ObservedAddIn*, const wchar_t*, int, int> steps[] = {
        {&first, L"RefreshTable", 1, 0},  {&first, L"RefreshTable", 1, 0}, {&first, L"UpdateTable", 2, 0},
        {&first, L"RefreshTable", 2, 0},  {&second, L"UpdateTable", 2, 3}, {&second, L"UpdateTable", 2, 6},
        {&second, L"RefreshTable", 2, 7}, {&first, L"RefreshTable", 3, 7},
    };
    for (const auto& [target, method, firstLookUps, secondLookUps] : steps) {
        static_cast<void>(InvokeByName(target, method, L"a", L"b", {code, message}, &ids));
        EXPECT_EQ(firstLookUps, first.lookUps) << method;
        EXPECT_EQ(secondLookUps, second.lookUps) << method;
    }
    EXPECT_EQ(5u, first.calls.size());
}

TEST(ComErrorMessage, FallbackTextsAndOnlyOneFinalLineBreakTrimmed) {
    if (SystemMessageText(0x80040205).empty() && SystemMessageText(0x80040200).empty() &&
        SystemMessageText(0x8004FFFF).empty()) {  // else this system has its own texts for them
        EXPECT_EQ(L"IDispatch error #5", ComErrorMessage(0x80040205));
        EXPECT_EQ(L"IDispatch error #65023", ComErrorMessage(0x8004FFFF));
        EXPECT_EQ(L"Unknown error 0x80040200", ComErrorMessage(0x80040200));
        EXPECT_EQ(L"Unknown error 0xC0DE0001", ComErrorMessage(0xC0DE0001));
    }
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

// The identifiers the real application and add-in answer to: the simulator shares these declarations,
// so a typo would pass every other test and fail only against the real programs.
TEST(CadInterfaces, IdentifiersAreTheOnesTheOtherSideImplements) {
    const auto text = [](REFIID iid) {
        wchar_t buffer[40] = L"";
        return StringFromGUID2(iid, buffer, 40) ? std::wstring(buffer) : L"?";
    };
    EXPECT_EQ(L"{83A33D22-27C5-11CE-BFD4-00400513BB57}", text(IID_ISldWorks));
    EXPECT_EQ(L"{83A33D48-27C5-11CE-BFD4-00400513BB57}", text(IID_IFrame));
    EXPECT_EQ(L"{D82369CE-1AEC-4DA7-B83B-94DCD59CDEC7}", text(IID_ISwAddIn));
}

}  // namespace
