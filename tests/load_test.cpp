// Load as a batch host runs it: host threads, each in an apartment of its own with its own connector and
// commands, run whole sessions against instances of the simulated application (qarcadsim /instance):
// every thread on an instance of its own, then all on one instance with the calls that leave the active
// document alone, then with the busy policy on while the instances are busy in windows; and two host
// processes on one instance at once with the trace on. Every operation succeeds, the instances get back
// every reference, no wait is unbounded, memory and handles do not grow, and the trace holds each
// operation once.
#include <gtest/gtest.h>

#include <process.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Public/busy_policy.h"
#include "Public/trace.h"
#include "sim_instances.h"
#include "sim_test_support.h"
#include "Public/cax_command.h"
#include "sldw/sldw_connector.h"

using QARCAX::CaxCommand;
using QARCAX::SldwConnector;

namespace {

// One operation of a session on its command; `document` is the thread's own copy of the assembly.
struct Step {
    const char* name;  // as the trace names it
    int (*run)(CaxCommand& command, const std::wstring& document);
};
const Step kDocumentSession[] = {
    {"QARCAX::SldwCommand::OpenFile", [](CaxCommand& c, const std::wstring& d) { return c.OpenFile(d); }},
    {"QARCAX::SldwCommand::GetDependencies",
     [](CaxCommand& c, const std::wstring&) {
         std::wstring list;
         return c.GetDependencies(list);
     }},
    {"QARCAX::SldwCommand::CreateMenu",
     [](CaxCommand& c, const std::wstring&) { return c.CreateMenu(L"PLM"); }},
    {"QARCAX::SldwCommand::SaveFile",
     [](CaxCommand& c, const std::wstring&) {
         std::wstring saved;
         return c.SaveFile(saved);
     }},
    {"QARCAX::SldwCommand::CloseFile", [](CaxCommand& c, const std::wstring&) { return c.CloseFile(); }},
};
// The calls that leave the application's active document alone: several hosts may share an instance.
const Step kSharedCalls[] = {
    {"QARCAX::SldwCommand::CreateMenu",
     [](CaxCommand& c, const std::wstring&) { return c.CreateMenu(L"PLM"); }},
    {"QARCAX::SldwCommand::RefreshTable",
     [](CaxCommand& c, const std::wstring&) { return c.RefreshTable(L"parts", L"1"); }},
    {"QARCAX::SldwCommand::UpdateTable",
     [](CaxCommand& c, const std::wstring&) { return c.UpdateTable(L"parts", L"2"); }},
    {"QARCAX::SldwCommand::IsConnected",
     [](CaxCommand& c, const std::wstring&) { return c.IsConnected() ? 0 : -1; }},
};

constexpr unsigned long kBusyTimeoutMs = 10000;  // the busy policy's deadline for one call
constexpr DWORD kRunDeadlineMs = 60000;          // a run's threads end within this, or it deadlocked

// One run: `threads` host threads, each making `sessions` sessions of connect, `rounds` times the steps,
// disconnect.
struct Load {
    const char* what;
    int threads;
    bool shared;  // all threads on the first instance, else one instance each
    const Step* steps;
    size_t stepCount;
    int sessions;
    int rounds;
    bool busy;  // busy policy on; the instances are busy in windows while the steps run
    int OperationsPerThread() const { return sessions * (2 + rounds * static_cast<int>(stepCount)); }
};

// What one thread saw.
struct Tally {
    int operations = 0;
    DWORD longestMs = 0;
    std::vector<std::string> failures;
};

// What the threads of one run share: the instances' handles, the documents, and for a busy run the
// moments the busy windows may start (every thread connected) and must end (every thread done).
struct Run {
    Run(const Load& load, const std::vector<std::wstring>& handles,
        const std::vector<std::wstring>& documents)
        : load(load), handles(handles), documents(documents) {}
    const Load& load;
    const std::vector<std::wstring>& handles;
    const std::vector<std::wstring>& documents;
    std::vector<Tally> tallies;
    LONG connected = 0, done = 0;
    qar::UniqueHandle go{CreateEventW(nullptr, TRUE, FALSE, nullptr)};    // every thread connected
    qar::UniqueHandle calm{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // no busy window any more
};

void Note(Tally& tally, const char* what, int result, const CaxCommand* command) {
    if (result == 0) return;
    std::string message = what + (" answered " + std::to_string(result));
    if (command != nullptr) message += " (" + std::to_string(command->errorCode) + ")";
    tally.failures.push_back(message);
}

// One session on the calling thread; the command is deleted (saying "Disconnect") at its end.
void Session(Run& run, int thread, Tally& tally) {
    const Load& load = run.load;
    SldwConnector connector(3, L"SolidWorks 2016", run.handles[load.shared ? 0 : thread], L"load-argument");
    CaxCommand* made = nullptr;
    Note(tally, "NewCommand", connector.NewCommand(nullptr, made), nullptr);
    const std::unique_ptr<CaxCommand> command(made);
    if (load.busy) {  // the steps start together, with the first busy window
        InterlockedIncrement(&run.connected);
        WaitForSingleObject(run.go.Get(), kRunDeadlineMs);
    }
    for (int round = 0; command && round < load.rounds; ++round) {
        for (size_t i = 0; i < load.stepCount; ++i) {
            const DWORD start = GetTickCount();
            Note(tally, load.steps[i].name, load.steps[i].run(*command, run.documents[thread]),
                 command.get());
            tally.longestMs = std::max(tally.longestMs, GetTickCount() - start);
        }
    }
    tally.operations += 2 + (command ? load.rounds * static_cast<int>(load.stepCount) : 0);
    if (!load.busy) return;
    // A release refused by a busy application is lost: the session ends after the last window.
    InterlockedIncrement(&run.done);
    WaitForSingleObject(run.calm.Get(), kRunDeadlineMs);
}

unsigned __stdcall HostThread(void* argument) {
    auto* context = static_cast<std::pair<Run*, int>*>(argument);
    Run& run = *context->first;
    const int thread = context->second;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    QARCAX::SetBusyTimeout(run.load.busy ? kBusyTimeoutMs : 0);
    for (int session = 0; session < run.load.sessions; ++session) Session(run, thread, run.tallies[thread]);
    CoUninitialize();
    return 0;
}

// While the threads of a busy run work: every instance busy for 150 ms in every 400, then calm.
void BusyWindows(Run& run, const std::vector<ComPtr<ISimControl>>& controls) {
    const LONG threads = run.load.threads;
    for (DWORD start = GetTickCount(), window = 0; GetTickCount() - start < kRunDeadlineMs; Sleep(20)) {
        if (InterlockedCompareExchange(&run.done, 0, 0) == threads) break;
        if (InterlockedCompareExchange(&run.connected, 0, 0) < threads || GetTickCount() - window < 400)
            continue;
        window = GetTickCount();
        SetEvent(run.go.Get());
        for (const ComPtr<ISimControl>& control : controls) control->SetBusy(150, -1, SimBusyRejected);
    }
    for (const ComPtr<ISimControl>& control : controls) control->SetBusy(0, 0, SimBusyRejected);
    SetEvent(run.calm.Get());
}

// Runs `run` on its threads and waits for them, at most kRunDeadlineMs: a thread that has not ended
// by then is a deadlock, and the process ends at once (its threads still use this frame).
void RunThreads(Run& run, const std::vector<ComPtr<ISimControl>>& controls) {
    std::vector<std::pair<Run*, int>> contexts;
    for (int i = 0; i < run.load.threads; ++i) contexts.emplace_back(&run, i);
    run.tallies.assign(run.load.threads, Tally());
    std::vector<qar::UniqueHandle> threads;
    for (auto& context : contexts)
        threads.emplace_back(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, HostThread, &context, 0, nullptr)));
    if (run.load.busy) BusyWindows(run, controls);
    const DWORD start = GetTickCount();
    for (const qar::UniqueHandle& thread : threads) {
        const DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(thread.Get(), spent < kRunDeadlineMs ? kRunDeadlineMs - spent : 0) ==
            WAIT_OBJECT_0)
            continue;
        std::fprintf(stderr, "%s: a host thread did not end within %lu ms (deadlock)\n", run.load.what,
                     kRunDeadlineMs);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
}

