// addExposure on 24 megapixels beside a plain memory pass and the direct one-core version.
#include "bench_support.h"
#include "stack/exposure_stack.h"

namespace {

using namespace sv;

struct Fixture {
    Fixture() {
        project.imageWidth = bench::kWidth;
        project.imageHeight = bench::kHeight;
        project.stackBuffer = bench::photoLikeImage(bench::kWidth, bench::kHeight, 1, 0.0f, 2.0f);
        project.newImageBuffer = bench::photoLikeImage(bench::kWidth, bench::kHeight, 2);
        project.buffersAllocated = true;
        project.exposureCount = 2;
        project.exposures[1].shiftX = 3;
        project.exposures[1].shiftY = -2;
    }
    Project project;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_AddExposure(benchmark::State& state) {
    Project& p = fixture().project;
    NullProgress progress;
    for (auto _ : state) {
        addExposure(p, progress);
        benchmark::DoNotOptimize(p.stackMax);
    }
}

// The same traffic as the add (read the new image, read and write the stack) with no arithmetic.
void BM_MemoryPassReadAddWrite(benchmark::State& state) {
    Project& p = fixture().project;
    for (auto _ : state) {
        const std::size_t n = p.stackBuffer.rowSamples();
        parallelRows(0, p.imageHeight, [&](int y) {
            const float* s = p.newImageBuffer.row(y);
            float* d = p.stackBuffer.row(y);
            for (std::size_t i = 0; i < n; ++i) d[i] += s[i];
        });
        benchmark::ClobberMemory();
    }
}

void BM_MemoryPassCopy(benchmark::State& state) {
    Project& p = fixture().project;
    for (auto _ : state) bench::memoryPass(p.newImageBuffer, p.stackBuffer);
}

// The add as written, one core: a row loop with the bounds test per pixel.
void BM_AddExposureDirect(benchmark::State& state) {
    Project& p = fixture().project;
    const ExposureRecord& r = p.exposures[1];
    for (auto _ : state) {
        float stackMax = 0.0f;
        for (int y = 0; y < p.imageHeight; ++y) {
            for (int x = 0; x < p.imageWidth; ++x) {
                const int sx = x - r.shiftX, sy = y - r.shiftY;
                if (sx < 0 || sx >= p.imageWidth || sy < 0 || sy >= p.imageHeight) continue;
                const float w = exposureWeight(p.newImageBuffer.at(sx, sy, 0), p.newImageBuffer.at(sx, sy, 1),
                                               p.newImageBuffer.at(sx, sy, 2));
                for (int c = 0; c < 3; ++c) {
                    float& s = p.stackBuffer.at(x, y, c);
                    s += w * r.multiplier * p.newImageBuffer.at(sx, sy, c);
                    if (s > stackMax) stackMax = s;
                }
            }
        }
        benchmark::DoNotOptimize(stackMax);
    }
}

BENCHMARK(BM_MemoryPassCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_MemoryPassReadAddWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_AddExposure)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_AddExposureDirect)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
