// The tone render ("Process all" with its histogram), the display conversion and the automatic
// preview on 24 megapixels, beside the direct version and a plain memory pass in the same run.
#include "bench_support.h"
#include "tone/render.h"
#include "tone/tone_curve.h"
#include "tone/tone_reference.h"

namespace {

using namespace sv;

constexpr float kStackMax = 2.0f;

RenderParams benchParams() {
    RenderParams params;
    params.gammaPosition = 180;
    params.saturationPosition = 60;
    params.whitePosition = 240;
    params.blackPosition = 10;
    ToneCurve curve;
    std::string reason;
    curve.setMovablePoints({{30, 50}, {100, 120}, {160, 175}}, reason);
    params.curveTable = curve.curveTable();
    return params;
}

struct Fixture {
    FloatImage stack = bench::photoLikeImage(bench::kWidth, bench::kHeight, 3, 0.0f, kStackMax);
    FloatImage processed = bench::photoLikeImage(bench::kWidth, bench::kHeight, 4);
    DisplayBitmap display{bench::kWidth, bench::kHeight};
    RenderParams params = benchParams();
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_RenderProcessAll(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    for (auto _ : state) {
        renderRegion(f.stack, kStackMax, f.stack.bounds(), f.params, f.processed, result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    }
}

// The window's default settings: no saturation, the straight curve, gamma 1.
void BM_RenderProcessAllDefaults(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    const RenderParams defaults;
    for (auto _ : state) {
        renderRegion(f.stack, kStackMax, f.stack.bounds(), defaults, f.processed, result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    }
}

// The render as written: three pow per pixel, one core.
void BM_RenderDirect(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        const auto result = reference::referenceRender(f.stack, kStackMax, f.stack.bounds(), f.params, f.processed);
        benchmark::DoNotOptimize(result.peak);
    }
}

void BM_MemoryPass(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) bench::memoryPass(f.stack, f.processed);
}

void BM_DrawRegionWhole(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    for (auto _ : state) {
        drawRegion(f.processed, f.processed.bounds(), f.display, progress);
        benchmark::ClobberMemory();
    }
}

void BM_DrawRegionDirect(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        reference::referenceDraw(f.processed, f.processed.bounds(), f.display);
        benchmark::ClobberMemory();
    }
}

// autoPreview: render and draw the centred 320 x 240 rectangle.
void BM_AutoPreview320x240(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    const Region preview{(bench::kWidth - 320) / 2, 320, (bench::kHeight - 240) / 2, 240};
    for (auto _ : state) {
        renderRegion(f.stack, kStackMax, preview, f.params, f.processed, result, progress);
        drawRegion(f.processed, preview, f.display, progress);
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_RenderProcessAll)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_RenderProcessAllDefaults)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_RenderDirect)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_DrawRegionWhole)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_DrawRegionDirect)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_AutoPreview320x240)->Unit(benchmark::kMillisecond)->Iterations(50)->UseRealTime();

BENCHMARK_MAIN();
