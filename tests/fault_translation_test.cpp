// Machine faults, invalid runtime arguments and pure virtual calls inside a guarded operation arrive
// as the operation's status record; everything outside the guard's reach stays untouched.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <string>

#include "Public/fault_translation.h"
#include "guard_test_support.h"

namespace {

const std::wstring kPrefix = L"[Test::Guarded()]: ";

using Entry = void (*)();

// Jumps to `address`: the fault is raised there, with RSP as the call left it.
int CallAddress(uintptr_t address) {
    reinterpret_cast<Entry>(address)();
    return 0;
}

// Jumping to `address` faults there: nothing is mapped, or what is mapped cannot be executed.
// (Under Wine a read-only heap region often covers 0x00ABCDEF; the fault is the same.)
bool FaultsWhenExecuted(uintptr_t address) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof(info)) != sizeof(info)) return true;
    const DWORD executable =
        PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State != MEM_COMMIT || (info.Protect & executable) == 0 || (info.Protect & PAGE_GUARD) != 0;
}

bool RunsUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

int g_destroyed = 0;
struct CountsDestruction {
    ~CountsDestruction() { ++g_destroyed; }
};

// A function with a frame and an object to destroy in it.
__attribute__((noinline)) int DivideWithFrame(volatile int* numerator, volatile int* denominator) {
    CountsDestruction local;
    return *numerator / *denominator;
}

