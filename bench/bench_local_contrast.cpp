// Local contrast on 24 megapixels: building the model from the whole stack, the render with the
// operator, and both together, beside the global render and a plain memory pass in the same run.
#include <sys/resource.h>

#include <cmath>

#include "bench_support.h"
#include "tone/local_contrast.h"
#include "tone/render.h"

namespace {

using namespace sv;

constexpr float kStackMax = 1.76f;

// A stack with the range of a bracketed scene: a dark textured half and a bright one, 1000 x apart.
FloatImage highRangeStack() {
    FloatImage stack = bench::photoLikeImage(bench::kWidth, bench::kHeight, 5, 0.0f, 1.0f);
    parallelRows(0, bench::kHeight, [&](int y) {
        float* row = stack.row(y);
        for (int x = 0; x < bench::kWidth; ++x) {
            const bool bright = (x / 700 + y / 500) % 3 == 0;
            for (int c = 0; c < 3; ++c) row[3 * x + c] = kStackMax * row[3 * x + c] * (bright ? 1.0f : 0.001f);
        }
    });
    return stack;
}

struct Fixture {
    FloatImage stack = highRangeStack();
    FloatImage processed{bench::kWidth, bench::kHeight};
    RenderParams params = [] {
        RenderParams p;
        p.localContrast.enabled = true;
        return p;
    }();
    std::shared_ptr<const LocalContrastModel> model;
};

// Processor time of the whole process (every thread), in milliseconds: on a machine shared with
// other work this varies far less than the elapsed time, so the ratios are read from it too.
double processMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-3;
}

// Runs the body once per iteration and reports the processor time per iteration as "all_threads_ms".
template <typename Body>
void timed(benchmark::State& state, Body body) {
    double total = 0.0;
    for (auto _ : state) {
        const double start = processMilliseconds();
        body();
        total += processMilliseconds() - start;
    }
    state.counters["all_threads_ms"] = total / static_cast<double>(state.iterations());
}

Fixture& fixture() {
    static Fixture f;
    if (!f.model) {
        NullProgress progress;
        f.model = buildLocalContrastModel(f.stack, kStackMax, f.params.localContrast.radiusPosition, progress);
    }
    return f;
}

void BM_MemoryPass(benchmark::State& state) {
    Fixture& f = fixture();
    timed(state, [&] { bench::memoryPass(f.stack, f.processed); });
}

void BM_RenderGlobal(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    const RenderParams global;
    timed(state, [&] {
        renderRegion(f.stack, kStackMax, f.stack.bounds(), global, f.processed, result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    });
}

void BM_LocalModel(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    const int radius = static_cast<int>(state.range(0));
    timed(state, [&] {
        auto model = buildLocalContrastModel(f.stack, kStackMax, radius, progress);
        benchmark::DoNotOptimize(model->brightestBase());
        state.counters["model_MB"] = static_cast<double>(model->bytes()) / 1e6;
    });
}

// "Process all" with local contrast when the model is kept from the preview.
void BM_RenderLocalKeptModel(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    timed(state, [&] {
        renderRegion(f.stack, kStackMax, f.stack.bounds(), f.params, f.model, f.processed, result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    });
}

// The whole cost after the stack or the radius changed: the model, then the render.
void BM_LocalModelPlusRender(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    timed(state, [&] {
        renderRegion(f.stack, kStackMax, f.stack.bounds(), f.params, nullptr, f.processed, result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    });
}

// The automatic preview of the 320 x 240 rectangle with a kept model.
void BM_LocalPreview320x240(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    RenderHistogram result;
    const Region preview{(bench::kWidth - 320) / 2, 320, (bench::kHeight - 240) / 2, 240};
    timed(state, [&] {
        renderRegion(f.stack, kStackMax, preview, f.params, f.model, f.processed, result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    });
}

}  // namespace

BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_RenderGlobal)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_LocalModel)->Arg(5)->Arg(20)->Arg(100)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_RenderLocalKeptModel)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_LocalModelPlusRender)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_LocalPreview320x240)->Unit(benchmark::kMillisecond)->Iterations(50)->UseRealTime();

BENCHMARK_MAIN();
