// Guarded operations: what the guard records for each kind of exception, and machine faults, invalid
// runtime arguments and pure virtual calls inside one arriving as its status record; exceptions
// outside the guard's reach stay untouched.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "Public/owners.h"
#include "Public/error_model.h"
#include "Public/fault_translation.h"

using qar::ComPtr;

using QARBASE::AR_Exception;

namespace {

const std::wstring kPrefix = L"[Test::Guarded()]: ";
const GuardSite kSite = {L"Test::Guarded", L".\\test", 7, L"[Test::Guarded()]: ", -1, true};
// Without a clause of its own for COM errors, as the connector's Connect.
const GuardSite kPlainSite = {L"Plain", L"plain", 1, L"plain: ", 18000, false};

struct GuardOutcome {
    int result;
    int errorCode;
    std::wstring errorMessage;
};

template <class Body>
GuardOutcome Guard(Body&& body, const GuardSite& site = kSite) {
    GuardOutcome outcome{0, 0, L""};
    outcome.result = RunGuarded(site, outcome.errorCode, outcome.errorMessage, body);
    return outcome;
}

// The error information of the last ComErrorWith, held by the test alone once the error is gone.
ComPtr<IErrorInfo> g_errorInfo;

_com_error ComErrorWith(const wchar_t* description, const wchar_t* source) {
    ComPtr<ICreateErrorInfo> create;
    EXPECT_EQ(S_OK, CreateErrorInfo(create.Put()));
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetSource(const_cast<LPOLESTR>(source));
    EXPECT_EQ(S_OK, create.As(g_errorInfo));
    return _com_error(E_FAIL, g_errorInfo.Get(), true);
}

struct NullWhat : std::exception {
    const char* what() const noexcept override { return nullptr; }
};

int g_destroyed = 0;
struct CountsDestruction {
    ~CountsDestruction() { ++g_destroyed; }
};

__attribute__((noinline)) int DivideWithFrame(volatile int* numerator, volatile int* denominator) {
    CountsDestruction local;
    return *numerator / *denominator;
}

__attribute__((noinline)) int ReadThrough(volatile int* pointer) {
    CountsDestruction local;
    return *pointer;
}

// The test site's text for fault `name` with `code` at `address`; for address 0 at whatever 8 digits
// `message` has there.
std::wstring FaultText(const std::wstring& name, const std::wstring& code, uintptr_t address,
                       const std::wstring& message) {
    const std::wstring head = kPrefix + name + L"\n address:\t0x";
    wchar_t digits[16];
    swprintf(digits, 16, L"%08x", static_cast<unsigned>(address));
    const std::wstring any = message.size() >= head.size() + 8 ? message.substr(head.size(), 8) : L"";
    return head + (address != 0 ? std::wstring(digits) : any) + L" code:\t\t" + code + L"\n";
}

}  // namespace

// A frameless leaf without unwind information: at its fault RSP is 8 modulo 16, not 0.
extern "C" int qar_test_leaf_divide(int numerator, int denominator);
extern "C" char qar_test_leaf_divide_fault[];
asm(R"(
        .text
        .globl  qar_test_leaf_divide
        .globl  qar_test_leaf_divide_fault
qar_test_leaf_divide:
        movl    %edx, %r8d
        movl    %ecx, %eax
        cltd
qar_test_leaf_divide_fault:
        idivl   %r8d
        ret
)");

TEST(GuardRecording, EachExceptionKindAtSitesWithAndWithoutAComClause) {
    const std::wstring longText(5000, L'd');
    const struct {
        std::function<int()> body;
        const GuardSite& site;
        std::wstring message;
    } rows[] = {
        // "<description>, <source>", cut at the 4,096-character format buffer; without error
        // information both parts are empty and the separator stays.
        {[]() -> int { throw ComErrorWith(L"No licence", L"CAD"); }, kSite, kPrefix + L"No licence, CAD\n"},
        {[]() -> int { throw _com_error(E_FAIL); }, kSite, kPrefix + L", \n"},
        {[&]() -> int { throw ComErrorWith(longText.c_str(), L"s"); }, kSite,
         kPrefix + std::wstring(4096, L'd') + L"\n"},
        {[]() -> int { throw ComErrorWith(L"d", L"s"); }, kPlainSite, L"Unexpected error.\n"},
        {[&]() -> int { throw AR_Exception(longText, L"a.cpp", L"A::B", 3); }, kPlainSite,
         L"plain: " + longText + L"\n"},
        {[]() -> int { throw NullWhat(); }, kSite, kPrefix + L"\n"},  // a null what() is an empty text
        {[]() -> int { throw 1.5; }, kSite, L"Unexpected error.\n"},
        {[]() -> int { throw QARBASE::HResultError(E_OUTOFMEMORY); }, kSite, L"Unexpected error.\n"},
    };
    for (const auto& row : rows) {
        const GuardOutcome outcome = Guard(row.body, row.site);
        EXPECT_EQ(-1, outcome.result);
        EXPECT_EQ(row.site.errorCode, outcome.errorCode);
        EXPECT_EQ(row.message, outcome.errorMessage);
        if (g_errorInfo) {
            // Recording read the error information and gave back every reference it took.
            g_errorInfo->AddRef();
            EXPECT_EQ(1u, g_errorInfo->Release()) << row.message.substr(0, 40).c_str();
            g_errorInfo.Reset();
        }
    }
}

