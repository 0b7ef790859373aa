// One voxel's statistics as the voxel pass performs them, piece by piece and whole.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "stats/ar_model.h"
#include "stats/matrix.h"

using namespace ldi;

namespace {

constexpr int32_t kVolumes = 400;

// A reference course and a voxel course of kVolumes values, bases 1/1 like the time
// courses of the program, with some slow drift for the detrending to remove.
struct Courses {
    Matrix reference{1, kVolumes, 1, 1};
    Matrix voxel{1, kVolumes, 1, 1};
    Matrix surrogate{1, kVolumes, 1, 1};
    Matrix data{2, kVolumes, 0, 0};

    Courses() {
        uint32_t state = 2024u;
        auto noise = [&state]() {
            state = state * 1664525u + 1013904223u;
            return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        };
        float a = 0.0f, b = 0.0f, s = 0.0f;
        for (int32_t t = 1; t <= kVolumes; ++t) {
            a = 0.6f * a + noise();
            b = 0.4f * b + 0.5f * a + noise();
            s = 0.6f * s + noise();
            reference(1, t) = 100.0f + 0.01f * static_cast<float>(t) + a;
            voxel(1, t) = 800.0f - 0.02f * static_cast<float>(t) + 10.0f * b;
            surrogate(1, t) = s;
        }
    }

    void detrend(const Matrix& ref) {
        detrendRows(ref, 1, 2, 1, kVolumes + 1, data, 0, 0);
        detrendRows(voxel, 1, 2, 1, kVolumes + 1, data, 1, 0);
    }
};

void detrendTwoSeries(benchmark::State& state) {
    Courses c;
    for (auto _ : state) {
        c.detrend(c.reference);
        benchmark::DoNotOptimize(c.data.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(detrendTwoSeries);

// The same two rows through the paired core, as a pass that holds both rows can call it.
void detrendTwoSeriesPaired(benchmark::State& state) {
    Courses c;
    for (auto _ : state) {
        core::detrendRowPair(c.reference.data(), c.voxel.data(), kVolumes, c.data.row(0),
                             c.data.row(1));
        benchmark::DoNotOptimize(c.data.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(detrendTwoSeriesPaired);

// The floor of any ordered float32 sum: one dependent addition per value.
void orderedSum400(benchmark::State& state) {
    Courses c;
    for (auto _ : state) {
        float s = core::sum(c.voxel.data(), kVolumes);
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(orderedSum400);

void lagProductsAndAccumulate(benchmark::State& state) {
    const int32_t p = static_cast<int32_t>(state.range(0));
    Courses c;
    c.detrend(c.reference);
    CovarianceAccumulator acc(2, p);
    for (auto _ : state) {
        computeLagProducts(acc, c.data, 0, 2, 0, kVolumes);
        accumulateInterval(acc, c.data, 0, 2, 0, kVolumes);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(lagProductsAndAccumulate)->Arg(1)->Arg(3);

void influence(benchmark::State& state) {
    const int32_t p = static_cast<int32_t>(state.range(0));
    Courses c;
    c.detrend(c.reference);
    CovarianceAccumulator acc(2, p);
    clearAccumulator(acc);
    computeLagProducts(acc, c.data, 0, 2, 0, kVolumes);
    accumulateInterval(acc, c.data, 0, 2, 0, kVolumes);
    scaleAccumulator(acc, 1.0f);
    ArModelWorkspace joint(2, p), reference(1, p), voxel(1, p);
    InfluenceValues values;
    for (auto _ : state) {
        const bool ok = influenceMeasures(acc, 0, 1, joint, reference, voxel, values);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(values);
    }
}
BENCHMARK(influence)->Arg(1)->Arg(3);

// Real and surrogate models of one voxel over one interval of kVolumes volumes.
void wholeVoxel(benchmark::State& state) {
    const int32_t p = static_cast<int32_t>(state.range(0));
    Courses c;
    CovarianceAccumulator real(2, p), null(2, p);
    ArModelWorkspace joint(2, p), reference(1, p), voxel(1, p);
    InfluenceValues values;
    for (auto _ : state) {
        clearAccumulator(real);
        clearAccumulator(null);
        c.detrend(c.reference);
        computeLagProducts(real, c.data, 0, 2, 0, kVolumes);
        accumulateInterval(real, c.data, 0, 2, 0, kVolumes);
        detrendRows(c.surrogate, 1, 2, 1, kVolumes + 1, c.data, 0, 0);
        computeLagProducts(null, c.data, 0, 2, 0, kVolumes);
        accumulateInterval(null, c.data, 0, 2, 0, kVolumes);
        scaleAccumulator(real, 1.0f);
        scaleAccumulator(null, 1.0f);
        bool ok = influenceMeasures(real, 0, 1, joint, reference, voxel, values);
        benchmark::DoNotOptimize(values);
        ok = ok && influenceMeasures(null, 0, 1, joint, reference, voxel, values);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(values);
    }
}
BENCHMARK(wholeVoxel)->Arg(1)->Arg(3);

}  // namespace

BENCHMARK_MAIN();
