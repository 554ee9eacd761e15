// How every benchmark case is timed and named: the benchmark loop with the
// timed call between untimed set-up and tear-down, the median iteration kept,
// and the row it makes in the result table.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchScenes.h"
#include "CountingAllocator.h"
#include "ResultTable.h"

namespace bench {

// Large scenes get few iterations: a case over a million instances is slow
// enough to measure in one go, and its set-up dominates the run time.
inline benchmark::IterationCount IterationsFor(std::size_t count) {
    return static_cast<benchmark::IterationCount>(std::clamp<std::size_t>(2000000 / count, 3, 200));
}

inline double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs the benchmark loop: `setup` and `teardown` untimed around the timed `call`.
// Answers the median time and the highest heap peak per unit.
template <class Setup, class Call, class Teardown>
Result Measure(benchmark::State &state, Result result, double units, Setup setup, Call call,
               Teardown teardown) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(state.max_iterations));
    std::size_t peak = 0;
    for (auto _ : state) {
        setup();
        const std::size_t start = ResetPeak();
        const auto begin = Clock::now();
        call();
        const auto end = Clock::now();
        peak = std::max(peak, Heap().peak - start);
        const double seconds = std::chrono::duration<double>(end - begin).count();
        state.SetIterationTime(seconds);
        times.push_back(seconds * 1e9);
        teardown();
    }
    result.nsPerUnit = Median(times) / units;
    result.peakPerUnit = static_cast<double>(peak) / units;
    state.counters["ns_per_unit"] = result.nsPerUnit;
    state.counters["peak_B_per_unit"] = result.peakPerUnit;
    return result;
}

// A result row for a case on a scene, or (with no shape) for one without.
inline Result Named(const char *name, const char *shape, std::size_t count, const char *unit) {
    Result result;
    result.name = name;
    result.shape = shape;
    result.count = count;
    result.unit = unit;
    return result;
}

inline Result Named(const char *name, Shape shape, std::size_t count, const char *unit) {
    return Named(name, ShapeName(shape), count, unit);
}

// The glTF cases (GltfBench.cpp): a synthetic file of `count` nodes in the deep
// shape loaded, its top aligned, and saved.
void GltfLoad(benchmark::State &state, std::size_t count);
void GltfAlignTop(benchmark::State &state, std::size_t count);
void GltfSave(benchmark::State &state, std::size_t count);

} // namespace bench
