// The filters on a 24-megapixel picture (6000 x 4000), next to their direct reference versions
// and a plain read+write pass over the same floats. The direct versions of sharpen, median and
// bilateral would take minutes on the whole picture: they run on a band of rows and their time
// is scaled to the whole height (reported as manual time; the band is named in the benchmark).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

#include "filters/bilateral_filter.h"
#include "filters/filter_reference.h"
#include "filters/gaussian_blur.h"
#include "filters/median_filter.h"
#include "filters/sharpen.h"
#include "image/parallel_rows.h"

namespace {

using namespace sv;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

struct Pictures {
    FloatImage P = reference::testPicture(kWidth, kHeight, 1);
    FloatImage N{kWidth, kHeight};
    FloatImage C{kWidth, kHeight};
    FilterBuffers view() { return FilterBuffers{P, N, C}; }
    // Touch every page now, so that no timed run pays for the first writes.
    Pictures() {
        N.fill(0.5f);
        C.fill(0.5f);
    }
};

Pictures& pictures() {
    static Pictures p;
    return p;
}

const Region kWhole{0, kWidth, 0, kHeight};

void BM_MemoryPass(benchmark::State& state) {
    Pictures& p = pictures();
    for (auto _ : state) {
        parallelRows(0, kHeight, [&](int y) {
            std::memcpy(p.C.row(y), p.P.row(y), p.P.rowSamples() * sizeof(float));
        });
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(5);

void BM_GaussianBlurSigma8(benchmark::State& state) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) gaussianBlur(p.view(), kWhole, GaussianBlurParams{80, 100}, none);
}
BENCHMARK(BM_GaussianBlurSigma8)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(3);

void BM_GaussianBlurSigma8_Direct(benchmark::State& state) {
    Pictures& p = pictures();
    for (auto _ : state) reference::gaussianBlur(p.P, p.N, p.C, kWhole, 80, 100);
}
BENCHMARK(BM_GaussianBlurSigma8_Direct)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(1);

void BM_SharpenSigma5(benchmark::State& state) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) sharpen(p.view(), kWhole, SharpenParams{100, 50}, none);
}
BENCHMARK(BM_SharpenSigma5)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(3);

// Direct 2-D sharpen on rows 2000..2039 of the whole picture, scaled by 4000 / 40.
void BM_SharpenSigma5_Direct_Band40Scaled(benchmark::State& state) {
    Pictures& p = pictures();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reference::sharpen(p.P, p.N, p.C, kWhole, 100, 50, 2000, 2040);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(t.count() * (kHeight / 40.0));
    }
}
BENCHMARK(BM_SharpenSigma5_Direct_Band40Scaled)->Unit(benchmark::kMillisecond)->UseManualTime()->MeasureProcessCPUTime()->Iterations(1);

void BM_MedianBox7Threshold100(benchmark::State& state) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) medianFilter(p.view(), kWhole, MedianParams{MedianShape::Box, 3, 100, 100}, none);
}
BENCHMARK(BM_MedianBox7Threshold100)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(2);

// Direct median (sort of each list) on rows 2000..2099, scaled by 4000 / 100.
void BM_MedianBox7Threshold100_Direct_Band100Scaled(benchmark::State& state) {
    Pictures& p = pictures();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reference::median(p.P, p.N, p.C, kWhole, MedianShape::Box, 3, 100, 100, 2000, 2100);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(t.count() * (kHeight / 100.0));
    }
}
BENCHMARK(BM_MedianBox7Threshold100_Direct_Band100Scaled)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()->MeasureProcessCPUTime()
    ->Iterations(1);

void BM_BilateralSigma8Threshold30(benchmark::State& state) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) bilateralFilter(p.view(), kWhole, BilateralParams{80, 30, 100}, none);
}
BENCHMARK(BM_BilateralSigma8Threshold30)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(2);

void BM_BilateralSigma1Default(benchmark::State& state) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) bilateralFilter(p.view(), kWhole, BilateralParams{10, 10, 100}, none);
}
BENCHMARK(BM_BilateralSigma1Default)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(3);

// Direct bilateral (one scalar exp per tap) on a region of 6000 x 200 rows, scaled by 4000 / 200.
void BM_BilateralSigma8Threshold30_Direct_Band200Scaled(benchmark::State& state) {
    Pictures& p = pictures();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reference::bilateral(p.P, p.N, p.C, Region{0, kWidth, 2000, 200}, 80, 30, 100);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(t.count() * (kHeight / 200.0));
    }
}
BENCHMARK(BM_BilateralSigma8Threshold30_Direct_Band200Scaled)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()->MeasureProcessCPUTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
