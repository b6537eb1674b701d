// Ghost-free re-merge of three 24-megapixel exposures beside adding the same three (addExposure
// three times) and a memory pass, in the same run. The exposures are served from memory, so the
// numbers compare the merging itself; reading the files again costs what opening them cost. The
// merge's source still copies each picture in, as a decoder writes every sample: adding the three
// after the same copies is timed too, so that the two can be compared with reading on both sides.
#include <algorithm>

#include "bench_support.h"
#include "stack/exposure_stack.h"
#include "stack/ghost_removal.h"
#include "stack/stack_sum.h"

namespace {

using namespace sv;

struct Fixture {
    Fixture() {
        for (int k = 0; k < 3; ++k) {
            // Three brightnesses of one pattern, a moving square in the last.
            const float gain = k == 0 ? 0.35f : k == 1 ? 0.7f : 1.0f;
            FloatImage e = bench::photoLikeImage(bench::kWidth, bench::kHeight, 5, 0.0f, gain);
            if (k == 2) {
                for (int y = 1500; y < 1900; ++y) {
                    for (int x = 2500; x < 3000; ++x) {
                        for (int c = 0; c < 3; ++c) e.at(x, y, c) = 0.05f;
                    }
                }
            }
            exposures.push_back(std::move(e));
        }
        // Taken from one place: the pattern lines up without shifts.
        stack = FloatImage(bench::kWidth, bench::kHeight);
    }
    std::vector<FloatImage> exposures;
    std::array<ExposureRecord, 3> records{};
    FloatImage stack;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_AddThreeExposures(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    for (auto _ : state) {
        f.stack.fill(0.0f);
        float best = 0.0f;
        for (int k = 0; k < 3; ++k) best = accumulateExposure(f.stack, f.exposures[k], f.records[k], false, progress);
        benchmark::DoNotOptimize(best);
    }
}

void BM_ReadAndAddThreeExposures(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    for (auto _ : state) {
        f.stack.fill(0.0f);
        FloatImage pixels;  // a new picture each time, as the merge takes its own
        float best = 0.0f;
        for (int k = 0; k < 3; ++k) {
            const FloatImage& from = f.exposures[static_cast<std::size_t>(k)];
            if (!pixels.sameSize(from)) pixels = FloatImage(from.width(), from.height());
            pixels.copyRegionFrom(from, from.bounds());
            best = accumulateExposure(f.stack, pixels, f.records[k], false, progress);
        }
        benchmark::DoNotOptimize(best);
    }
}

void BM_MergeThreeWithoutGhosts(benchmark::State& state) {
    Fixture& f = fixture();
    NullProgress progress;
    // Served from memory: each read copies the picture, as a decoder writes every sample.
    const ExposureSource source = [&](int index, FloatImage& pixels, ProgressSink&) -> std::optional<Message> {
        const FloatImage& from = f.exposures[static_cast<std::size_t>(index)];
        if (!pixels.sameSize(from)) pixels = FloatImage(from.width(), from.height());
        pixels.copyRegionFrom(from, from.bounds());
        return std::nullopt;
    };
    float coverage = 0.0f;
    for (auto _ : state) {
        GhostMerge merge = mergeWithoutGhosts(f.stack, f.records.data(), 3, GhostRemovalParams{1, 50}, source, progress);
        coverage = static_cast<float>(std::count_if(merge.mask.begin(), merge.mask.end(), [](float m) { return m > 0.5f; }));
        benchmark::DoNotOptimize(merge.stackMax);
    }
    state.counters["maskedPixels"] = coverage;
}

// Copying the three pictures, which the memory source above does on every merge.
void BM_CopyThreePictures(benchmark::State& state) {
    Fixture& f = fixture();
    FloatImage copy(bench::kWidth, bench::kHeight);
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) copy.copyRegionFrom(f.exposures[static_cast<std::size_t>(k)], copy.bounds());
        benchmark::DoNotOptimize(copy.data());
    }
}

void BM_MemoryPass(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) bench::memoryPass(f.exposures[0], f.stack);
}

double least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
#define SV_TIMED(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ComputeStatistics("min", least)
SV_TIMED(BM_MemoryPass);
SV_TIMED(BM_AddThreeExposures);
SV_TIMED(BM_ReadAndAddThreeExposures);
SV_TIMED(BM_CopyThreePictures);
SV_TIMED(BM_MergeThreeWithoutGhosts);

}  // namespace

BENCHMARK_MAIN();
