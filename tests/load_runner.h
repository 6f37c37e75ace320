// Host threads running sessions against instances of the simulated application, as a batch host runs
// them: each thread in an apartment of its own with its own connector and command. Shared by the load
// test (which checks what the threads saw) and the concurrency benchmark (which times them).
//   Run run(load, instances.handles, documents);
//   RunThreads(run, instances.controls);  // then run.tallies, one per thread
#pragma once

#include <windows.h>

#include <process.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Public/busy_policy.h"
#include "Public/cax_command.h"
#include "Public/com_owners.h"
#include "Public/owners.h"
#include "simulator/sim_client.h"
#include "sldw/sldw_connector.h"

namespace load {

using qar::ComPtr;
using QARCAX::CaxCommand;
using QARCAX::SldwConnector;

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

// What one thread saw. The steps' span is on the performance counter: from the moment every thread
// was connected to this thread's last step.
struct Tally {
    const char* volatile doing = "starting";  // the step under way, for a deadlock's report
    int operations = 0;
    DWORD longestMs = 0;
    LONGLONG stepsEnded = 0;
    std::vector<std::string> failures;
};

// What the threads of one run share: the instances' handles, the documents, the moment the steps start
// (every thread connected, `stepsBegan` on the performance counter), and for a busy run the moment the
// busy windows must end (every thread done).
struct Run {
    Run(const Load& load, const std::vector<std::wstring>& handles,
        const std::vector<std::wstring>& documents)
        : load(load), handles(handles), documents(documents) {}
    const Load& load;
    const std::vector<std::wstring>& handles;
    const std::vector<std::wstring>& documents;
    std::vector<Tally> tallies;
    LONG connected = 0, done = 0;
    LONGLONG stepsBegan = 0;
    // Connecting (a walk of the running-object table that calls and releases every instance's
    // application) never overlaps another thread's steps. Measured under Wine 8 (one run in a few under
    // a loaded machine): such a walk, calling and releasing an instance's objects while that instance's
    // own host thread was working on it, left a host thread waiting forever in an instance whose
    // apartment Wine had deadlocked (a release waiting for the stub manager while another call waited
    // for the apartment; see ENGINEERING.md). On Windows this changes only the timing.
    SRWLOCK connecting = SRWLOCK_INIT;
    qar::UniqueHandle go{CreateEventW(nullptr, TRUE, FALSE, nullptr)};    // every thread connected
    qar::UniqueHandle calm{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // no busy window any more
};

inline void Note(Tally& tally, const char* what, int result, const CaxCommand* command) {
    if (result == 0) return;
    std::string message = what + (" answered " + std::to_string(result));
    if (command != nullptr) message += " (" + std::to_string(command->errorCode) + ")";
    tally.failures.push_back(message);
}

// A shared turn of Run::connecting, taken once the session has connected and given back when its
// connector and command are gone (their releases reach the instance too).
class StepsTurn {
public:
    explicit StepsTurn(SRWLOCK& lock) : lock_(lock) {}
    StepsTurn(const StepsTurn&) = delete;
    StepsTurn& operator=(const StepsTurn&) = delete;
    ~StepsTurn() {
        if (taken_) ReleaseSRWLockShared(&lock_);
    }
    void Take() {
        AcquireSRWLockShared(&lock_);
        taken_ = true;
    }

private:
    SRWLOCK& lock_;
    bool taken_ = false;
};

// One session on the calling thread; the command is deleted (saying "Disconnect") at its end.
inline void Session(Run& run, int thread, Tally& tally) {
    const Load& load = run.load;
    StepsTurn turn(run.connecting);  // declared first: given back after everything below is gone
    SldwConnector connector(3, L"SolidWorks 2016", run.handles[load.shared ? 0 : thread], L"load-argument");
    CaxCommand* made = nullptr;
    AcquireSRWLockExclusive(&run.connecting);
    tally.doing = "NewCommand";
    Note(tally, "NewCommand", connector.NewCommand(nullptr, made), nullptr);
    ReleaseSRWLockExclusive(&run.connecting);
    const std::unique_ptr<CaxCommand> command(made);
    // The steps start together (in a busy run with the first busy window): connecting is not part of them.
    InterlockedIncrement(&run.connected);
    WaitForSingleObject(run.go.Get(), kRunDeadlineMs);
    turn.Take();  // after `go`: the first session's threads all connect before anyone's steps
    for (int round = 0; command && round < load.rounds; ++round) {
        for (size_t i = 0; i < load.stepCount; ++i) {
            const DWORD start = GetTickCount();
            tally.doing = load.steps[i].name;
            Note(tally, load.steps[i].name, load.steps[i].run(*command, run.documents[thread]),
                 command.get());
            tally.longestMs = std::max(tally.longestMs, GetTickCount() - start);
        }
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    tally.stepsEnded = now.QuadPart;
    tally.operations += 2 + (command ? load.rounds * static_cast<int>(load.stepCount) : 0);
    tally.doing = "the command's and the connector's release";
    if (!load.busy) return;
    // A release refused by a busy application is lost: the session ends after the last window.
    InterlockedIncrement(&run.done);
    WaitForSingleObject(run.calm.Get(), kRunDeadlineMs);
}

inline unsigned __stdcall HostThread(void* argument) {
    auto* context = static_cast<std::pair<Run*, int>*>(argument);
    Run& run = *context->first;
    const int thread = context->second;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    QARCAX::SetBusyTimeout(run.load.busy ? kBusyTimeoutMs : 0);
    for (int session = 0; session < run.load.sessions; ++session) Session(run, thread, run.tallies[thread]);
    CoUninitialize();
    return 0;
}

// Lets the threads' steps start.
inline void Go(Run& run) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    run.stepsBegan = now.QuadPart;
    SetEvent(run.go.Get());
}

// While the threads of a busy run work: every instance busy for 150 ms in every 400, then calm.
inline void BusyWindows(Run& run, const std::vector<ComPtr<ISimControl>>& controls) {
    const LONG threads = run.load.threads;
    for (DWORD start = GetTickCount(), window = 0; GetTickCount() - start < kRunDeadlineMs; Sleep(20)) {
        if (InterlockedCompareExchange(&run.done, 0, 0) == threads) break;
        if (InterlockedCompareExchange(&run.connected, 0, 0) < threads || GetTickCount() - window < 400)
            continue;
        window = GetTickCount();
        Go(run);
        for (const ComPtr<ISimControl>& control : controls) control->SetBusy(150, -1, SimBusyRejected);
    }
    for (const ComPtr<ISimControl>& control : controls) control->SetBusy(0, 0, SimBusyRejected);
    SetEvent(run.calm.Get());
}

// Runs `run` on its threads and waits for them, at most kRunDeadlineMs: a thread that has not ended
// by then is a deadlock, and the process ends at once (its threads still use this frame).
inline void RunThreads(Run& run, const std::vector<ComPtr<ISimControl>>& controls) {
    std::vector<std::pair<Run*, int>> contexts;
    for (int i = 0; i < run.load.threads; ++i) contexts.emplace_back(&run, i);
    run.tallies.assign(run.load.threads, Tally());
    std::vector<qar::UniqueHandle> threads;
    for (auto& context : contexts)
        threads.emplace_back(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, HostThread, &context, 0, nullptr)));
    const DWORD start = GetTickCount();
    if (run.load.busy) {
        BusyWindows(run, controls);
    } else {  // every thread's first session connected; later sessions find the event set
        while (InterlockedCompareExchange(&run.connected, 0, 0) < run.load.threads &&
               GetTickCount() - start < kRunDeadlineMs)
            Sleep(1);
        Go(run);
    }
    for (size_t i = 0; i < threads.size(); ++i) {
        const DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(threads[i].Get(), spent < kRunDeadlineMs ? kRunDeadlineMs - spent : 0) ==
            WAIT_OBJECT_0)
            continue;
        std::fprintf(stderr, "%s: host thread %zu did not end within %lu ms (deadlock), in %s\n",
                     run.load.what, i, kRunDeadlineMs, run.tallies[i].doing);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
}

}  // namespace load