// Committed private memory: the sum of the committed private regions. On Windows this is what
// GetProcessMemoryInfo reports as PrivateUsage; Wine 8 reports PrivateUsage 0.
size_t PrivateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}
// The process's handles. Wine 8's GetProcessHandleCount succeeds with 0, so there the comparison
// below holds trivially; Windows counts them.
DWORD HandleCount() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

}  // namespace

namespace {

std::vector<std::unique_ptr<qarsim::SampleCopy>> SampleCopies(int count) {
    std::vector<std::unique_ptr<qarsim::SampleCopy>> copies;
    for (int i = 0; i < count; ++i)
        copies.push_back(std::make_unique<qarsim::SampleCopy>(TestProgramDirectory() + L"samples"));
    return copies;
}

// Runs `load` and checks what a batch host needs: every operation done and answered with success, none
// longer than the busy deadline, every reference back (`baseline` per instance; none: not compared).
void RunAndCheck(const Load& load, const SimInstances& instances, const std::vector<std::wstring>& documents,
                 const std::vector<std::wstring>* baseline) {
    for (const ComPtr<ISimControl>& control : instances.controls) ASSERT_EQ(S_OK, control->Reset());
    Run run(load, instances.handles, documents);
    const DWORD start = GetTickCount();
    RunThreads(run, instances.controls);
    const double seconds = (GetTickCount() - start) / 1000.0;
    int operations = 0;
    for (const Tally& tally : run.tallies) {
        operations += tally.operations;
        EXPECT_TRUE(tally.failures.empty())
            << load.what << ": " << tally.failures.size() << " failed, first " << tally.failures.front();
        EXPECT_LT(tally.longestMs, kBusyTimeoutMs) << load.what;
    }
    EXPECT_EQ(load.threads * load.OperationsPerThread(), operations) << load.what;
    std::printf("%s: %d operations in %.1f s (%.0f/s)\n", load.what, operations, seconds,
                operations / seconds);
    for (size_t i = 0; baseline != nullptr && i < instances.controls.size(); ++i) {
        if (load.busy) {
            EXPECT_NE(std::wstring::npos, CallLog(instances.controls[i].Get()).find(L" refused"))
                << "instance " << i << " was busy during the run";
        }
        EXPECT_EQ((*baseline)[i], ClientReferences(instances.controls[i].Get()))
            << load.what << ", instance " << i;
    }
}

// The counts make about 4,000 operations in all, which takes about 30 s of this program on a loaded
// two-core machine under Wine (each call across processes costs about a millisecond there, and eight
// instances share the two cores with the host threads).
const Load kLoads[] = {
    {"8 threads, an instance each, whole sessions", 8, false, kDocumentSession, std::size(kDocumentSession),
     6, 3, false},
    {"8 threads on one instance, menu, tables, probe", 8, true, kSharedCalls, std::size(kSharedCalls), 4, 10,
     false},
    {"8 threads, an instance each, busy windows, busy policy on", 8, false, kSharedCalls,
     std::size(kSharedCalls), 1, 30, true},
};

TEST(Load, HostThreadsOnInstancesOfTheirOwnAndOnOneShared) {
    ComApartment apartment;
    SimInstances instances(8);
    ASSERT_TRUE(instances.Complete());
    const auto copies = SampleCopies(8);
    std::vector<std::wstring> documents, baseline;
    for (const auto& copy : copies) documents.push_back(copy->File(L"clamp.sldasm"));
    // Each run once briefly: every interface is handed out once (COM's stubs keep those references
    // while this test's controls live), and the heap grows to what eight threads at once need.
    for (Load warmUp : kLoads) {
        warmUp.sessions = 1;
        warmUp.rounds = warmUp.busy ? 10 : 1;  // long enough for a busy window
        RunAndCheck(warmUp, instances, documents, nullptr);
    }
    for (const ComPtr<ISimControl>& control : instances.controls)
        baseline.push_back(ClientReferences(control.Get()));
    for (const Load& load : kLoads) {
        const size_t bytes = PrivateBytes();
        const DWORD handles = HandleCount();
        RunAndCheck(load, instances, documents, &baseline);
        const long long grown = static_cast<long long>(PrivateBytes()) - static_cast<long long>(bytes);
        std::printf("  private bytes %+lld, handles %lu -> %lu\n", grown, handles, HandleCount());
        // Measured under Wine 8 in four equal runs of 816 operations after the warm-up: +0.3, +3.4,
        // +0.07 and (3,000 operations) +0.5 MB; the busy run, under the full suite's load, up to +6.1 MB:
        // heap segments committed for eight threads at once, with no trend with the count. The bound
        // stays above that noise and catches a leak of about ten kilobytes or more per operation (a
        // dependency list, a document or an array kept on every call).
        EXPECT_LT(grown, 12 << 20) << load.what;
        EXPECT_LE(HandleCount(), handles) << load.what;
    }
}

// The second host process's run (this program started again with the shared instance's handle in
// kSharedHandle): eight threads on that instance, as the first run above.
constexpr wchar_t kSharedHandle[] = L"QAR_LOAD_SHARED_HANDLE";
const Load kProcessLoad = {
    "a host process: 8 threads on one instance", 8, true, kSharedCalls, std::size(kSharedCalls), 2, 5, false};

// Each line of the trace, parsed; a torn or interleaved line fails the test.
std::vector<nlohmann::json> TraceLines(const std::wstring& path) {
    std::vector<nlohmann::json> lines;
    const std::unique_ptr<FILE, decltype(&fclose)> file(_wfopen(path.c_str(), L"rb"), &fclose);
    std::string line;
    for (int c; file && (c = fgetc(file.get())) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
        EXPECT_TRUE(lines.back().is_object()) << line;
        line.clear();
    }
    return lines;
}

// Every operation of both processes once, each call inside an operation of its own process.
void ExpectEachOperationOnce(const std::vector<nlohmann::json>& lines, int processes) {
    std::map<std::pair<int, uint64_t>, std::string> operations;  // (process, sequence) -> name
    std::map<std::string, int> names;
    for (const nlohmann::json& line : lines) {
        if (line.value("ev", "") != "op") continue;
        EXPECT_TRUE(operations
                        .emplace(std::make_pair(line["pid"].get<int>(), line["seq"].get<uint64_t>()),
                                 line["name"].get<std::string>())
                        .second)
            << line.dump();
        ++names[line["name"].get<std::string>()];
    }
    const int sessions = processes * kProcessLoad.threads * kProcessLoad.sessions;
    std::map<std::string, int> expected = {{"QARCAX::CaxConnector::NewCommand", sessions},
                                           {"QARCAX::SldwCommand::Disconnect", sessions}};
    for (const Step& step : kSharedCalls) expected[step.name] += sessions * kProcessLoad.rounds;
    EXPECT_EQ(expected, names);
    for (const nlohmann::json& line : lines) {
        if (line.value("ev", "") == "call" && line["op"] != 0) {
            EXPECT_TRUE(operations.count(std::make_pair(line["pid"].get<int>(), line["op"].get<uint64_t>())))
                << line.dump();
        }
    }
}

// Two host processes (this program twice) on one instance at once, each with eight threads, writing one
// trace file.
TEST(Load, TwoHostProcessesOnOneInstanceWithTheTraceOn) {
    ComApartment apartment;
    if (const wchar_t* handle = _wgetenv(kSharedHandle)) {  // the host process started below
        SimInstances none(0);
        none.handles.push_back(handle);
        RunAndCheck(kProcessLoad, none, std::vector<std::wstring>(1), nullptr);
        return;
    }
    qar::SetTrace(L"", 0);  // this process writes no trace of its own
    SimInstances instance(1);
    ASSERT_TRUE(instance.Complete());
    const std::wstring trace = TestProgramDirectory() + L"load-trace.jsonl",
                       program = TestProgramDirectory() + L"load_tests.exe";
    DeleteFileW(trace.c_str());
    SetEnvironmentVariableW(L"QARSLDW_TRACE", trace.c_str());
    SetEnvironmentVariableW(kSharedHandle, instance.handles[0].c_str());
    qar::UniqueHandle hosts[2];
    for (qar::UniqueHandle& host : hosts) {
        const intptr_t started =
            _wspawnl(_P_NOWAIT, program.c_str(), (L"\"" + program + L"\"").c_str(),
                     L"--gtest_filter=Load.TwoHostProcessesOnOneInstanceWithTheTraceOn", nullptr);
        ASSERT_NE(-1, started);
        host.Reset(reinterpret_cast<HANDLE>(started));
    }
    SetEnvironmentVariableW(L"QARSLDW_TRACE", nullptr);
    SetEnvironmentVariableW(kSharedHandle, nullptr);
    for (qar::UniqueHandle& host : hosts) {
        DWORD exitCode = 99;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.Get(), kRunDeadlineMs)) << "a host process hung";
        EXPECT_TRUE(GetExitCodeProcess(host.Get(), &exitCode) && exitCode == 0) << exitCode;
    }
    ExpectEachOperationOnce(TraceLines(trace), 2);
    DeleteFileW(trace.c_str());
}

}  // namespace