// A machine fault or a raised code is the site's fault text: the exception's name (a code without one
// is "unspecified"), the low 32 bits of the fault address, the code in decimal; the destructors of the
// frames in between run. With a frame a fault leaves RSP 16-byte aligned, in a frameless leaf at 8:
// both must unwind.
TEST(MachineFaults, NameAddressAndCodeAndTheFramesInBetweenUnwound) {
    for (const uintptr_t address : {uintptr_t{0x00ABCDEF}, uintptr_t{0x00007FF600ABCDEFull}}) {
        // Nothing executable there (under Wine a read-only heap region often covers 0x00ABCDEF).
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof(info)) == sizeof(info)) {
            ASSERT_TRUE(info.State != MEM_COMMIT || (info.Protect & 0xF0) == 0 || (info.Protect & PAGE_GUARD));
        }
    }
    const wchar_t *const violation = L"EXCEPTION_ACCESS_VIOLATION", *const divide = L"EXCEPTION_INT_DIVIDE_BY_ZERO",
                         *const unnamed = L"unspecified Structed exception.";
    const uintptr_t leaf = reinterpret_cast<uintptr_t>(qar_test_leaf_divide_fault);
    const struct {
        std::function<int()> body;  // run inside a frame with a local of its own to destroy
        const wchar_t* name;
        uintptr_t address;  // 0: any
        const wchar_t* code;
        int destroyed;
    } rows[] = {
        {[] { return reinterpret_cast<int (*)()>(0x00ABCDEF)(); }, violation, 0x00ABCDEF, L"3221225477", 1},
        {[] { return reinterpret_cast<int (*)()>(0x00007FF600ABCDEFull)(); }, violation, 0x00ABCDEF, L"3221225477", 1},
        {[] { volatile int numerator = 7, zero = 0; return DivideWithFrame(&numerator, &zero); }, divide, 0, L"3221225620", 2},
        {[] { return qar_test_leaf_divide(7, 0); }, divide, leaf, L"3221225620", 1},
        {[] { return RaiseException(0xC0000017, 0, 0, nullptr), 0; }, unnamed, 0, L"3221225495", 1},
        {[] { return RaiseException(0xE0000001, EXCEPTION_NONCONTINUABLE, 0, nullptr), 0; }, unnamed, 0, L"3758096385", 1},
    };
    for (const auto& row : rows) {
        g_destroyed = 0;
        const GuardOutcome outcome = Guard([&] {
            CountsDestruction outer;
            return row.body();
        });
        EXPECT_EQ(-1, outcome.result);
        EXPECT_EQ(-1, outcome.errorCode);
        EXPECT_EQ(FaultText(row.name, row.code, row.address, outcome.errorMessage), outcome.errorMessage);
        EXPECT_EQ(row.destroyed, g_destroyed) << row.code;
    }
}

// Nested guards: the inner one records; exceptions that system code raises and handles itself never
// reach the guard.
TEST(MachineFaults, NestedGuardsAndSystemCode) {
    GuardOutcome inner{};
    const GuardOutcome outer = Guard(
        [&] {
            inner = Guard([] { return ReadThrough(nullptr); });
            return 5;
        },
        kPlainSite);
    EXPECT_EQ(5, outer.result);
    EXPECT_EQ(0, outer.errorCode);
    EXPECT_EQ(FaultText(L"EXCEPTION_ACCESS_VIOLATION", L"3221225477", 0, inner.errorMessage), inner.errorMessage);

    BOOL bad = FALSE;
    const GuardOutcome outcome = Guard([&] { return (bad = IsBadReadPtr(reinterpret_cast<void*>(0x10), 4)), 3; });
    EXPECT_EQ(3, outcome.result);
    EXPECT_TRUE(bad);
    EXPECT_EQ(0, outcome.errorCode);
}

// External linkage and a call the optimiser may not look into: with the whole hierarchy in view it
// would prove the pure call unreachable and drop it. While the base part is constructed its function
// table is the abstract one.
struct CallsPureInConstructor;
void CallPure(CallsPureInConstructor* object);
struct CallsPureInConstructor {
    CallsPureInConstructor() { CallPure(this); }
    virtual ~CallsPureInConstructor() = default;
    virtual void Pure() = 0;
};
__attribute__((noipa)) void CallPure(CallsPureInConstructor* object) {
    object->Pure();
}
struct Concrete : CallsPureInConstructor {
    void Pure() override {}
};

TEST(RuntimeEvents, PureVirtualCallAndInvalidParameters) {
    const GuardOutcome pure = Guard([] { return Concrete(), 0; });
    EXPECT_EQ(-1, pure.result);
    EXPECT_EQ(kPrefix + L"In _purecall_handler.\n", pure.errorMessage);

    // Release runtimes pass no expression text; the installed handler is called here as a runtime that
    // passes one would call it. The fault text buffer holds "Expression: " and 587 characters more.
    InstallFaultHandlers();
    _invalid_parameter_handler report = _get_invalid_parameter_handler();
    ASSERT_NE(nullptr, report);
    auto reportOf = [&](const wchar_t* expression) {
        return Guard([&] { return report(expression, nullptr, nullptr, 0, 0), 0; }).errorMessage;
    };
    EXPECT_EQ(kPrefix + L"Expression: x\n", reportOf(L"x"));
    EXPECT_EQ(kPrefix + L"call function error.\n", reportOf(nullptr));
    EXPECT_EQ(kPrefix + L"Expression: " + std::wstring(587, L'e') + L"\n", reportOf(std::wstring(5000, L'e').c_str()));

    // Windows' msvcrt reports a null destination of wcscpy_s to the handler; Wine's returns EINVAL
    // without calling it: stated here, not treated as right.
    const GuardOutcome secure = Guard([] { return static_cast<int>(wcscpy_s(nullptr, 0, L"x")); });
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr || secure.result != EINVAL) {
        EXPECT_EQ(kPrefix + L"call function error.\n", secure.errorMessage);
    }
}
