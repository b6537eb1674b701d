// The filters on a 24-megapixel picture (6000 x 4000), next to their direct reference versions
// and a plain read+write pass over the same floats; the default bilateral also on 96 megapixels
// (12000 x 8000). The direct versions of sharpen, median and bilateral would take minutes on the
// whole picture: they run on a band of rows and their time is scaled to the whole height
// (reported as manual time; the band is named in the benchmark). The closing table gives every
// figure as a ratio to the memory pass of its size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "bench_ratios.h"

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
    explicit Pictures(int scale)
        : width(kWidth * scale), height(kHeight * scale), P(reference::testPicture(width, height, 1)),
          N(width, height), C(width, height) {
        // Touch every page now, so that no timed run pays for the first writes.
        N.fill(0.5f);
        C.fill(0.5f);
    }
    FilterBuffers view() { return FilterBuffers{P, N, C}; }
    Region whole() const { return Region{0, width, 0, height}; }
    int width, height;
    FloatImage P, N, C;
};

// One size at a time is held (96 megapixels take 3.5 GB); the benchmarks run size by size.
Pictures& pictures(int scale = 1) {
    static std::unique_ptr<Pictures> held;
    if (!held || held->width != kWidth * scale) {
        held.reset();
        held = std::make_unique<Pictures>(scale);
    }
    return *held;
}

const Region kWhole{0, kWidth, 0, kHeight};

void BM_MemoryPass(benchmark::State& state, int scale) {
    Pictures& p = pictures(scale);
    for (auto _ : state) {
        parallelRows(0, p.height, [&](int y) {
            std::memcpy(p.C.row(y), p.P.row(y), p.P.rowSamples() * sizeof(float));
        });
        benchmark::ClobberMemory();
    }
}

void BM_GaussianBlurSigma8(benchmark::State& state, int) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) gaussianBlur(p.view(), kWhole, GaussianBlurParams{80, 100}, none);
}

void BM_GaussianBlurSigma8_Direct(benchmark::State& state, int) {
    Pictures& p = pictures();
    for (auto _ : state) reference::gaussianBlur(p.P, p.N, p.C, kWhole, 80, 100);
}

void BM_SharpenSigma5(benchmark::State& state, int) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) sharpen(p.view(), kWhole, SharpenParams{100, 50}, none);
}

// Direct 2-D sharpen on rows 2000..2039 of the whole picture, scaled by 4000 / 40.
void BM_SharpenSigma5_Direct_Band40Scaled(benchmark::State& state, int) {
    Pictures& p = pictures();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reference::sharpen(p.P, p.N, p.C, kWhole, 100, 50, 2000, 2040);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(t.count() * (kHeight / 40.0));
    }
}

void BM_MedianBox7Threshold100(benchmark::State& state, int) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) medianFilter(p.view(), kWhole, MedianParams{MedianShape::Box, 3, 100, 100}, none);
}

// Direct median (sort of each list) on rows 2000..2099, scaled by 4000 / 100.
void BM_MedianBox7Threshold100_Direct_Band100Scaled(benchmark::State& state, int) {
    Pictures& p = pictures();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reference::median(p.P, p.N, p.C, kWhole, MedianShape::Box, 3, 100, 100, 2000, 2100);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(t.count() * (kHeight / 100.0));
    }
}

void BM_BilateralSigma8Threshold30(benchmark::State& state, int) {
    Pictures& p = pictures();
    NullProgress none;
    for (auto _ : state) bilateralFilter(p.view(), kWhole, BilateralParams{80, 30, 100}, none);
}

void BM_BilateralSigma1Default(benchmark::State& state, int scale) {
    Pictures& p = pictures(scale);
    NullProgress none;
    for (auto _ : state) bilateralFilter(p.view(), p.whole(), BilateralParams{10, 10, 100}, none);
}

// Direct bilateral (one scalar exp per tap) on a region of 6000 x 200 rows, scaled by 4000 / 200.
void BM_BilateralSigma8Threshold30_Direct_Band200Scaled(benchmark::State& state, int) {
    Pictures& p = pictures();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reference::bilateral(p.P, p.N, p.C, Region{0, kWidth, 2000, 200}, 80, 30, 100);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(t.count() * (kHeight / 200.0));
    }
}

// Names read "Operation/Size" so that the closing table can set each beside the memory pass.
void registerAll() {
    auto add = [](const char* name, void (*fn)(benchmark::State&, int), int scale, int iterations) {
        std::string full = name;
        full += scale == 1 ? "/24MP" : "/96MP";
        return benchmark::RegisterBenchmark(full.c_str(), fn, scale)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->Iterations(iterations);
    };
    auto timed = [&](const char* name, void (*fn)(benchmark::State&, int), int scale, int iterations) {
        add(name, fn, scale, iterations)->UseRealTime();
    };
    auto manual = [&](const char* name, void (*fn)(benchmark::State&, int)) { add(name, fn, 1, 1)->UseManualTime(); };
    timed("MemoryPass", BM_MemoryPass, 1, 5);
    timed("GaussianBlurSigma8", BM_GaussianBlurSigma8, 1, 3);
    timed("GaussianBlurSigma8_Direct", BM_GaussianBlurSigma8_Direct, 1, 1);
    timed("SharpenSigma5", BM_SharpenSigma5, 1, 3);
    manual("SharpenSigma5_Direct_Band40Scaled", BM_SharpenSigma5_Direct_Band40Scaled);
    timed("MedianBox7Threshold100", BM_MedianBox7Threshold100, 1, 2);
    manual("MedianBox7Threshold100_Direct_Band100Scaled", BM_MedianBox7Threshold100_Direct_Band100Scaled);
    timed("BilateralSigma8Threshold30", BM_BilateralSigma8Threshold30, 1, 2);
    timed("BilateralSigma1Default", BM_BilateralSigma1Default, 1, 3);
    manual("BilateralSigma8Threshold30_Direct_Band200Scaled", BM_BilateralSigma8Threshold30_Direct_Band200Scaled);
    timed("MemoryPass", BM_MemoryPass, 2, 5);
    timed("BilateralSigma1Default", BM_BilateralSigma1Default, 2, 3);
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    return sv::bench::runWithRatios(argc, argv, "MemoryPass");
}
