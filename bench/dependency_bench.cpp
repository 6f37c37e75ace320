// Times the dependency list on in-process arrays against two yardsticks: fetching every element of
// the array once (the least any reader must do) and the rule written out literally (quadratic).
// Run on demand:  cmake/wine-run.sh $PWD/build/mingw/wineprefix build/mingw/bench/dependency_bench.exe [N]
// The literal rule takes minutes at 100,000 elements; with N it runs only up to N elements.
#include <windows.h>

#include <cstdio>
#include <functional>

#include "dependency_arrays.h"
#include "sldw/sldw_command.h"

using qar::UniqueBstr;
using qar::UniqueVariant;

namespace {

// Best of `runs` wall times of `work`, in milliseconds.
double BestMilliseconds(int runs, const std::function<void()>& work) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QueryPerformanceCounter(&start);
        work();
        QueryPerformanceCounter(&end);
        const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        if (ms < best) best = ms;
    }
    return best;
}

// `size` elements; the file names at odd indexes are half new, half repeats of earlier ones.
Elements HalfDuplicates(size_t size) {
    Elements elements(size);
    size_t distinct = 0;
    for (size_t i = 0; i < size; ++i) {
        if (i % 2 == 0) {
            elements[i] = L"component " + std::to_wstring(i);
        } else {
            const size_t n = (i / 2) % 2 == 0 || distinct == 0 ? distinct++ : (i * 7919) % distinct;
            elements[i] = L"C:\\Projects\\Pump\\parts\\part-" + std::to_wstring(n) + L".SLDPRT";
        }
    }
    return elements;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const size_t literalLimit = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 100000;
    std::printf("%9s %9s %11s %9s %11s %10s %10s %12s\n", "elements", "fetch ms", "library ms", "warm ms",
                "literal ms", "lib/fetch", "warm/fetch", "literal/lib");
    for (size_t size : {1000u, 10000u, 100000u}) {
        const UniqueVariant value = DependencyArray(HalfDuplicates(size));
        SAFEARRAY* array = value.Get().parray;
        const int runs = size >= 100000 ? 3 : 10;
        const double fetch = BestMilliseconds(runs, [&] {
            for (LONG i = 0; i < static_cast<LONG>(size); ++i) {
                UniqueBstr element;
                SafeArrayGetElement(array, &i, element.Put());
            }
        });
        std::wstring list, literal;
        // Into a new string each run, as a host passes it: the first touch of its pages is part of
        // the cost (expensive in some virtual machines: 2 MB took 8-11 ms in ours). And into a
        // string that already has the room: the work itself.
        const double library = BestMilliseconds(runs, [&] {
            std::wstring fresh;
            qar::detail::DependencyList(value.Get(), fresh);
            list.swap(fresh);
        });
        const double warm = BestMilliseconds(runs, [&] { qar::detail::DependencyList(value.Get(), list); });
        if (size > literalLimit) {
            std::printf("%9zu %9.2f %11.2f %9.2f %11s %10.2f %10.2f %12s\n", size, fetch, library, warm, "-",
                        library / fetch, warm / fetch, "-");
            continue;
        }
        const double reference = BestMilliseconds(1, [&] { literal = LiteralDependencies(array); });
        if (list != literal) {
            std::printf("MISMATCH at %zu elements\n", size);
            return 1;
        }
        std::printf("%9zu %9.2f %11.2f %9.2f %11.2f %10.2f %10.2f %12.1f\n", size, fetch, library, warm,
                    reference, library / fetch, warm / fetch, reference / library);
    }
    return 0;
}
