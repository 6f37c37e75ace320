// Timing helpers the benchmarks against the simulated application share.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

// Milliseconds on the performance counter.
inline double Now() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The median of `runs` wall times of `work`, in milliseconds: robust against the other builds that
// share this machine, unlike a mean.
inline double Median(int runs, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double start = Now();
        work();
        times.push_back(Now() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Ends the benchmark when a step it depends on failed.
inline void Check(bool ok, const char* what) {
    if (ok) return;
    std::printf("FAILED: %s\n", what);
    std::exit(1);
}
