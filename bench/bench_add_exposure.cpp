// addExposure and the subtraction of a removal on 24 and 96 megapixels, for a picture of 8-bit
// origin (samples k / 256: JPEG, BMP, 8-bit TIFF) and one of float origin (16/32-bit TIFF,
// Radiance), beside the plain memory passes over the same floats and, at 24 megapixels, the
// direct one-core version. The closing table gives each figure as a ratio to the read+add+write
// pass of its size and to its own 24-megapixel figure.
#include <algorithm>
#include <memory>
#include <string>

#include "bench_ratios.h"
#include "bench_support.h"
#include "stack/exposure_stack.h"
#include "stack/stack_sum.h"

namespace {

using namespace sv;

struct Pictures {
    Pictures(int width, int height) : width(width), height(height) {
        project.imageWidth = width;
        project.imageHeight = height;
        project.stackBuffer = bench::photoLikeImage(width, height, 1, 0.0f, 2.0f);
        project.buffersAllocated = true;
        project.exposureCount = 2;
        project.exposures[1].shiftX = 3;
        project.exposures[1].shiftY = -2;
        floatOrigin = bench::photoLikeImage(width, height, 2);
        eightBit = bench::photoLikeImage(width, height, 3);
        parallelRows(0, height, [&](int y) {
            float* row = eightBit.row(y);
            for (std::size_t i = 0; i < eightBit.rowSamples(); ++i) {
                row[i] = static_cast<float>(std::min(255, static_cast<int>(row[i] * 256.0f))) / 256.0f;
            }
        });
    }
    int width, height;
    Project project;
    FloatImage eightBit, floatOrigin;
};

// One size at a time is held (96 megapixels take 3.5 GB here); benchmarks run size by size.
Pictures& pictures(int megapixels) {
    static std::unique_ptr<Pictures> held;
    const int width = megapixels == 96 ? 2 * bench::kWidth : bench::kWidth;
    const int height = megapixels == 96 ? 2 * bench::kHeight : bench::kHeight;
    if (!held || held->width != width) {
        held.reset();
        held = std::make_unique<Pictures>(width, height);
    }
    return *held;
}

FloatImage& origin(Pictures& p, bool eightBit) { return eightBit ? p.eightBit : p.floatOrigin; }

void addExposureOf(benchmark::State& state, int megapixels, bool eightBit) {
    Pictures& p = pictures(megapixels);
    std::swap(p.project.newImageBuffer, origin(p, eightBit));
    NullProgress progress;
    for (auto _ : state) {
        addExposure(p.project, progress);
        benchmark::DoNotOptimize(p.project.stackMax);
    }
    std::swap(p.project.newImageBuffer, origin(p, eightBit));
}

// Removal's pass: the same weights, subtracted (the file is read again before it, not timed here).
void subtractExposureOf(benchmark::State& state, int megapixels, bool eightBit) {
    Pictures& p = pictures(megapixels);
    NullProgress progress;
    for (auto _ : state) {
        const float best = accumulateExposure(p.project.stackBuffer, origin(p, eightBit), p.project.exposures[1],
                                              true, progress);
        benchmark::DoNotOptimize(best);
    }
}

// The same traffic as the add (read the new image, read and write the stack) with no arithmetic.
void memoryPassReadAddWrite(benchmark::State& state, int megapixels) {
    Pictures& p = pictures(megapixels);
    for (auto _ : state) bench::memoryPassReadAddWrite(p.floatOrigin, p.project.stackBuffer);
}

void memoryPassCopy(benchmark::State& state, int megapixels) {
    Pictures& p = pictures(megapixels);
    for (auto _ : state) bench::memoryPass(p.floatOrigin, p.project.stackBuffer);
}

// The add as written, one core: a row loop with the bounds test per pixel.
void addExposureDirect(benchmark::State& state, int megapixels) {
    Pictures& p = pictures(megapixels);
    Project& project = p.project;
    const FloatImage& image = p.floatOrigin;
    const ExposureRecord& r = project.exposures[1];
    for (auto _ : state) {
        float stackMax = 0.0f;
        for (int y = 0; y < p.height; ++y) {
            for (int x = 0; x < p.width; ++x) {
                const int sx = x - r.shiftX, sy = y - r.shiftY;
                if (sx < 0 || sx >= p.width || sy < 0 || sy >= p.height) continue;
                const float w = exposureWeight(image.at(sx, sy, 0), image.at(sx, sy, 1), image.at(sx, sy, 2));
                for (int c = 0; c < 3; ++c) {
                    float& s = project.stackBuffer.at(x, y, c);
                    s += w * r.multiplier * image.at(sx, sy, c);
                    if (s > stackMax) stackMax = s;
                }
            }
        }
        benchmark::DoNotOptimize(stackMax);
    }
}

void registerSize(int megapixels) {
    std::string size = "/";
    size += std::to_string(megapixels) + "MP";
    auto timed = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->MinTime(0.5)->Repetitions(3);
    };
    timed(benchmark::RegisterBenchmark(("MemoryPassCopy" + size).c_str(), memoryPassCopy, megapixels));
    timed(benchmark::RegisterBenchmark(("MemoryPassReadAddWrite" + size).c_str(), memoryPassReadAddWrite,
                                       megapixels));
    timed(benchmark::RegisterBenchmark(("AddExposure8BitOrigin" + size).c_str(), addExposureOf, megapixels, true));
    timed(benchmark::RegisterBenchmark(("AddExposureFloatOrigin" + size).c_str(), addExposureOf, megapixels, false));
    timed(benchmark::RegisterBenchmark(("SubtractExposure8BitOrigin" + size).c_str(), subtractExposureOf,
                                       megapixels, true));
    timed(benchmark::RegisterBenchmark(("SubtractExposureFloatOrigin" + size).c_str(), subtractExposureOf,
                                       megapixels, false));
    if (megapixels == 24) {
        benchmark::RegisterBenchmark(("AddExposureDirectOneCore" + size).c_str(), addExposureDirect, megapixels)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->Iterations(3);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerSize(24);
    registerSize(96);
    return sv::bench::runWithRatios(argc, argv, "MemoryPassReadAddWrite");
}
