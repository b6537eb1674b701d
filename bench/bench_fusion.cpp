// Exposure fusion of three 24-megapixel exposures held in memory (so that only the fusion is
// timed, not a decoder), the preview rectangle on its own, and the levels pass, beside a plain
// memory pass in the same run. The direct version keeps every pyramid of every exposure and
// filters in 2-D: it runs on a 1500 x 1000 bracket and is reported with the production code on
// the same bracket. The comparison with enfuse on files is fusion_vs_enfuse.py.
#include <cmath>

#include "bench_support.h"
#include "tone/exposure_fusion.h"
#include "tone/fused_levels.h"
#include "tone/fusion_reference.h"

namespace {

using namespace sv;

// Exposures -2, 0, +2 EV of one scene; `eightBit` rounds them to k / 256 as 8-bit files decode.
class Bracket final : public FusionSource {
public:
    Bracket(int width, int height, bool eightBit) : width_(width), height_(height) {
        const FloatImage scene = bench::photoLikeImage(width, height, 5, 0.0f, 0.7f);
        for (int k = 0; k < 3; ++k) {
            FloatImage e(width, height);
            const float gain = std::pow(4.0f, static_cast<float>(k - 1));
            parallelRows(0, height, [&](int y) {
                const float* s = scene.row(y);
                float* d = e.row(y);
                for (std::size_t i = 0; i < e.rowSamples(); ++i) {
                    float v = std::min(s[i] * gain, 255.0f / 256.0f);
                    d[i] = eightBit ? std::floor(v * 256.0f) / 256.0f : v * 0.999f;
                }
            });
            exposures.push_back(std::move(e));
        }
    }
    int exposureCount() const override { return 3; }
    int pictureWidth() const override { return width_; }
    int pictureHeight() const override { return height_; }
    bool loadExposure(int index, FusionExposure& e) override {
        e.pixels = exposures[static_cast<std::size_t>(index)].clone();
        return true;
    }
    std::vector<FloatImage> exposures;

private:
    int width_, height_;
};

Bracket& bracket(bool eightBit) {
    static Bracket b8(bench::kWidth, bench::kHeight, true);
    static Bracket bf(bench::kWidth, bench::kHeight, false);
    return eightBit ? b8 : bf;
}

FloatImage& output() {
    static FloatImage out = [] {
        FloatImage o(bench::kWidth, bench::kHeight);
        o.fill(0.5f);  // every page touched before the timing
        return o;
    }();
    return out;
}

void BM_MemoryPass(benchmark::State& state) {
    const FloatImage& in = bracket(true).exposures[0];
    for (auto _ : state) bench::memoryPass(in, output());
}

// "Process all" with fusion: 8-bit exposures (each read once, kept as 8-bit copies).
void BM_FusePicture8Bit(benchmark::State& state) {
    NullProgress progress;
    for (auto _ : state) {
        const FusionOutcome outcome = fusePicture(bracket(true), FusionParams{}, output(), progress);
        benchmark::DoNotOptimize(outcome.status);
    }
}

// The same with float exposures (HDR or 16-bit sources): each read twice.
void BM_FusePictureFloat(benchmark::State& state) {
    NullProgress progress;
    for (auto _ : state) {
        const FusionOutcome outcome = fusePicture(bracket(false), FusionParams{}, output(), progress);
        benchmark::DoNotOptimize(outcome.status);
    }
}

// Exponents other than 0 and 1 take the logarithm path.
void BM_FusePictureBentWeights(benchmark::State& state) {
    NullProgress progress;
    for (auto _ : state) {
        const FusionOutcome outcome = fusePicture(bracket(true), FusionParams{150, 70, 120}, output(), progress);
        benchmark::DoNotOptimize(outcome.status);
    }
}

// The preview rectangle: the whole bracket's weights and coarse levels, the fine levels only here.
void BM_FuseRegionPreview320x240(benchmark::State& state) {
    NullProgress progress;
    const Region preview{(bench::kWidth - 320) / 2, 320, (bench::kHeight - 240) / 2, 240};
    FloatImage crop;
    for (auto _ : state) {
        const FusionOutcome outcome = fuseRegion(bracket(true), FusionParams{}, preview, crop, progress);
        benchmark::DoNotOptimize(outcome.status);
    }
}

// The preview as the window runs it while a weight track bar moves: the 8-bit copies kept by the
// cache since the first preview, so that only the weights and the pyramids are worked again.
void BM_PreviewAfterWeightChange(benchmark::State& state) {
    NullProgress progress;
    const Region preview{(bench::kWidth - 320) / 2, 320, (bench::kHeight - 240) / 2, 240};
    FusionPreviewCache cache;
    (void)cache.update(bracket(true), FusionParams{}, preview, "bench", progress);
    int position = 100;
    for (auto _ : state) {
        position = position == 100 ? 101 : 100;
        const FusionOutcome outcome = cache.update(bracket(true), FusionParams{position, 100, 100}, preview, "bench", progress);
        benchmark::DoNotOptimize(outcome.status);
    }
}

// The white and black points with the histogram on the fused picture.
void BM_FusedLevelsWhole(benchmark::State& state) {
    NullProgress progress;
    RenderHistogram result;
    const FloatImage& fused = bracket(true).exposures[1];
    for (auto _ : state) {
        fusedLevels(fused, 0, 0, fused.bounds(), 240, 10, output(), result, progress);
        benchmark::DoNotOptimize(result.histogramPeak);
    }
}

Bracket& smallBracket() {
    static Bracket b(1500, 1000, true);
    return b;
}

void BM_FuseSmall1500x1000(benchmark::State& state) {
    NullProgress progress;
    FloatImage out(1500, 1000);
    for (auto _ : state) {
        const FusionOutcome outcome = fusePicture(smallBracket(), FusionParams{}, out, progress);
        benchmark::DoNotOptimize(outcome.status);
    }
}

void BM_FusionDirectSmall1500x1000(benchmark::State& state) {
    Bracket& b = smallBracket();
    std::vector<reference::ReferenceExposure> exposures;
    for (const FloatImage& e : b.exposures) exposures.push_back({&e, 0, 0, 1.0f, nullptr});
    for (auto _ : state) {
        const reference::FusionPlane out = reference::referenceFusion(exposures, 1500, 1000, FusionParams{});
        benchmark::DoNotOptimize(out.v.data());
    }
}

}  // namespace

BENCHMARK(BM_MemoryPass)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_FusePicture8Bit)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FusePictureFloat)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FusePictureBentWeights)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FuseRegionPreview320x240)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PreviewAfterWeightChange)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FusedLevelsWhole)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_FuseSmall1500x1000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FusionDirectSmall1500x1000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

BENCHMARK_MAIN();
