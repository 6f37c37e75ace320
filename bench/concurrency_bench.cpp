// Throughput of host threads against the simulated CAD application: operations per second with 1, 2, 4
// and 8 threads, each thread against an instance of its own and all threads against one instance, with
// the calls that leave the active document alone (menu, two tables, the connection probe). The threads
// and their sessions are the load test's (tests/load_runner.h); the instances are `qarcadsim /instance`
// processes. The configurations alternate within each round, in the opposite order every other round,
// so that the machine's load falls on all of them alike. Run on demand, with the simulator registered:
//   cmake/wine-run.sh $P build/mingw/bench/concurrency_bench.exe [rounds] [operations] > bench.txt
// `operations` is each run's total of timed calls, shared among its threads (1,200 by default).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "load_runner.h"
#include "sim_instances.h"

namespace {

const int kThreadCounts[] = {1, 2, 4, 8};

struct Configuration {
    int threads;
    bool shared;
    std::vector<double> perSecond;  // one figure per round
};

// One timed run: every thread connects, the steps start together, and the figure is the steps of all
// threads over the time from that start to the last thread's last step (connecting and disconnecting
// are not timed).
double OperationsPerSecond(const Configuration& configuration, int operations,
                           const SimInstances& instances) {
    for (const ComPtr<ISimControl>& control : instances.controls)
        control->Reset();  // the call log stays short
    const int stepCount = static_cast<int>(std::size(load::kSharedCalls));
    const int rounds = std::max(1, operations / (configuration.threads * stepCount));
    const load::Load load = {"concurrency",
                             configuration.threads,
                             configuration.shared,
                             load::kSharedCalls,
                             std::size(load::kSharedCalls),
                             1,
                             rounds,
                             false};
    const std::vector<std::wstring> documents(configuration.threads);
    load::Run run(load, instances.handles, documents);
    load::RunThreads(run, instances.controls);
    LONGLONG ended = 0;
    for (const load::Tally& tally : run.tallies) {
        Check(tally.failures.empty(), tally.failures.empty() ? "" : tally.failures.front().c_str());
        ended = std::max(ended, tally.stepsEnded);
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const double seconds =
        static_cast<double>(ended - run.stepsBegan) / static_cast<double>(frequency.QuadPart);
    return configuration.threads * rounds * stepCount / seconds;
}

// The median; for an even count the mean of the two middle values.
double MedianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int rounds = argc > 1 ? _wtoi(argv[1]) : 3;
    const int operations = argc > 2 ? _wtoi(argv[2]) : 1200;
    Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), "CoInitializeEx");
    {
        SimInstances instances(8, L"/lifetime:900");
        Check(instances.Complete(), "eight instances in the running-object table");
        std::vector<Configuration> configurations;
        for (const int threads : kThreadCounts) {
            configurations.push_back({threads, false, {}});
            configurations.push_back({threads, true, {}});
        }
        // Warm: every instance has handed out its interfaces once and the heap has grown to eight threads.
        for (const Configuration& configuration : configurations)
            OperationsPerSecond(configuration, 64, instances);
        const double start = Now();
        for (int round = 0; round < rounds; ++round) {
            for (size_t i = 0; i < configurations.size(); ++i) {
                Configuration& configuration =
                    configurations[round % 2 == 0 ? i : configurations.size() - 1 - i];
                configuration.perSecond.push_back(OperationsPerSecond(configuration, operations, instances));
                std::printf("round %d, %d threads, %s: %.0f/s\n", round + 1, configuration.threads,
                            configuration.shared ? "one instance" : "own instances",
                            configuration.perSecond.back());
                std::fflush(stdout);
            }
        }
        std::printf("\n%d rounds of %d calls per configuration in %.0f s; medians, operations per second\n",
                    rounds, operations, (Now() - start) / 1000);
        std::printf("| threads | own instances | one instance |\n| ---: | ---: | ---: |\n");
        for (size_t i = 0; i < configurations.size(); i += 2) {
            std::printf("| %d | %.0f | %.0f |\n", configurations[i].threads,
                        MedianOf(configurations[i].perSecond), MedianOf(configurations[i + 1].perSecond));
        }
    }
    CoUninitialize();
    return 0;
}