__attribute__((noinline)) int ReadThrough(volatile int* pointer) {
    CountsDestruction local;
    return *pointer;
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

// The fault text for `name`, any address, and `code` in decimal, behind the test site's prefix.
::testing::AssertionResult IsFaultText(const std::wstring& message, const std::wstring& name,
                                       const std::wstring& code) {
    const std::wstring head = kPrefix + name + L"\n address:\t0x";
    const std::wstring tail = L" code:\t\t" + code + L"\n";
    if (message.size() == head.size() + 8 + tail.size() && message.compare(0, head.size(), head) == 0 &&
        message.compare(message.size() - tail.size(), tail.size(), tail) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "unexpected fault text: " << ::testing::PrintToString(message);
}

TEST(MachineFaults, AccessViolationShowsTheLow32BitsOfTheFaultAddress) {
    for (const uintptr_t address : {uintptr_t{0x00ABCDEF}, uintptr_t{0x00007FF600ABCDEFull}}) {
        ASSERT_TRUE(FaultsWhenExecuted(address));
        const GuardOutcome outcome = RunTestGuard([&] { return CallAddress(address); });
        EXPECT_EQ(-1, outcome.result);
        EXPECT_EQ(-1, outcome.errorCode);
        EXPECT_EQ(kPrefix + L"EXCEPTION_ACCESS_VIOLATION\n address:\t0x00abcdef code:\t\t3221225477\n",
                  outcome.errorMessage);
    }
}

// With a frame the fault leaves RSP 16-byte aligned, in a frameless leaf at 8: both must unwind, and
// the destructors of the frames in between run.
TEST(MachineFaults, DivisionByZeroWithAndWithoutAFrame) {
    g_destroyed = 0;
    GuardOutcome outcome = RunTestGuard([] {
        CountsDestruction outer;
        volatile int numerator = 7, denominator = 0;
        return DivideWithFrame(&numerator, &denominator);
    });
    EXPECT_TRUE(IsFaultText(outcome.errorMessage, L"EXCEPTION_INT_DIVIDE_BY_ZERO", L"3221225620"));
    EXPECT_EQ(2, g_destroyed) << "the faulting frame and the body both unwind";

    g_destroyed = 0;
    outcome = RunTestGuard([] {
        CountsDestruction outer;
        return qar_test_leaf_divide(7, 0);
    });
    wchar_t address[16];
    swprintf(address, 16, L"%08x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(qar_test_leaf_divide_fault)));
    EXPECT_EQ(kPrefix + L"EXCEPTION_INT_DIVIDE_BY_ZERO\n address:\t0x" + address + L" code:\t\t3221225620\n",
              outcome.errorMessage);
    EXPECT_EQ(1, g_destroyed);
}

// Software exceptions: a code without a name, and one that forbids resuming (it is unwound instead).
TEST(MachineFaults, RaisedCodesIncludingNoncontinuable) {
    EXPECT_TRUE(IsFaultText(RunTestGuard([] {
                                RaiseException(0xC0000017, 0, 0, nullptr);
                                return 0;
                            }).errorMessage,
                            L"unspecified Structed exception.", L"3221225495"));
    EXPECT_TRUE(IsFaultText(RunTestGuard([] {
                                RaiseException(0xE0000001, EXCEPTION_NONCONTINUABLE, 0, nullptr);
                                return 0;
                            }).errorMessage,
                            L"unspecified Structed exception.", L"3758096385"));
}

TEST(MachineFaults, NestedGuardsRecordAtTheInnermost) {
    const GuardSite outerSite = {L"Outer", L"outer", 1, L"outer: ", 18000, false};
    GuardOutcome inner{};
    const GuardOutcome outer = RunTestGuard(
        [&] {
            inner = RunTestGuard([] { return ReadThrough(nullptr); });
            return 5;
        },
        outerSite);
    EXPECT_EQ(5, outer.result);
    EXPECT_EQ(0, outer.errorCode);
    EXPECT_TRUE(IsFaultText(inner.errorMessage, L"EXCEPTION_ACCESS_VIOLATION", L"3221225477"));
}

// Exceptions that system code raises and handles itself never reach the guard.
TEST(MachineFaults, ExceptionsHandledInsideSystemCodeStayUntouched) {
    BOOL bad = FALSE;
    const GuardOutcome outcome = RunTestGuard([&] {
        bad = IsBadReadPtr(reinterpret_cast<void*>(0x10), 4);
        return 3;
    });
    EXPECT_EQ(3, outcome.result);
    EXPECT_TRUE(bad);
    EXPECT_EQ(0, outcome.errorCode);
}

TEST(MachineFaults, ThousandFaultsLeakNeitherMemoryNorHandles) {
    auto fault = [] {
        return RunTestGuard([] {
            std::wstring owned(100, L'x');  // something to free on the way out
            return ReadThrough(reinterpret_cast<int*>(0x10)) + static_cast<int>(owned.size());
        });
    };
    auto usage = [] {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters));
        DWORD handles = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handles);
        return std::make_pair(counters.PrivateUsage, handles);
    };
    for (int i = 0; i < 50; ++i) fault();  // warm up lazily allocated runtime state
    const auto before = usage();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(-1, fault().result) << "fault " << i;
    const auto after = usage();
    EXPECT_EQ(before.second, after.second) << "handles";
    // One leaked string per fault would be 200 KB; allow page-granular noise only.
    EXPECT_LT(after.first, before.first + 64 * 1024) << "private bytes";
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

TEST(RuntimeEvents, PureVirtualCall) {
    const GuardOutcome outcome = RunTestGuard([] {
        Concrete object;
        return 0;
    });
    EXPECT_EQ(-1, outcome.result);
    EXPECT_EQ(kPrefix + L"In _purecall_handler.\n", outcome.errorMessage);
}

// Windows' msvcrt reports a null destination of wcscpy_s to the handler without an expression.
// Wine's msvcrt returns EINVAL without calling the handler: stated here, not treated as right.
TEST(RuntimeEvents, InvalidParameterFromASecureFunction) {
    const GuardOutcome outcome = RunTestGuard([] {
        wchar_t* none = nullptr;
        return static_cast<int>(wcscpy_s(none, 0, L"x"));
    });
    if (RunsUnderWine() && outcome.result == EINVAL) {
        GTEST_SKIP() << "Wine's msvcrt does not report this call to the invalid-parameter handler";
    }
    EXPECT_EQ(kPrefix + L"call function error.\n", outcome.errorMessage);
}

// Release runtimes pass no expression text; the installed handler is called here as a runtime that
// passes one would call it. The fault text buffer holds "Expression: " and 587 characters more.
TEST(RuntimeEvents, InvalidParameterHandlerIsInstalledInTheRuntime) {
    InstallFaultHandlers();
    _invalid_parameter_handler report = _get_invalid_parameter_handler();
    ASSERT_NE(nullptr, report);
    auto reportOf = [&](const wchar_t* expression) {
        return RunTestGuard([&] {
                   report(expression, nullptr, nullptr, 0, 0);
                   return 0;
               })
            .errorMessage;
    };
    EXPECT_EQ(kPrefix + L"Expression: x\n", reportOf(L"x"));
    EXPECT_EQ(kPrefix + L"call function error.\n", reportOf(nullptr));
    EXPECT_EQ(kPrefix + L"Expression: " + std::wstring(587, L'e') + L"\n",
              reportOf(std::wstring(5000, L'e').c_str()));
}
