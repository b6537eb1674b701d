// Automatic alignment of one 24-megapixel exposure (+2 EV, shifted) with a 0 EV stack, beside
// OpenCV's median-threshold aligner (AlignMTB, +-255 pixels as ours covers +-256 and more) on the
// same pair and a plain memory pass over one picture, all in the same run. Read the results as
// ratios: ours / AlignMTB and ours / memory pass (a copy, and the read-add-write pass the time
// budget is stated against).
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <algorithm>
#include <cstdio>

#include "bench_support.h"
#include "stack/auto_align.h"
#include "support/bracket_scenes.h"

namespace {

using namespace sv;

constexpr int kShiftX = 37;
constexpr int kShiftY = -23;

// A detailed scene at a quarter of the size, enlarged: soft at the pixel level like most
// 24-megapixel photographs, detailed at every coarser scale.
FloatImage largeScene(int width, int height) {
    const FloatImage small = test::proceduralScene(width / 4 + 2, height / 4 + 2, 7);
    FloatImage scene(width, height);
    parallelRows(0, height, [&](int y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) scene.at(x, y, c) = test::sampleScene(small, x / 4.0, y / 4.0, c);
        }
    });
    return scene;
}

struct Pair {
    Pair() {
        const int margin = 64;
        const FloatImage scene = largeScene(bench::kWidth + 2 * margin, bench::kHeight + 2 * margin);
        const test::Shot base{margin, margin, bench::kWidth, bench::kHeight, 0.0, 0.0, 1.0, 2.0, 90, 1};
        const test::Shot moved{margin + kShiftX, margin + kShiftY, bench::kWidth, bench::kHeight, 2.0, 0.0, 1.0, 2.0, 90, 2};
        baseRgb = test::shootRgb(scene, base);
        movedRgb = test::shootRgb(scene, moved);
        stack = test::stackOf(test::openingScale(baseRgb, bench::kWidth, bench::kHeight));
        fresh = test::openingScale(movedRgb, bench::kWidth, bench::kHeight);
        baseMat = cv::Mat(bench::kHeight, bench::kWidth, CV_8UC3, baseRgb.data());
        movedMat = cv::Mat(bench::kHeight, bench::kWidth, CV_8UC3, movedRgb.data());
        scratch = FloatImage(bench::kWidth, bench::kHeight);
    }
    std::vector<unsigned char> baseRgb, movedRgb;
    FloatImage stack, fresh, scratch;
    cv::Mat baseMat, movedMat;
};

Pair& pair() {
    static Pair p;
    return p;
}

void BM_AutoAlign(benchmark::State& state) {
    Pair& p = pair();
    NullProgress progress;
    AutoAlignResult r;
    for (auto _ : state) {
        r = autoAlign(p.fresh, p.stack, AutoAlignParams{}, progress);
        benchmark::DoNotOptimize(r);
    }
    state.counters["shiftX"] = r.shiftX;
    state.counters["shiftY"] = r.shiftY;
    state.counters["residual"] = r.residual;
    if (r.shiftX != kShiftX || r.shiftY != kShiftY) state.SkipWithError("wrong shift");
}

// OpenCV on 8-bit pictures (what it needs): grey conversion of both, then its shift search.
void timeAlignMtb(benchmark::State& state, cv::Ptr<cv::AlignMTB> mtb) {
    Pair& p = pair();
    cv::Point shift;
    for (auto _ : state) {
        cv::Mat g0, g1;
        cv::cvtColor(p.baseMat, g0, cv::COLOR_RGB2GRAY);
        cv::cvtColor(p.movedMat, g1, cv::COLOR_RGB2GRAY);
        shift = mtb->calculateShift(g0, g1);
        benchmark::DoNotOptimize(shift);
    }
    state.counters["shiftX"] = shift.x;
    state.counters["shiftY"] = shift.y;
}

// +-255 pixels, like our range.
void BM_OpenCvAlignMtb(benchmark::State& state) { timeAlignMtb(state, cv::createAlignMTB(8, 4, true)); }

// OpenCV's default range (+-63 pixels), its fastest setting.
void BM_OpenCvAlignMtbDefault(benchmark::State& state) { timeAlignMtb(state, cv::createAlignMTB()); }

void BM_MemoryPass(benchmark::State& state) {
    Pair& p = pair();
    for (auto _ : state) bench::memoryPass(p.fresh, p.scratch);
}

// The pass the time budget is stated against (120 ms where it takes 18.8 ms).
void BM_MemoryPassReadAddWrite(benchmark::State& state) {
    Pair& p = pair();
    for (auto _ : state) bench::memoryPassReadAddWrite(p.fresh, p.scratch);
}

// Others share the machine: repeat and read the minimum.
double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
#define SV_TIMED(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ComputeStatistics("min", least)
SV_TIMED(BM_MemoryPass);
SV_TIMED(BM_MemoryPassReadAddWrite);
SV_TIMED(BM_AutoAlign);
SV_TIMED(BM_OpenCvAlignMtb);
SV_TIMED(BM_OpenCvAlignMtbDefault);

}  // namespace

BENCHMARK_MAIN();
